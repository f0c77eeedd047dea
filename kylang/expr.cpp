// kylang expressions: every expression becomes one C expression of type
// KYValue built from runtime calls (no C operators on values). Also owns the
// symbol tables, the function/form/callback tables and the C naming rules.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kylang.h"

namespace {

// Deeply nested input must not exhaust the compiler's stack: every
// recursive step of the expression parsers (a parenthesis, an argument list,
// an index, a NOT, a unary minus) counts toward this one limit.
constexpr int kMaxExprDepth = 256;

const char* const kReserved[] = {
    "var",      "set",  "screen", "read",     "mask",     "date",        "say",       "get",
    "char",     "true", "false",  "null",     "clear",    "if",          "else",      "elseif",
    "endif",    "then", "while",  "endwhile", "do",       "foreach",     "in",        "endforeach",
    "and",      "or",   "not",    "function", "return",   "endfunction", "call",      "define",
    "menu",     "add",  "item",   "prompt",   "popup",    "as",          "choice",    "table",
    "from",     "to",   "single", "double",   "connect",  "kyreldb",     "router",    "server",
    "database", "on",   "port",   "user",     "password", "host",        "recordset",
};

bool is_punct(const Parser& p, char c) { return p.tok.kind == TOK_PUNCT && p.tok.ch == c; }

bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

ExprCode parse_or(Parser& p);

// One level of expression nesting, held while a recursive parser runs. When
// the limit is reached the error is reported once, the rest of the line is
// dropped, and `entered` stays false: the caller then yields "ky_null()".
class NestingLevel {
  public:
    explicit NestingLevel(Parser& p) : p_(p) {
        if (p.expr_depth >= kMaxExprDepth || p.expr_overflow) {
            // The unwinding levels stay silent about their ")" or "]".
            if (!p.expr_overflow) parse_error(p, "expression is nested too deeply");
            p.expr_overflow = true;
            while (p.tok.kind != TOK_NEWLINE && p.tok.kind != TOK_EOF) advance(p);
            return;
        }
        p.expr_depth++;
        entered = true;
    }
    ~NestingLevel() {
        if (entered) p_.expr_depth--;
    }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;

    bool entered = false;

  private:
    Parser& p_;
};

ExprCode null_code() { return ExprCode{"ky_null()", -1}; }

// A left-associative chain "a op b op c ..." becomes nested runtime calls
// fn3(fn2(fn1(a, b), c), d). The text is assembled once, at the end, so a
// chain of any length costs time linear in its size.
class CallChain {
  public:
    explicit CallChain(ExprCode first) : first_(std::move(first)) {}
    void add(const char* fn, std::string operand) {
        links_.push_back(Link{fn, std::move(operand)});
    }
    ExprCode finish() {
        if (links_.empty()) return std::move(first_);
        size_t size = first_.code.size();
        for (const Link& l : links_) size += std::strlen(l.fn) + l.operand.size() + 4;
        ExprCode out;
        out.code.reserve(size);
        for (auto it = links_.rbegin(); it != links_.rend(); ++it) {
            out.code += it->fn;
            out.code += '(';
        }
        out.code += first_.code;
        for (const Link& l : links_) {
            out.code += ", ";
            out.code += l.operand;
            out.code += ')';
        }
        return out;
    }

  private:
    struct Link {
        const char* fn;
        std::string operand;
    };
    ExprCode first_;
    std::vector<Link> links_;
};

// Decimal digits as C wants them: leading zeros would make an octal constant.
bool int_literal_code(const std::string& digits, std::string& out) {
    size_t i = 0;
    while (i + 1 < digits.size() && digits[i] == '0') i++;
    std::string d = digits.substr(i);
    const char* max = "9223372036854775807";
    if (d.size() > std::strlen(max) || (d.size() == std::strlen(max) && d > max)) return false;
    out = "ky_int(" + d + "LL)";
    return true;
}

}  // namespace

ExprCode parse_method_call_expr(Parser& p, const std::string& receiver) {
    ExprCode r;
    r.code = "ky_null()";
    Symbol* s = sym_lookup(p, receiver);
    std::string recv = "ky_null()";
    if (!s)
        parse_error(p, "variable '%s' is not declared", receiver.c_str());
    else
        recv = "ky_value_clone(&" + s->cname + ")";
    // The current token is the "." already.
    advance(p);
    if (p.tok.kind == TOK_EOF || p.tok.kind == TOK_NEWLINE || p.tok.text.empty() ||
        !(std::isalpha(static_cast<unsigned char>(p.tok.text[0])) || p.tok.text[0] == '_')) {
        parse_error(p, "expected method name after '.'");
        return r;
    }
    std::string method = lower(p.tok.text);
    std::string shown = p.tok.text;
    advance(p);
    if (!is_punct(p, '(')) {
        parse_error(p, "expected '(' after method name");
        return r;
    }
    advance(p);
    std::vector<std::string> args = parse_arg_list_after_open(p);
    struct Method {
        const char* name;
        int argc;
        const char* fn;
    };
    static const Method kMethods[] = {
        {"use", 1, "ky_kyreldb_use"},
        {"execute", 1, "ky_kyreldb_execute"},
        {"query", 1, "ky_kyreldb_query"},
        {"close", 0, "ky_kyreldb_close"},
    };
    for (const Method& m : kMethods) {
        if (method != m.name) continue;
        if (static_cast<int>(args.size()) != m.argc)
            parse_error(p, "method '%s' expects %d argument(s), got %d", shown.c_str(), m.argc,
                        static_cast<int>(args.size()));
        r.code = std::string(m.fn) + "(" + recv;
        for (const std::string& a : args) r.code += ", " + a;
        r.code += ")";
        return r;
    }
    parse_error(p, "unknown KyrelDB method '%s'", shown.c_str());
    return r;
}

namespace {

ExprCode parse_factor(Parser& p);

// An INT, DECIMAL, BOOL, NULL or STRING token.
ExprCode parse_literal(Parser& p) {
    ExprCode r;
    const Token& t = p.tok;
    switch (t.kind) {
    case TOK_INT:
        if (!int_literal_code(t.text, r.code)) {
            parse_error(p, "integer literal '%s' is out of range", t.text.c_str());
            r.code = "ky_null()";
        }
        break;
    case TOK_DECIMAL: r.code = "ky_double(" + t.text + ")"; break;
    case TOK_BOOL: r.code = lower(t.text) == "true" ? "ky_bool(1)" : "ky_bool(0)"; break;
    case TOK_STRING:
        r.code = "ky_string(" + make_c_string_literal(t.text) + ")";
        r.width = static_cast<int>(t.text.size());
        break;
    default: r.code = "ky_null()"; break;
    }
    advance(p);
    return r;
}

// name(args) after the "(": CHAR and TO_RS are built in, any other name is a
// function of the program (declared later or already).
ExprCode parse_call(Parser& p, const std::string& name, int line) {
    ExprCode r;
    std::string low = lower(name);
    std::vector<std::string> args = parse_arg_list_after_open(p);
    if (low == "char" || low == "to_rs") {
        const char* fn = low == "char" ? "ky_char" : "ky_to_rs";
        if (args.size() != 1)
            parse_error(p, "%s expects exactly 1 argument", low == "char" ? "CHAR" : "TO_RS");
        r.code = std::string(fn) + "(" + (args.empty() ? "ky_null()" : args[0]) + ")";
        // Arguments beyond the first are dropped; each is an owned value,
        // but the program is refused anyway because an error was counted.
        return r;
    }
    FuncEntry* f = func_get_or_create(p, name);
    if (!f) {
        r.code = "ky_null()";
        return r;
    }
    func_require_arg_count(p, f, static_cast<int>(args.size()), line);
    r.code = build_call_code(f->cname, args);
    return r;
}

// A variable's value, then any number of [key] indexes into it.
ExprCode parse_variable(Parser& p, const std::string& name) {
    ExprCode r;
    Symbol* s = sym_lookup(p, name);
    if (!s) {
        parse_error(p, "variable '%s' is not declared", name.c_str());
        r.code = "ky_null()";
    } else {
        r.code = "ky_value_clone(&" + s->cname + ")";
    }
    CallChain indexed(std::move(r));
    while (is_punct(p, '[')) {
        advance(p);
        ExprCode key = parse_expression(p);
        if (p.expr_overflow) break;
        if (!is_punct(p, ']'))
            parse_error(p, "expected '%c'", ']');
        else
            advance(p);
        indexed.add("ky_index", std::move(key.code));
    }
    return indexed.finish();
}

// A name: a call, a KyrelDB method call or a variable.
ExprCode parse_name(Parser& p) {
    std::string name = p.tok.text;
    advance(p);
    if (is_punct(p, '(')) {
        int line = p.tok.line;
        advance(p);
        return parse_call(p, name, line);
    }
    if (is_punct(p, '.')) return parse_method_call_expr(p, name);
    return parse_variable(p, name);
}

// -factor, which counts toward the nesting limit.
ExprCode parse_negation(Parser& p) {
    NestingLevel level(p);
    if (!level.entered) return null_code();
    advance(p);
    ExprCode inner = parse_factor(p);
    ExprCode r;
    r.code = "ky_sub(ky_int(0), " + inner.code + ")";
    return r;
}

// (expression)
ExprCode parse_parenthesised(Parser& p) {
    advance(p);
    ExprCode inner = parse_expression(p);
    if (p.expr_overflow) return inner;
    if (!is_punct(p, ')'))
        parse_error(p, "expected '%c'", ')');
    else
        advance(p);
    return inner;
}

ExprCode parse_factor(Parser& p) {
    switch (p.tok.kind) {
    case TOK_INT:
    case TOK_DECIMAL:
    case TOK_BOOL:
    case TOK_NULL:
    case TOK_STRING: return parse_literal(p);
    case TOK_IDENT: return parse_name(p);
    case TOK_PUNCT:
        if (p.tok.ch == '-') return parse_negation(p);
        if (p.tok.ch == '(') return parse_parenthesised(p);
        break;
    default: break;
    }
    parse_error(p, "expected expression");
    // The line structure is kept: a newline or the end still ends the statement.
    if (p.tok.kind != TOK_NEWLINE && p.tok.kind != TOK_EOF) advance(p);
    ExprCode r;
    r.code = "ky_null()";
    return r;
}

ExprCode parse_term(Parser& p) {
    CallChain chain(parse_factor(p));
    while (is_punct(p, '*') || is_punct(p, '/')) {
        const char* fn = p.tok.ch == '*' ? "ky_mul" : "ky_div";
        advance(p);
        chain.add(fn, parse_factor(p).code);
    }
    return chain.finish();
}

ExprCode parse_additive(Parser& p) {
    CallChain chain(parse_term(p));
    while (is_punct(p, '+') || is_punct(p, '-')) {
        const char* fn = p.tok.ch == '+' ? "ky_add" : "ky_sub";
        advance(p);
        chain.add(fn, parse_term(p).code);
    }
    return chain.finish();
}

ExprCode parse_comparison(Parser& p) {
    ExprCode l = parse_additive(p);
    std::string op;
    if (p.tok.kind == TOK_OP)
        op = p.tok.text;
    else if (is_punct(p, '='))
        op = "=";
    else
        return l;
    const char* fn = nullptr;
    if (op == "=" || op == "==")
        fn = "ky_cmp_eq";
    else if (op == "!=" || op == "<>")
        fn = "ky_cmp_ne";
    else if (op == "<")
        fn = "ky_cmp_lt";
    else if (op == "<=")
        fn = "ky_cmp_le";
    else if (op == ">")
        fn = "ky_cmp_gt";
    else if (op == ">=")
        fn = "ky_cmp_ge";
    if (!fn) {
        parse_error(p, "unknown comparison operator '%s'", op.c_str());
        advance(p);
        return l;
    }
    advance(p);
    ExprCode r = parse_additive(p);
    return combine_expr(fn, l, r);
}

ExprCode parse_not(Parser& p) {
    if (p.tok.kind == TOK_NOT) {
        NestingLevel level(p);
        if (!level.entered) return null_code();
        advance(p);
        ExprCode inner = parse_not(p);
        ExprCode r;
        r.code = "ky_not(" + inner.code + ")";
        return r;
    }
    return parse_comparison(p);
}

ExprCode parse_and(Parser& p) {
    CallChain chain(parse_not(p));
    while (p.tok.kind == TOK_AND) {
        advance(p);
        chain.add("ky_and", parse_not(p).code);
    }
    return chain.finish();
}

ExprCode parse_or(Parser& p) {
    CallChain chain(parse_and(p));
    while (p.tok.kind == TOK_OR) {
        advance(p);
        chain.add("ky_or", parse_and(p).code);
    }
    return chain.finish();
}

}  // namespace

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string make_cname(const char* prefix, const std::string& name) {
    std::string out = prefix;
    for (char c : lower(name)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (std::isalnum(u) || c == '_') ? c : '_';
    }
    return out;
}

std::string make_func_cname(const std::string& name) { return make_cname("ky_func_", name); }

// Escapes a value for use inside a C string literal. "?" is written as "\?"
// so that no "??x" trigraph can form, and a "\x" escape is closed ("" "")
// when a hex digit follows, since C would read it as part of the escape.
std::string c_escape_string(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 16);
    bool after_hex = false;
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (after_hex && is_hex_digit(c)) out += "\"\"";
        after_hex = false;
        switch (c) {
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        case '\n': out += "\\n"; continue;
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '?': out += "\\?"; continue;
        default: break;
        }
        if (u < 0x20 || u > 0x7e) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
            after_hex = true;
        } else {
            out += c;
        }
    }
    return out;
}

std::string make_c_string_literal(const std::string& value) {
    return "\"" + c_escape_string(value) + "\"";
}

bool is_reserved_ident(const std::string& name) {
    std::string low = lower(name);
    for (const char* w : kReserved)
        if (low == w) return true;
    return false;
}

ExprCode parse_expression(Parser& p) {
    NestingLevel level(p);
    if (!level.entered) return null_code();
    return parse_or(p);
}

std::vector<std::string> parse_arg_list_after_open(Parser& p) {
    std::vector<std::string> args;
    if (is_punct(p, ')')) {
        advance(p);
        return args;
    }
    for (;;) {
        args.push_back(parse_expression(p).code);
        if (is_punct(p, ',')) {
            advance(p);
            continue;
        }
        break;
    }
    if (p.expr_overflow) return args;
    if (!is_punct(p, ')'))
        parse_error(p, "expected '%c'", ')');
    else
        advance(p);
    return args;
}

Symbol* sym_find(SymbolTable& t, const std::string& name) {
    auto it = t.index.find(lower(name));
    return it == t.index.end() ? nullptr : &t.syms[it->second];
}

Symbol* sym_lookup(Parser& p, const std::string& name) {
    Symbol* s = sym_find(*p.cur_syms, name);
    if (!s && p.cur_syms != &p.globals) s = sym_find(p.globals, name);
    return s;
}

Symbol* sym_add(Parser& p, const std::string& name, int line) {
    if (is_reserved_ident(name)) {
        parse_error(p, "'%s' is a reserved keyword", name.c_str());
        return nullptr;
    }
    if (sym_find(*p.cur_syms, name)) {
        parse_error(p, "variable '%s' is already declared", name.c_str());
        return nullptr;
    }
    Symbol s;
    s.name = lower(name);
    s.cname = make_cname("v_", name);
    s.line = line;
    p.cur_syms->index.emplace(s.name, p.cur_syms->syms.size());
    p.cur_syms->syms.push_back(s);
    return &p.cur_syms->syms.back();
}

FuncEntry* func_get_or_create(Parser& p, const std::string& name) {
    if (is_reserved_ident(name)) {
        parse_error(p, "'%s' is a reserved keyword", name.c_str());
        return nullptr;
    }
    std::string low = lower(name);
    auto it = p.func_index.find(low);
    if (it != p.func_index.end()) return it->second;
    auto f = std::make_unique<FuncEntry>();
    f->name = low;
    f->cname = make_func_cname(name);
    p.funcs.push_back(std::move(f));
    p.func_index.emplace(low, p.funcs.back().get());
    return p.funcs.back().get();
}

FormEntry* form_get_or_create(Parser& p, const std::string& name) {
    std::string low = lower(name);
    auto it = p.form_index.find(low);
    if (it != p.form_index.end()) return it->second;
    auto f = std::make_unique<FormEntry>();
    f->name = low;
    f->cname = make_cname("ky_form_", name);
    p.forms.push_back(std::move(f));
    p.form_index.emplace(low, p.forms.back().get());
    return p.forms.back().get();
}

void func_require_arg_count(Parser& p, FuncEntry* f, int count, int line) {
    if (f->expected_arity < 0) {
        f->expected_arity = count;
    } else if (f->expected_arity != count) {
        std::fprintf(
            stderr,
            "%s:%d:1: error: function '%s' called with %d argument(s), previously expected %d\n",
            p.path.c_str(), line, f->name.c_str(), count, f->expected_arity);
        p.errors++;
    }
    if (f->defined && static_cast<int>(f->params.size()) != count) {
        std::fprintf(stderr, "%s:%d:1: error: function '%s' expects %d argument(s), got %d\n",
                     p.path.c_str(), line, f->name.c_str(), static_cast<int>(f->params.size()),
                     count);
        p.errors++;
    }
}

std::string expr_to_int_code(const std::string& code) { return "ky_value_to_int(" + code + ")"; }

std::string build_call_code(const std::string& cname, const std::vector<std::string>& args) {
    std::string out = cname + "(";
    for (size_t i = 0; i < args.size(); i++) {
        if (i) out += ", ";
        out += args[i];
    }
    return out + ")";
}

ExprCode combine_expr(const char* fn, const ExprCode& l, const ExprCode& r) {
    ExprCode out;
    out.code = std::string(fn) + "(" + l.code + ", " + r.code + ")";
    return out;
}

// After the keyword CALL of ADD ITEM or CHOICE: "f()" names a function of no
// arguments; the result is the C name of its void(void) wrapper, or "0".
std::string parse_optional_callback(Parser& p) {
    if (p.tok.kind != TOK_IDENT) {
        parse_error(p, "expected function name after CALL");
        return "0";
    }
    std::string name = p.tok.text;
    advance(p);
    if (!is_punct(p, '(')) {
        parse_error(p, "expected '(' after menu callback function name");
        return "0";
    }
    int line = p.tok.line;
    advance(p);
    std::vector<std::string> args = parse_arg_list_after_open(p);
    if (!args.empty()) {
        parse_error(p, "menu and popup callbacks must not take arguments");
        return "0";
    }
    FuncEntry* f = func_get_or_create(p, name);
    if (!f) return "0";
    func_require_arg_count(p, f, 0, line);
    auto it = p.callback_index.find(f->name);
    if (it != p.callback_index.end()) return p.callbacks[it->second].wrapper_cname;
    CallbackEntry c;
    c.func_name = f->name;
    c.func_cname = f->cname;
    c.wrapper_cname = make_cname("ky_cb_", f->name);
    p.callback_index.emplace(c.func_name, p.callbacks.size());
    p.callbacks.push_back(c);
    return c.wrapper_cname;
}
