// kylang compiler: shared types of the driver, lexer, expression and
// statement parsers. One Parser per run holds all state; code is generated
// into std::string buffers and assembled by the driver.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

enum TokenKind : int {
    TOK_EOF = 0,
    TOK_NEWLINE = 1,
    TOK_IDENT = 2,
    TOK_STRING = 3,
    TOK_INT = 4,
    TOK_DECIMAL = 5,
    TOK_BOOL = 6,
    TOK_NULL = 7,
    TOK_VAR = 8,
    TOK_SET = 9,
    TOK_SCREEN = 10,
    TOK_READ = 11,
    TOK_DATE = 13,
    TOK_MASK = 14,
    TOK_SAY = 15,
    TOK_GET = 16,
    TOK_CLEAR = 17,
    TOK_IF = 18,
    TOK_ELSE = 19,
    TOK_ELSEIF = 20,
    TOK_ENDIF = 21,
    TOK_THEN = 22,
    TOK_WHILE = 23,
    TOK_ENDWHILE = 24,
    TOK_DO = 25,
    TOK_FOREACH = 26,
    TOK_IN = 27,
    TOK_ENDFOREACH = 28,
    TOK_AND = 29,
    TOK_OR = 30,
    TOK_NOT = 31,
    TOK_FUNCTION = 32,
    TOK_ENDFUNCTION = 33,
    TOK_RETURN = 34,
    TOK_CALL = 35,
    TOK_DEFINE = 36,
    TOK_MENU = 37,
    TOK_ADD = 38,
    TOK_ITEM = 39,
    TOK_PROMPT = 40,
    TOK_POPUP = 41,
    TOK_FORM = 42,
    TOK_ENDFORM = 43,
    TOK_AS = 44,
    TOK_CHOICE = 45,
    TOK_TABLE = 46,
    TOK_FROM = 47,
    TOK_TO = 48,
    TOK_SINGLE = 49,
    TOK_DOUBLE = 50,
    TOK_CONNECT = 51,
    TOK_KYRELDB = 52,
    TOK_ROUTER = 53,
    TOK_SERVER = 54,
    TOK_DATABASE = 55,
    TOK_ON = 56,
    TOK_PORT = 57,
    TOK_USER = 58,
    TOK_PASSWORD = 59,
    TOK_HOST = 60,
    TOK_RECORDSET = 61,
    TOK_OP = 62,
    TOK_PUNCT = 63,
};

struct Token {
    TokenKind kind = TOK_EOF;
    std::string text;  // empty for newline, end and punctuation
    char ch = 0;       // punctuation and newline character
    int line = 1;
    int col = 1;
};

struct ExprCode {
    std::string code;
    int width = -1;  // byte length of a string literal, else -1
};

struct Symbol {
    std::string name;   // lower-cased
    std::string cname;  // "v_" + name
    int line = 0;
    bool is_param = false;
};

struct SymbolTable {
    std::vector<Symbol> syms;                       // in declaration order
    std::unordered_map<std::string, size_t> index;  // lower-cased name -> position in syms
};

struct FuncEntry {
    std::string name;
    std::string cname;
    bool defined = false;
    int expected_arity = -1;
    int def_line = 0;
    std::vector<std::string> params;
    SymbolTable locals;
    std::string body;
};

struct FormEntry {
    std::string name;
    std::string cname;
    bool defined = false;
    std::string body;
};

struct CallbackEntry {
    std::string func_name;
    std::string func_cname;
    std::string wrapper_cname;
};

enum BlockKind { BLOCK_IF, BLOCK_WHILE, BLOCK_FOREACH };

struct Block {
    BlockKind kind;
    int loop_no;  // WHILE and FOREACH
    int id;       // unique per block (and per IF branch), for GET jump checks
};

constexpr int KY_MAX_BLOCKS = 128;

enum Context { CTX_TOP, CTX_FUNCTION, CTX_FORM };

struct Parser {
    std::string src;
    std::string path;
    size_t pos = 0;
    int line = 1;
    int col = 1;
    Token tok;
    int errors = 0;

    SymbolTable globals;
    SymbolTable* cur_syms = &globals;
    std::vector<std::unique_ptr<FuncEntry>> funcs;
    std::vector<std::unique_ptr<FormEntry>> forms;
    std::vector<CallbackEntry> callbacks;
    // Lookups by lower-cased name, so that programs with many names are
    // checked in linear time.
    std::unordered_map<std::string, FuncEntry*> func_index;
    std::unordered_map<std::string, FormEntry*> form_index;
    std::unordered_map<std::string, size_t> callback_index;  // function name -> callbacks[i]

    std::string top_code;
    std::string* code = &top_code;

    std::vector<Block> blocks;
    Context ctx = CTX_TOP;
    FuncEntry* cur_func = nullptr;
    int loop_counter = 0;
    int block_id_counter = 0;
    int expr_depth = 0;
    bool expr_overflow = false;  // set once an expression nests too deeply

    // GET numbering within the current C function.
    int get_counter = 0;
    std::string prev_get_label;
    std::vector<int> prev_get_blocks;  // block ids enclosing the previous GET
};

// Driver (driver.cpp)
[[noreturn]] void die(const char* msg);
void sb_printf(std::string& sb, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void parse_error(Parser& p, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
std::string quote_shell(const std::string& word);
int kylang_main(int argc, char** argv);
// Parses the program in p.src (named p.path in messages) and runs the
// whole-program checks; every located error goes to standard error. Returns
// the error count. Reads and writes no file.
int check_program(Parser& p);
// What --check does, for a program held in memory: the error count (0 for a
// valid program). Messages name the program `name`; nothing is written.
int kylang_check_source(const std::string& name, const char* data, size_t size);
std::string build_c_file(Parser& p);
extern const char kylang_runtime_text[];
extern const unsigned long kylang_runtime_text_len;

// Lexer (lexer.cpp)
Token lexer_next_token(Parser& p);
void advance(Parser& p);  // replaces the current token by the next one
void skip_to_eol(Parser& p);

// Expressions (expr.cpp)
std::string lower(const std::string& s);
std::string make_cname(const char* prefix, const std::string& name);
std::string make_func_cname(const std::string& name);
std::string c_escape_string(const std::string& value);
std::string make_c_string_literal(const std::string& value);
bool is_reserved_ident(const std::string& name);
ExprCode parse_expression(Parser& p);
std::vector<std::string> parse_arg_list_after_open(Parser& p);
Symbol* sym_add(Parser& p, const std::string& name, int line);
Symbol* sym_find(SymbolTable& t, const std::string& name);
Symbol* sym_lookup(Parser& p, const std::string& name);  // current, then global
FuncEntry* func_get_or_create(Parser& p, const std::string& name);
FormEntry* form_get_or_create(Parser& p, const std::string& name);
void func_require_arg_count(Parser& p, FuncEntry* f, int count, int line);
std::string expr_to_int_code(const std::string& code);
std::string build_call_code(const std::string& cname, const std::vector<std::string>& args);
ExprCode combine_expr(const char* fn, const ExprCode& l, const ExprCode& r);
std::string parse_optional_callback(Parser& p);
// Called with the receiver name consumed and "." as the current token.
ExprCode parse_method_call_expr(Parser& p, const std::string& receiver);

// Statements (stmt.cpp)
void parse_statement(Parser& p);
std::string function_signature(const FuncEntry& f);
std::string function_definition(const FuncEntry& f);
