// Procedure bodies: statement splitting, statement kinds, DECLARE / SET
// parsing, the static structure check and the linear dry run.
#include "procedures/sp_body.h"

#include <strings.h>

#include "exec/row_statements.h"
#include "procedures/sp_conditions.h"
#include "procedures/sp_statements.h"
#include "procedures/sp_util.h"
#include "procedures/sp_values.h"

namespace {

constexpr size_t kMaxControlStmt = 4127;
constexpr size_t kMaxSplitRun = 4128;

// Statement with leading and trailing blanks removed (semicolons kept).
std::string strip_blanks(const char* s) {
    if (!s) return std::string();
    const char* b = s;
    while (*b && sp_is_ws(*b)) ++b;
    const char* e = b + strlen(b);
    while (e > b && sp_is_ws(e[-1])) --e;
    return std::string(b, static_cast<size_t>(e - b));
}

bool ends_with_word(const std::string& s, const char* word) {
    size_t n = strlen(word);
    if (s.size() <= n) return false;
    if (strncasecmp(s.c_str() + s.size() - n, word, n) != 0) return false;
    return sp_is_ws(s[s.size() - n - 1]);
}

bool starts_and_ends(const char* stmt, const char* prefix, const char* word) {
    std::string s = strip_blanks(stmt);
    return sp_ci_starts(s, prefix) && ends_with_word(s, word);
}

bool is_exact(const char* stmt, const char* word) { return sp_ci_equal(strip_blanks(stmt), word); }

struct Block {
    int kind;  // SP_BLOCK_IF or SP_BLOCK_WHILE
    int has_else;
};

}  // namespace

int sp_statement_is_if_stmt(const char* stmt) { return starts_and_ends(stmt, "IF ", "THEN"); }
int sp_statement_is_elseif_stmt(const char* stmt) {
    return starts_and_ends(stmt, "ELSEIF ", "THEN");
}
int sp_statement_is_else_stmt(const char* stmt) { return is_exact(stmt, "ELSE"); }
int sp_statement_is_endif_stmt(const char* stmt) { return is_exact(stmt, "ENDIF"); }
int sp_statement_is_while_stmt(const char* stmt) { return starts_and_ends(stmt, "WHILE ", "DO"); }
int sp_statement_is_endwhile_stmt(const char* stmt) { return is_exact(stmt, "ENDWHILE"); }

int sp_statement_is_control_stmt(const char* stmt) {
    return sp_statement_is_if_stmt(stmt) || sp_statement_is_elseif_stmt(stmt) ||
           sp_statement_is_else_stmt(stmt) || sp_statement_is_endif_stmt(stmt) ||
           sp_statement_is_while_stmt(stmt) || sp_statement_is_endwhile_stmt(stmt);
}

int sp_statement_is_executable_sql(const char* stmt) {
    std::string s = sp_norm_trim(sp_cut(stmt, 127));
    return sp_ci_starts(s, "SELECT ") || sp_ci_equal(s, "SELECT") ||
           sp_ci_starts(s, "INSERT INTO ") || sp_ci_starts(s, "UPDATE ") ||
           sp_ci_starts(s, "DELETE FROM ");
}

const char* sp_statement_kind_name(const char* stmt) {
    if (!stmt) return "UNKNOWN";
    if (sp_statement_is_if_stmt(stmt)) return "IF";
    if (sp_statement_is_elseif_stmt(stmt)) return "ELSEIF";
    if (sp_statement_is_else_stmt(stmt)) return "ELSE";
    if (sp_statement_is_endif_stmt(stmt)) return "ENDIF";
    if (sp_statement_is_while_stmt(stmt)) return "WHILE";
    if (sp_statement_is_endwhile_stmt(stmt)) return "ENDWHILE";
    static const struct {
        const char* prefix;
        const char* name;
    } prefixed[] = {{"DECLARE ", "DECLARE"}, {"SET ", "SET"}};
    for (const auto& p : prefixed)
        if (ci_starts(stmt, p.prefix)) return p.name;
    if (sp_statement_is_executable_sql(stmt)) return "SQL";
    static const struct {
        const char* prefix;
        const char* name;
    } others[] = {{"CALL ", "CALL"},
                  {"LOGIN ", "LOGIN"},
                  {"USE ", "USE"},
                  {"CHANGE PASSWORD", "CHANGE PASSWORD"},
                  {"CREATE PROCEDURE ", "CREATE PROCEDURE"},
                  {"DROP PROCEDURE ", "DROP PROCEDURE"},
                  {"ALTER TABLE ", "ALTER TABLE"},
                  {"DROP TABLE ", "DROP TABLE"},
                  {"DROP INDEX ", "DROP INDEX"}};
    for (const auto& p : others)
        if (ci_starts(stmt, p.prefix)) return p.name;
    return "UNSUPPORTED";
}

SpStatementKind sp_statement_kind(const char* stmt) {
    if (sp_statement_is_if_stmt(stmt)) return SP_STMT_IF;
    if (sp_statement_is_elseif_stmt(stmt)) return SP_STMT_ELSEIF;
    if (sp_statement_is_else_stmt(stmt)) return SP_STMT_ELSE;
    if (sp_statement_is_endif_stmt(stmt)) return SP_STMT_ENDIF;
    if (sp_statement_is_while_stmt(stmt)) return SP_STMT_WHILE;
    if (sp_statement_is_endwhile_stmt(stmt)) return SP_STMT_ENDWHILE;
    if (ci_starts(stmt, "DECLARE ")) return SP_STMT_DECLARE;
    if (ci_starts(stmt, "SET ")) return SP_STMT_SET;
    if (sp_statement_is_executable_sql(stmt)) return SP_STMT_SQL;
    return SP_STMT_OTHER;
}

// ---- block nesting ----------------------------------------------------------

namespace {

const char* block_name(int kind) { return kind == SP_BLOCK_IF ? "IF" : "WHILE"; }

}  // namespace

int sp_block_check_open(const SpBlockNesting* n, int kind, char* err, size_t errlen) {
    if (kind == SP_BLOCK_IF && n->open_if > SP_MAX_IF_DEPTH - 1)
        return sp_fail(err, errlen, "IF nesting too deep");
    if (kind == SP_BLOCK_WHILE && n->open_while > SP_MAX_WHILE_DEPTH - 1)
        return sp_fail(err, errlen, "WHILE nesting too deep");
    if (n->depth > SP_MAX_BLOCKS - 1)
        return sp_fail(err, errlen, "procedure control nesting too deep");
    return 0;
}

void sp_block_open(SpBlockNesting* n, int kind) {
    ++n->depth;
    ++(kind == SP_BLOCK_IF ? n->open_if : n->open_while);
}

void sp_block_close(SpBlockNesting* n, int kind) {
    --n->depth;
    --(kind == SP_BLOCK_IF ? n->open_if : n->open_while);
}

int sp_block_check_branch(const SpBlockNesting* n, int top_kind, int top_has_else,
                          SpStatementKind branch, char* err, size_t errlen) {
    static const struct {
        SpStatementKind branch;
        const char* word;
        int kind;
        const char* after_else;  // the refusal once the block had its ELSE
    } kRules[] = {
        {SP_STMT_ELSEIF, "ELSEIF", SP_BLOCK_IF, "ELSEIF cannot appear after ELSE"},
        {SP_STMT_ELSE, "ELSE", SP_BLOCK_IF, "duplicate ELSE in IF block"},
        {SP_STMT_ENDIF, "ENDIF", SP_BLOCK_IF, nullptr},
        {SP_STMT_ENDWHILE, "ENDWHILE", SP_BLOCK_WHILE, nullptr},
    };
    for (const auto& r : kRules) {
        if (r.branch != branch) continue;
        if (n->depth == 0 || top_kind != r.kind)
            return sp_fail(err, errlen, "%s without matching %s", r.word, block_name(r.kind));
        if (r.after_else && top_has_else) return sp_fail(err, errlen, "%s", r.after_else);
        return 0;
    }
    return sp_fail(err, errlen, "internal procedure block error");
}

int sp_block_check_closed(const SpBlockNesting* n, int top_kind, char* err, size_t errlen) {
    if (n->depth <= 0) return 0;
    bool is_if = top_kind == SP_BLOCK_IF;
    return sp_fail(err, errlen, "missing %s for %s block", is_if ? "ENDIF" : "ENDWHILE",
                   is_if ? "IF" : "WHILE");
}

void sp_free_statement_list(char** list, int count) { free_string_array(list, count); }

int sp_split_statements(const char* body, char*** out_list, int* out_count, char* err,
                        size_t errlen) {
    if (out_list) *out_list = nullptr;
    if (out_count) *out_count = 0;
    if (!out_list || !out_count) return sp_fail(err, errlen, "internal procedure split error");
    if (!body) return sp_fail(err, errlen, "missing procedure body");
    size_t len = strlen(body);
    if (len > SP_BODY_MAX) return sp_fail(err, errlen, "procedure body too large");
    std::vector<std::string> stmts;
    char quote = 0;
    size_t start = 0;
    auto take = [&](size_t end) -> int {
        std::string s = sp_trim(std::string(body + start, end - start));
        if (!s.empty()) {
            if (static_cast<int>(stmts.size()) >= SP_MAX_STATEMENTS)
                return sp_fail(err, errlen, "too many procedure statements");
            stmts.push_back(std::move(s));
        }
        return 0;
    };
    for (size_t i = 0; i < len; ++i) {
        if (sp_skip_quoted(body, i, quote)) continue;
        char c = body[i];
        if (c == ';') {
            if (take(i) != 0) return -1;
            start = i + 1;
        } else if (c == '\n' || c == '\r') {
            if (i - start > kMaxSplitRun)
                return sp_fail(err, errlen, "procedure control statement too long");
            std::string so_far = sp_trim(std::string(body + start, i - start));
            size_t brk_end = (c == '\r' && i + 1 < len && body[i + 1] == '\n') ? i + 1 : i;
            if (!so_far.empty() && sp_statement_is_control_stmt(so_far.c_str())) {
                if (take(i) != 0) return -1;
                start = brk_end + 1;
            }
            i = brk_end;
        }
    }
    if (quote) return sp_fail(err, errlen, "unterminated quoted string in procedure body");
    if (take(len) != 0) return -1;
    if (stmts.empty()) return sp_fail(err, errlen, "procedure body cannot be empty");
    char** list = static_cast<char**>(calloc(stmts.size(), sizeof(char*)));
    if (!list) return sp_fail(err, errlen, "oom");
    for (size_t i = 0; i < stmts.size(); ++i) {
        list[i] = sp_dup(stmts[i]);
        if (!list[i]) {
            sp_free_statement_list(list, static_cast<int>(i));
            return sp_fail(err, errlen, "oom");
        }
    }
    *out_list = list;
    *out_count = static_cast<int>(stmts.size());
    return 0;
}

static int extract_condition(const char* stmt, const char* keyword, const char* term, char* out,
                             size_t cap, char* err, size_t errlen) {
    sp_clear(out, cap);
    if (!stmt || !out) return sp_fail(err, errlen, "invalid %s statement", keyword);
    if (strlen(stmt) > kMaxControlStmt) return sp_fail(err, errlen, "condition statement too long");
    std::string s = sp_norm_trim(stmt);
    if (!sp_ci_starts(s, keyword)) return sp_fail(err, errlen, "invalid %s statement", keyword);
    std::string rest = sp_trim(s.substr(strlen(keyword)));
    if (rest.size() <= strlen(term))
        return sp_fail(err, errlen, "%s requires condition %s", keyword, term);
    if (!ends_with_word(rest, term))
        return sp_fail(err, errlen, "%s statement must end with %s", keyword, term);
    std::string cond = sp_trim(rest.substr(0, rest.size() - strlen(term)));
    if (cond.empty()) return sp_fail(err, errlen, "%s condition cannot be empty", keyword);
    if (cond.size() >= 4096 || cond.size() >= cap)
        return sp_fail(err, errlen, "condition expression too long");
    memcpy(out, cond.c_str(), cond.size() + 1);
    return 0;
}

int sp_extract_then_condition(const char* stmt, const char* keyword, char* out, size_t cap,
                              char* err, size_t errlen) {
    return extract_condition(stmt, keyword ? keyword : "IF ", "THEN", out, cap, err, errlen);
}

int sp_extract_do_condition(const char* stmt, char* out, size_t cap, char* err, size_t errlen) {
    return extract_condition(stmt, "WHILE ", "DO", out, cap, err, errlen);
}

int sp_parse_declare_stmt(const char* stmt, char* name, int32_t* type, char* default_expr,
                          char* err, size_t errlen) {
    sp_clear(name, 64);
    sp_clear(default_expr, 2048);
    if (type) *type = 0;
    if (!name || !type || !default_expr)
        return sp_fail(err, errlen, "internal procedure DECLARE error");
    const char* syntax = "DECLARE syntax: DECLARE name TYPE [DEFAULT value]";
    std::string s = sp_norm_trim(sp_cut(stmt, 4095));
    if (!sp_ci_starts(s, "DECLARE ")) return sp_fail(err, errlen, "invalid DECLARE statement");
    size_t p = 8;
    while (p < s.size() && sp_is_ws(s[p])) ++p;
    size_t name_end = p;
    while (name_end < s.size() && !sp_is_ws(s[name_end])) ++name_end;
    if (name_end >= s.size()) return sp_fail(err, errlen, "%s", syntax);
    char checked[64];
    if (copy_sp_ident_checked(checked, sizeof checked, s.substr(p, name_end - p).c_str(),
                              "variable name", err, errlen) != 0)
        return -1;
    p = name_end;
    while (p < s.size() && sp_is_ws(s[p])) ++p;
    size_t type_end = p;
    while (type_end < s.size() && !sp_is_ws(s[type_end]) && s[type_end] != '=') ++type_end;
    if (type_end == p) return sp_fail(err, errlen, "DECLARE requires a variable type");
    int32_t t = 0;
    if (sp_parse_param_type_token(s.substr(p, type_end - p).c_str(), &t, err, errlen) != 0)
        return -1;
    std::string rest = sp_trim(s.substr(type_end));
    std::string expr;
    if (!rest.empty()) {
        if (rest[0] == '=')
            expr = rest.substr(1);
        else if (sp_ci_starts(rest, "DEFAULT "))
            expr = rest.substr(8);
        else
            return sp_fail(err, errlen, "%s", syntax);
        expr = sp_trim(sp_cut(sp_trim(expr).c_str(), 2047));
        if (expr.empty()) return sp_fail(err, errlen, "DECLARE default expression cannot be empty");
    }
    memcpy(name, checked, sizeof checked);
    *type = t;
    memcpy(default_expr, expr.c_str(), expr.size() + 1);
    return 0;
}

int sp_parse_set_stmt(const char* stmt, char* name, char* expr, char* err, size_t errlen) {
    sp_clear(name, 64);
    sp_clear(expr, 2048);
    if (!name || !expr) return sp_fail(err, errlen, "internal procedure SET error");
    std::string s = sp_norm_trim(sp_cut(stmt, 4095));
    if (!sp_ci_starts(s, "SET ")) return sp_fail(err, errlen, "invalid SET statement");
    size_t eq = s.find('=', 4);
    if (eq == std::string::npos) return sp_fail(err, errlen, "SET syntax: SET variable = value");
    char checked[64];
    if (copy_sp_ident_checked(checked, sizeof checked, sp_trim(s.substr(4, eq - 4)).c_str(),
                              "variable name", err, errlen) != 0)
        return -1;
    std::string e = sp_trim(sp_cut(sp_trim(s.substr(eq + 1)).c_str(), 2047));
    if (e.empty()) return sp_fail(err, errlen, "SET expression cannot be empty");
    memcpy(name, checked, sizeof checked);
    memcpy(expr, e.c_str(), e.size() + 1);
    return 0;
}

namespace {

bool is_forbidden_kind(const char* stmt) {
    static const char* const prefixes[] = {
        "CALL ",           "LOGIN ",       "USE ",        "CHANGE PASSWORD", "CREATE PROCEDURE ",
        "DROP PROCEDURE ", "ALTER TABLE ", "DROP TABLE ", "DROP INDEX "};
    for (const char* p : prefixes)
        if (ci_starts(stmt, p)) return true;
    return false;
}

// One walk over a body: the block stack and, for the dry run, the variable
// table with the parameters first.
struct BodyWalk {
    bool dry_run = false;
    VarTable vt;
    Block stack[SP_MAX_BLOCKS];
    SpBlockNesting nest;

    int top_kind() const { return nest.depth > 0 ? stack[nest.depth - 1].kind : 0; }
    int top_has_else() const { return nest.depth > 0 ? stack[nest.depth - 1].has_else : 0; }
};

// The condition of IF, ELSEIF or WHILE, evaluated in the dry run.
int body_condition(BodyWalk& w, const char* st, SpStatementKind kind, char* err, size_t errlen) {
    char cond[4096];
    int rc = kind == SP_STMT_WHILE
                 ? sp_extract_do_condition(st, cond, sizeof cond, err, errlen)
                 : sp_extract_then_condition(st, kind == SP_STMT_IF ? "IF " : "ELSEIF ", cond,
                                             sizeof cond, err, errlen);
    if (rc != 0) return -1;
    int truth = 0;
    if (w.dry_run && sp_eval_condition(cond, w.vt.vars, w.vt.count, &truth, err, errlen) != 0)
        return -1;
    return 0;
}

// IF and WHILE open a block once their condition reads.
int body_open_block(BodyWalk& w, const char* st, SpStatementKind kind, char* err, size_t errlen) {
    const int block = kind == SP_STMT_IF ? SP_BLOCK_IF : SP_BLOCK_WHILE;
    if (sp_block_check_open(&w.nest, block, err, errlen) != 0) return -1;
    if (body_condition(w, st, kind, err, errlen) != 0) return -1;
    w.stack[w.nest.depth] = Block{block, 0};
    sp_block_open(&w.nest, block);
    return 0;
}

// ELSEIF, ELSE, ENDIF and ENDWHILE within their block.
int body_branch(BodyWalk& w, const char* st, SpStatementKind kind, char* err, size_t errlen) {
    if (sp_block_check_branch(&w.nest, w.top_kind(), w.top_has_else(), kind, err, errlen) != 0)
        return -1;
    switch (kind) {
    case SP_STMT_ELSEIF: return body_condition(w, st, kind, err, errlen);
    case SP_STMT_ELSE: w.stack[w.nest.depth - 1].has_else = 1; return 0;
    case SP_STMT_ENDIF: sp_block_close(&w.nest, SP_BLOCK_IF); return 0;
    default: sp_block_close(&w.nest, SP_BLOCK_WHILE); return 0;
    }
}

// DECLARE; the dry run adds the variable with its default.
int body_declare(BodyWalk& w, const char* st, char* err, size_t errlen) {
    char name[64], expr[2048];
    int32_t type = 0;
    if (sp_parse_declare_stmt(st, name, &type, expr, err, errlen) != 0) return -1;
    if (!w.dry_run) return 0;
    return sp_declare_runtime_var(w.vt.vars, &w.vt.count, name, type, expr, err, errlen);
}

// SET; the dry run checks the target and the expression's value.
int body_set(BodyWalk& w, const char* st, char* err, size_t errlen) {
    char name[64], expr[2048];
    if (sp_parse_set_stmt(st, name, expr, err, errlen) != 0) return -1;
    if (!w.dry_run) return 0;
    int idx = 0;
    char* lit = nullptr;
    if (sp_eval_set(w.vt.vars, w.vt.count, name, expr, &idx, &lit, err, errlen) != 0) return -1;
    free(lit);
    return 0;
}

// A SQL statement; the dry run resolves its placeholders and checks the
// tables it names.
int body_sql(BodyWalk& w, const char* st, char* err, size_t errlen) {
    if (!w.dry_run) return 0;
    char* sql = nullptr;
    if (sp_substitute_runtime_placeholders(st, w.vt.vars, w.vt.count, &sql, err, errlen) != 0)
        return -1;
    CStr hold(sql);
    // Names resolve in the caller's database at CALL; one that could reach
    // another database is refused already here.
    return exec_check_statement_tables(sql, err, errlen);
}

// Any other statement is refused, with the message of the check that met it.
int body_refuse(const BodyWalk& w, const char* st, char* err, size_t errlen) {
    if (w.dry_run)
        return sp_fail(err, errlen, "unsupported procedure statement: %s",
                       sp_statement_kind_name(st));
    if (is_forbidden_kind(st))
        return sp_fail(err, errlen, "procedure bodies cannot contain %s statements in this phase",
                       sp_statement_kind_name(st));
    return sp_fail(err, errlen,
                   "procedure body statement must be DECLARE, SET, IF, ELSEIF, ELSE, "
                   "ENDIF, WHILE, ENDWHILE, SELECT, INSERT, UPDATE, or DELETE");
}

int body_statement(BodyWalk& w, const char* st, char* err, size_t errlen) {
    const SpStatementKind kind = sp_statement_kind(st);
    switch (kind) {
    case SP_STMT_IF:
    case SP_STMT_WHILE: return body_open_block(w, st, kind, err, errlen);
    case SP_STMT_ELSEIF:
    case SP_STMT_ELSE:
    case SP_STMT_ENDIF:
    case SP_STMT_ENDWHILE: return body_branch(w, st, kind, err, errlen);
    case SP_STMT_DECLARE: return body_declare(w, st, err, errlen);
    case SP_STMT_SET: return body_set(w, st, err, errlen);
    case SP_STMT_SQL: return body_sql(w, st, err, errlen);
    default: return body_refuse(w, st, err, errlen);
    }
}

// One walk over the statements with the block stack. dry_run adds the
// evaluation of conditions, the variable table and placeholder resolution.
int walk_body(const char* body, const ProcParamDef* params, int param_count, bool dry_run,
              char* err, size_t errlen) {
    StatementList list;
    if (sp_split_statements(body, &list.items, &list.count, err, errlen) != 0) return -1;
    BodyWalk w;
    w.dry_run = dry_run;
    if (dry_run) {
        for (int i = 0; i < param_count; ++i) {
            if (sp_add_runtime_var(w.vt.vars, &w.vt.count, params[i].name, params[i].type, nullptr,
                                   1, err, errlen) != 0)
                return -1;
        }
    }
    for (int i = 0; i < list.count; ++i)
        if (body_statement(w, list.items[i], err, errlen) != 0) return -1;
    return sp_block_check_closed(&w.nest, w.top_kind(), err, errlen);
}

}  // namespace

int sp_validate_body(const char* body, char* err, size_t errlen) {
    if (!body) return sp_fail(err, errlen, "missing procedure body");
    if (!body[0]) return sp_fail(err, errlen, "procedure body cannot be empty");
    if (strlen(body) > SP_BODY_MAX) return sp_fail(err, errlen, "procedure body too large");
    return walk_body(body, nullptr, 0, false, err, errlen);
}

int sp_validate_body_placeholders(const char* body, const ProcParamDef* params, int count,
                                  char* err, size_t errlen) {
    if (count < 0 || count > SP_MAX_PARAMS || (count > 0 && !params))
        return sp_fail(err, errlen, "too many procedure parameters");
    return walk_body(body, params, count, true, err, errlen);
}
