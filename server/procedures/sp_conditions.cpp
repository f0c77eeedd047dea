// Condition evaluator of IF, ELSEIF and WHILE.
//
//   condition  := or-expr END
//   or-expr    := and-expr { OR and-expr }
//   and-expr   := not-expr { AND not-expr }
//   not-expr   := NOT not-expr | primary
//   primary    := "(" or-expr ")" | operand [ cmp operand ]
//   cmp        := <= >= != <> == = < >     (tried in that order)
//   operand    := :placeholder | 'text' | "text" | true | false | number
//
// Evaluation happens while parsing and never short-circuits, so an error in
// any part of an AND/OR chain fails the whole condition.
#include "procedures/sp_conditions.h"

#include <cerrno>
#include <cmath>
#include <strings.h>

#include "procedures/sp_statements.h"
#include "procedures/sp_util.h"
#include "procedures/sp_values.h"

namespace {

constexpr int kMaxCondDepth = 16;

struct CondParser {
    const char* p;
    const ProcRuntimeVar* vars;
    int count;
    char* err;
    size_t errlen;
};

void skip_blanks(CondParser& cp) {
    while (*cp.p && sp_is_ws(*cp.p)) ++cp.p;
}

}  // namespace

// Case-insensitive keyword at the cursor, not followed by a name character.
static int sp_cond_match_keyword(CondParser& cp, const char* kw) {
    size_t n = strlen(kw);
    if (strncasecmp(cp.p, kw, n) != 0) return 0;
    if (sp_is_ident_char(cp.p[n])) return 0;
    cp.p += n;
    return 1;
}

int sp_cond_value_to_bool(const CondValue* v) {
    if (!v) return 0;
    switch (v->type) {
    case 4: return v->truth ? 1 : 0;
    case 1:
    case 2: return v->number != 0 ? 1 : 0;
    default: return v->text[0] ? 1 : 0;
    }
}

int sp_cond_unquote_to_buf(const char* text, size_t len, char* out, size_t cap, char* err,
                           size_t errlen) {
    sp_clear(out, cap);
    if (!text || !out || len < 2 || (text[0] != '\'' && text[0] != '"') || text[len - 1] != text[0])
        return sp_fail(err, errlen, "bad condition string literal");
    const char quote = text[0];
    const char* inner = text + 1;
    size_t n = len - 2;
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = inner[i];
        if (c == '\\' && i + 1 < n) {
            char e = inner[++i];
            c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
        } else if (c == quote) {
            return sp_fail(err, errlen, "unescaped quote inside condition string literal");
        }
        if (w + 1 >= cap || w >= 2047) {
            sp_clear(out, cap);
            return sp_fail(err, errlen, "condition string literal too long");
        }
        out[w++] = c;
    }
    out[w] = '\0';
    return 0;
}

// Reads a number at s; *consumed receives the bytes read. 0 or -1.
static int sp_cond_numeric_literal(const char* s, CondValue* out, size_t* consumed, char* err,
                                   size_t errlen) {
    char* end = nullptr;
    errno = 0;
    long double v = strtold(s, &end);
    if (end == s || errno == ERANGE || !std::isfinite(static_cast<double>(v)))
        return sp_fail(err, errlen, "bad numeric literal in condition");
    size_t n = static_cast<size_t>(end - s);
    bool is_double = false;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '.' || s[i] == 'e' || s[i] == 'E') is_double = true;
    }
    out->type = is_double ? 2 : 1;
    out->number = v;
    out->truth = v != 0;
    out->text[0] = '\0';
    *consumed = n;
    return 0;
}

static bool only_blanks_after(const char* p) {
    while (*p && sp_is_ws(*p)) ++p;
    return *p == '\0';
}

int sp_cond_value_from_sql_lit(const char* literal, int32_t declared_type, CondValue* out,
                               char* err, size_t errlen) {
    if (!out) return sp_fail(err, errlen, "internal condition error");
    memset(out, 0, sizeof *out);
    std::string t = sp_trim(literal ? literal : "");
    if (t.size() >= 2048) return sp_fail(err, errlen, "condition value too long");
    bool quoted = t.size() >= 2 && (t[0] == '\'' || t[0] == '"') && t.back() == t[0];
    switch (declared_type) {
    case 3:
        out->type = 3;
        if (quoted)
            return sp_cond_unquote_to_buf(t.c_str(), t.size(), out->text, sizeof out->text, err,
                                          errlen);
        if (t.size() > 2047) return sp_fail(err, errlen, "condition string literal too long");
        memcpy(out->text, t.c_str(), t.size() + 1);
        return 0;
    case 4:
        out->type = 4;
        if (sp_ci_equal(t, "true") || t == "1")
            out->truth = 1;
        else if (sp_ci_equal(t, "false") || t == "0")
            out->truth = 0;
        else
            return sp_fail(err, errlen, "bad BOOL condition value");
        out->number = out->truth;
        return 0;
    case 1:
    case 2: {
        size_t n = 0;
        if (sp_cond_numeric_literal(t.c_str(), out, &n, err, errlen) != 0) return -1;
        if (!only_blanks_after(t.c_str() + n))
            return sp_fail(err, errlen, "bad numeric condition value");
        out->type = declared_type;
        return 0;
    }
    default:
        if (quoted) {
            out->type = 3;
            return sp_cond_unquote_to_buf(t.c_str(), t.size(), out->text, sizeof out->text, err,
                                          errlen);
        }
        if (sp_ci_equal(t, "true") || sp_ci_equal(t, "false")) {
            out->type = 4;
            out->truth = sp_ci_equal(t, "true") ? 1 : 0;
            out->number = out->truth;
            return 0;
        }
        {
            size_t n = 0;
            char scratch[8];
            if (!t.empty() &&
                sp_cond_numeric_literal(t.c_str(), out, &n, scratch, sizeof scratch) == 0 &&
                only_blanks_after(t.c_str() + n))
                return 0;
        }
        memset(out, 0, sizeof *out);
        return sp_fail(err, errlen, "bad condition literal");
    }
}

static int sp_cond_parse_operand(CondParser& cp, CondValue* out) {
    skip_blanks(cp);
    memset(out, 0, sizeof *out);
    const char* s = cp.p;
    if (!*s) return sp_fail(cp.err, cp.errlen, "missing condition operand");
    if (s[0] == ':' && sp_is_ident_start(s[1])) {
        const char* e = s + 1;
        while (sp_is_ident_char(*e)) ++e;
        size_t n = static_cast<size_t>(e - s - 1);
        if (n > 63) return sp_fail(cp.err, cp.errlen, "condition placeholder name too long");
        std::string name(s + 1, n);
        int idx = sp_find_runtime_var(cp.vars, cp.count, name.c_str());
        if (idx < 0)
            return sp_fail(cp.err, cp.errlen,
                           "unknown procedure variable or parameter :%s in condition",
                           name.c_str());
        const ProcRuntimeVar& v = cp.vars[idx];
        const char* lit = v.value ? v.value : sp_default_sql_literal_for_type(v.type);
        cp.p = e;
        return sp_cond_value_from_sql_lit(lit, v.type, out, cp.err, cp.errlen);
    }
    if (s[0] == '\'' || s[0] == '"') {
        const char* e = s + 1;
        while (*e && *e != s[0]) {
            if (*e == '\\' && e[1]) ++e;
            ++e;
        }
        if (!*e) return sp_fail(cp.err, cp.errlen, "unterminated condition string literal");
        size_t len = static_cast<size_t>(e - s) + 1;
        cp.p = e + 1;
        out->type = 3;
        return sp_cond_copy_plain_string(s, len, out, cp.err, cp.errlen);
    }
    if (sp_cond_match_keyword(cp, "true")) {
        out->type = 4;
        out->truth = 1;
        out->number = 1;
        return 0;
    }
    if (sp_cond_match_keyword(cp, "false")) {
        out->type = 4;
        return 0;
    }
    if (s[0] == '+' || s[0] == '-' || (s[0] >= '0' && s[0] <= '9')) {
        size_t n = 0;
        if (sp_cond_numeric_literal(s, out, &n, cp.err, cp.errlen) != 0) return -1;
        cp.p = s + n;
        return 0;
    }
    return sp_fail(cp.err, cp.errlen, "condition operands must be literals or :placeholders");
}

int sp_cond_copy_plain_string(const char* quoted, size_t len, CondValue* out, char* err,
                              size_t errlen) {
    return sp_cond_unquote_to_buf(quoted, len, out->text, sizeof out->text, err, errlen);
}

static const char* sp_cond_parse_operator(CondParser& cp) {
    static const char* const ops[] = {"<=", ">=", "!=", "<>", "==", "=", "<", ">"};
    skip_blanks(cp);
    for (const char* op : ops) {
        size_t n = strlen(op);
        if (strncmp(cp.p, op, n) == 0) {
            cp.p += n;
            return op;
        }
    }
    return nullptr;
}

static int sp_cond_compare_values(const CondValue& a, const CondValue& b, const char* op,
                                  int* truth, char* err, size_t errlen) {
    int cmp = 0;
    bool a_num = a.type == 1 || a.type == 2;
    bool b_num = b.type == 1 || b.type == 2;
    if (a_num && b_num) {
        long double d = a.number - b.number;
        cmp = d < 0 ? -1 : d > 0 ? 1 : 0;
    } else if (a.type == 3 && b.type == 3) {
        int c = strcmp(a.text, b.text);
        cmp = c < 0 ? -1 : c > 0 ? 1 : 0;
    } else if (a.type == 4 && b.type == 4) {
        cmp = (a.truth ? 1 : 0) - (b.truth ? 1 : 0);
    } else {
        return sp_fail(err, errlen, "condition type mismatch between %s and %s",
                       sp_param_type_name(a.type), sp_param_type_name(b.type));
    }
    if (!strcmp(op, "=") || !strcmp(op, "=="))
        *truth = cmp == 0;
    else if (!strcmp(op, "!=") || !strcmp(op, "<>"))
        *truth = cmp != 0;
    else if (!strcmp(op, "<"))
        *truth = cmp < 0;
    else if (!strcmp(op, "<="))
        *truth = cmp <= 0;
    else if (!strcmp(op, ">"))
        *truth = cmp > 0;
    else
        *truth = cmp >= 0;
    return 0;
}

static int sp_cond_parse_or(CondParser& cp, int depth, int* truth);

static int sp_cond_parse_primary(CondParser& cp, int depth, int* truth) {
    if (depth > kMaxCondDepth) return sp_fail(cp.err, cp.errlen, "condition nesting too deep");
    skip_blanks(cp);
    if (*cp.p == '(') {
        ++cp.p;
        if (sp_cond_parse_or(cp, depth + 1, truth) != 0) return -1;
        skip_blanks(cp);
        if (*cp.p != ')') return sp_fail(cp.err, cp.errlen, "missing ')' in condition");
        ++cp.p;
        return 0;
    }
    CondValue left, right;
    if (sp_cond_parse_operand(cp, &left) != 0) return -1;
    const char* save = cp.p;
    const char* op = sp_cond_parse_operator(cp);
    if (!op) {
        cp.p = save;
        *truth = sp_cond_value_to_bool(&left);
        return 0;
    }
    if (sp_cond_parse_operand(cp, &right) != 0) return -1;
    return sp_cond_compare_values(left, right, op, truth, cp.err, cp.errlen);
}

static int sp_cond_parse_not(CondParser& cp, int depth, int* truth) {
    skip_blanks(cp);
    if (sp_cond_match_keyword(cp, "NOT")) {
        int inner = 0;
        if (sp_cond_parse_not(cp, depth + 1, &inner) != 0) return -1;
        *truth = !inner;
        return 0;
    }
    return sp_cond_parse_primary(cp, depth, truth);
}

static int sp_cond_parse_and(CondParser& cp, int depth, int* truth) {
    if (sp_cond_parse_not(cp, depth, truth) != 0) return -1;
    for (;;) {
        skip_blanks(cp);
        if (!sp_cond_match_keyword(cp, "AND")) return 0;
        int rhs = 0;
        if (sp_cond_parse_not(cp, depth, &rhs) != 0) return -1;
        *truth = *truth && rhs;
    }
}

static int sp_cond_parse_or(CondParser& cp, int depth, int* truth) {
    if (sp_cond_parse_and(cp, depth, truth) != 0) return -1;
    for (;;) {
        skip_blanks(cp);
        if (!sp_cond_match_keyword(cp, "OR")) return 0;
        int rhs = 0;
        if (sp_cond_parse_and(cp, depth, &rhs) != 0) return -1;
        *truth = *truth || rhs;
    }
}

int sp_eval_condition(const char* cond, const ProcRuntimeVar* vars, int count, int* out_truth,
                      char* err, size_t errlen) {
    if (out_truth) *out_truth = 0;
    if (!cond) return sp_fail(err, errlen, "missing condition expression");
    if (sp_trim(cond).empty()) return sp_fail(err, errlen, "empty condition expression");
    if (strlen(cond) >= 4096) return sp_fail(err, errlen, "condition expression too long");
    CondParser cp{cond, vars, count, err, errlen};
    int truth = 0;
    if (sp_cond_parse_or(cp, 0, &truth) != 0) return -1;
    skip_blanks(cp);
    if (*cp.p) return sp_fail(err, errlen, "unexpected token in condition near '%.32s'", cp.p);
    if (out_truth) *out_truth = truth ? 1 : 0;
    return 0;
}
