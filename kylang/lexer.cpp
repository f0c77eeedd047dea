// kylang lexer: turns the source text into tokens on demand. The language is
// line-oriented (a newline is a token) and case-insensitive (keywords in any
// case). Lines and columns count from 1; every non-newline byte is one column.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "kylang.h"

namespace {

struct Keyword {
    const char* word;
    TokenKind kind;
};

const Keyword kKeywords[] = {
    {"var", TOK_VAR},
    {"set", TOK_SET},
    {"screen", TOK_SCREEN},
    {"read", TOK_READ},
    {"date", TOK_DATE},
    {"mask", TOK_MASK},
    {"say", TOK_SAY},
    {"get", TOK_GET},
    {"clear", TOK_CLEAR},
    {"if", TOK_IF},
    {"else", TOK_ELSE},
    {"elseif", TOK_ELSEIF},
    {"endif", TOK_ENDIF},
    {"then", TOK_THEN},
    {"while", TOK_WHILE},
    {"endwhile", TOK_ENDWHILE},
    {"do", TOK_DO},
    {"foreach", TOK_FOREACH},
    {"in", TOK_IN},
    {"endforeach", TOK_ENDFOREACH},
    {"and", TOK_AND},
    {"or", TOK_OR},
    {"not", TOK_NOT},
    {"function", TOK_FUNCTION},
    {"endfunction", TOK_ENDFUNCTION},
    {"return", TOK_RETURN},
    {"call", TOK_CALL},
    {"define", TOK_DEFINE},
    {"menu", TOK_MENU},
    {"add", TOK_ADD},
    {"item", TOK_ITEM},
    {"prompt", TOK_PROMPT},
    {"popup", TOK_POPUP},
    {"form", TOK_FORM},
    {"endform", TOK_ENDFORM},
    {"as", TOK_AS},
    {"choice", TOK_CHOICE},
    {"table", TOK_TABLE},
    {"from", TOK_FROM},
    {"to", TOK_TO},
    {"single", TOK_SINGLE},
    {"double", TOK_DOUBLE},
    {"connect", TOK_CONNECT},
    {"kyreldb", TOK_KYRELDB},
    {"router", TOK_ROUTER},
    {"server", TOK_SERVER},
    {"database", TOK_DATABASE},
    {"on", TOK_ON},
    {"port", TOK_PORT},
    {"user", TOK_USER},
    {"password", TOK_PASSWORD},
    {"host", TOK_HOST},
    {"recordset", TOK_RECORDSET},
};

char peek(const Parser& p, size_t ahead = 0) {
    size_t i = p.pos + ahead;
    return i < p.src.size() ? p.src[i] : '\0';
}

bool at_end(const Parser& p) { return p.pos >= p.src.size(); }

// Consumes one byte, keeping line and column up to date.
char take(Parser& p) {
    char c = p.src[p.pos++];
    if (c == '\n') {
        p.line++;
        p.col = 1;
    } else {
        p.col++;
    }
    return c;
}

void lex_error(Parser& p, int line, int col, const char* msg) {
    std::fprintf(stderr, "%s:%d:%d: error: %s\n", p.path.c_str(), line, col, msg);
    // A truncated literal must never be built into a program, so this counts.
    p.errors++;
}

Token lex_string(Parser& p, Token t) {
    char quote = take(p);
    t.kind = TOK_STRING;
    t.text.reserve(1024);
    for (;;) {
        if (at_end(p)) {
            lex_error(p, t.line, t.col, "unclosed string literal");
            return t;
        }
        char c = take(p);
        if (c == quote) return t;
        if (c == '\n') {
            lex_error(p, t.line, t.col, "unclosed string literal");
            return t;
        }
        if (c == '\\' && !at_end(p)) {
            char e = take(p);
            switch (e) {
            case 'n': t.text += '\n'; break;
            case 'r': t.text += '\r'; break;
            case 't': t.text += '\t'; break;
            default: t.text += e; break;  // quotes, backslash, newline, any other
            }
            continue;
        }
        t.text += c;
    }
}

}  // namespace

Token lexer_next_token(Parser& p) {
    for (;;) {
        char c = peek(p);
        if (c == ' ' || c == '\t' || c == '\r') {
            take(p);
            continue;
        }
        if (c == '#' || (c == '/' && peek(p, 1) == '/')) {
            while (!at_end(p) && peek(p) != '\n') take(p);
            continue;
        }
        break;
    }
    Token t;
    t.line = p.line;
    t.col = p.col;
    if (at_end(p)) {
        t.kind = TOK_EOF;
        return t;
    }
    unsigned char c = static_cast<unsigned char>(peek(p));
    if (c == '\n') {
        take(p);
        t.kind = TOK_NEWLINE;
        t.ch = '\n';
        return t;
    }
    if (c == '"' || c == '\'') return lex_string(p, t);
    if (std::isdigit(c)) {
        while (std::isdigit(static_cast<unsigned char>(peek(p)))) t.text += take(p);
        t.kind = TOK_INT;
        if (peek(p) == '.') {
            t.text += take(p);
            while (std::isdigit(static_cast<unsigned char>(peek(p)))) t.text += take(p);
            t.kind = TOK_DECIMAL;
        }
        return t;
    }
    if (std::isalpha(c) || c == '_') {
        while (!at_end(p)) {
            unsigned char d = static_cast<unsigned char>(peek(p));
            if (!std::isalnum(d) && d != '_') break;
            t.text += take(p);
        }
        std::string low = lower(t.text);
        t.kind = TOK_IDENT;
        for (const Keyword& k : kKeywords) {
            if (low == k.word) {
                t.kind = k.kind;
                return t;
            }
        }
        if (low == "true" || low == "false")
            t.kind = TOK_BOOL;
        else if (low == "null")
            t.kind = TOK_NULL;
        return t;
    }
    char n = peek(p, 1);
    if (((c == '<' || c == '>') && n == '=') || (c == '<' && n == '>') ||
        ((c == '=' || c == '!') && n == '=')) {
        t.text += take(p);
        t.text += take(p);
        t.kind = TOK_OP;
        return t;
    }
    if (c == '<' || c == '>') {
        t.text += take(p);
        t.kind = TOK_OP;
        return t;
    }
    t.kind = TOK_PUNCT;
    t.ch = take(p);
    return t;
}

void advance(Parser& p) { p.tok = lexer_next_token(p); }

void skip_to_eol(Parser& p) {
    while (p.tok.kind != TOK_NEWLINE && p.tok.kind != TOK_EOF) advance(p);
    if (p.tok.kind == TOK_NEWLINE) advance(p);
}
