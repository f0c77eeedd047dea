// Procedure runtime variables, placeholder substitution and the expressions of
// DECLARE defaults and SET.
#include "procedures/sp_values.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <strings.h>

#include "procedures/sp_statements.h"
#include "procedures/sp_util.h"

int sp_add_runtime_var(ProcRuntimeVar* vars, int* count, const char* name, int32_t type,
                       const char* literal, int is_param, char* err, size_t errlen) {
    if (!vars || !count) return sp_fail(err, errlen, "internal procedure variable error");
    if (*count >= SP_MAX_VARS) return sp_fail(err, errlen, "too many procedure variables");
    char checked[64];
    if (copy_sp_ident_checked(checked, sizeof checked, name, "variable name", err, errlen) != 0)
        return -1;
    if (sp_find_runtime_var(vars, *count, checked) >= 0)
        return sp_fail(err, errlen, "duplicate procedure variable or parameter '%s'", checked);
    char* value = sp_dup(literal ? literal : sp_default_sql_literal_for_type(type));
    if (!value) return sp_fail(err, errlen, "oom");
    ProcRuntimeVar& v = vars[*count];
    memset(&v, 0, sizeof v);
    memcpy(v.name, checked, sizeof checked);
    v.type = type;
    v.value = value;
    v.is_param = is_param ? 1 : 0;
    ++*count;
    return 0;
}

int sp_find_runtime_var(const ProcRuntimeVar* vars, int count, const char* name) {
    if (!vars || !name) return -1;
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(vars[i].name, name) == 0) return i;
    }
    return -1;
}

int sp_eval_set(const ProcRuntimeVar* vars, int count, const char* name, const char* expr,
                int* index, char** literal, char* err, size_t errlen) {
    *literal = nullptr;
    int v = sp_find_runtime_var(vars, count, name);
    if (v < 0) return sp_fail(err, errlen, "SET target variable '%s' is not declared", name);
    if (vars[v].is_param) return sp_fail(err, errlen, "cannot SET input parameter '%s'", name);
    if (sp_expr_to_sql_literal(expr, vars[v].type, name, vars, count, literal, err, errlen) != 0)
        return -1;
    *index = v;
    return 0;
}

int sp_declare_runtime_var(ProcRuntimeVar* vars, int* count, const char* name, int32_t type,
                           const char* expr, char* err, size_t errlen) {
    char* lit = nullptr;
    if (sp_expr_to_sql_literal(expr, type, name, vars, *count, &lit, err, errlen) != 0) return -1;
    CStr hold(lit);
    return sp_add_runtime_var(vars, count, name, type, lit, 0, err, errlen);
}

void sp_free_runtime_vars(ProcRuntimeVar* vars, int* count) {
    if (!vars || !count) return;
    for (int i = 0; i < *count; ++i) {
        free(vars[i].value);
        vars[i].value = nullptr;
    }
    *count = 0;
}

const char* sp_default_sql_literal_for_type(int32_t type) {
    switch (type) {
    case 1:
    case 2: return "0";
    case 4: return "false";
    default: return "\"\"";
    }
}

int sp_type_assignable(int32_t target, int32_t source) {
    return (target == source || (target == 2 && source == 1)) ? 1 : 0;
}

static const char* var_literal(const ProcRuntimeVar& v) {
    return v.value ? v.value : sp_default_sql_literal_for_type(v.type);
}

int sp_parse_placeholder_expr(const char* expr, char* name, size_t cap) {
    sp_clear(name, cap);
    std::string t = sp_trim(expr ? expr : "");
    if (t.size() < 2 || t[0] != ':' || !sp_is_ident_start(t[1])) return 0;
    for (size_t i = 2; i < t.size(); ++i) {
        if (!sp_is_ident_char(t[i])) return 0;
    }
    if (!name || t.size() - 1 >= cap) return 0;
    memcpy(name, t.c_str() + 1, t.size());
    return 1;
}

int sp_substitute_runtime_placeholders(const char* sql, const ProcRuntimeVar* vars, int count,
                                       char** out_sql, char* err, size_t errlen) {
    if (out_sql) *out_sql = nullptr;
    if (!sql || !out_sql) return sp_fail(err, errlen, "internal procedure substitution error");
    std::string out;
    out.reserve(strlen(sql) + 256);
    char quote = 0;
    for (const char* p = sql; *p;) {
        char c = *p;
        if (quote) {
            out += c;
            if (c == '\\' && p[1]) {
                out += p[1];
                p += 2;
                continue;
            }
            if (c == quote) quote = 0;
            ++p;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            out += c;
            ++p;
            continue;
        }
        if (c == ':' && sp_is_ident_start(p[1])) {
            const char* s = p + 1;
            const char* e = s;
            while (sp_is_ident_char(*e)) ++e;
            size_t n = static_cast<size_t>(e - s);
            if (n > 63) return sp_fail(err, errlen, "procedure placeholder name too long");
            std::string name(s, n);
            int idx = sp_find_runtime_var(vars, count, name.c_str());
            if (idx < 0)
                return sp_fail(err, errlen, "unknown procedure variable or parameter :%s",
                               name.c_str());
            out += var_literal(vars[idx]);
            p = e;
            continue;
        }
        out += c;
        ++p;
    }
    char* owned = sp_dup(out);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_sql = owned;
    return 0;
}

int sp_expr_find_numeric_binary_op(const char* expr, size_t* out_pos, char* out_op) {
    if (!expr) return 0;
    char quote = 0;
    size_t len = strlen(expr);
    for (size_t i = 0; i < len; ++i) {
        if (sp_skip_quoted(expr, i, quote)) continue;
        char c = expr[i];
        if (c != '+' && c != '-') continue;
        size_t b = i;
        while (b > 0 && sp_is_ws(expr[b - 1])) --b;
        if (b == 0) continue;
        char before = expr[b - 1];
        if (before == 'e' || before == 'E') continue;
        size_t a = i + 1;
        while (a < len && sp_is_ws(expr[a])) ++a;
        if (a >= len) continue;
        if (out_pos) *out_pos = i;
        if (out_op) *out_op = c;
        return 1;
    }
    return 0;
}

int sp_sql_numeric_literal_to_ld(const char* literal, long double* out, char* err, size_t errlen) {
    if (out) *out = 0;
    if (!literal) return sp_fail(err, errlen, "empty numeric expression operand");
    if (strlen(literal) >= 2048) return sp_fail(err, errlen, "numeric expression operand too long");
    std::string t = sp_trim(literal);
    if (t.empty()) return sp_fail(err, errlen, "empty numeric expression operand");
    if (t[0] == '\'' || t[0] == '"')
        return sp_fail(err, errlen, "numeric expression operand must be INT or DOUBLE");
    if (sp_ci_equal(t, "true") || sp_ci_equal(t, "false"))
        return sp_fail(err, errlen, "numeric expression operand must not be BOOL");
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    long double v = strtold(s, &end);
    bool range = errno == ERANGE;
    const char* r = end;
    while (r && *r && sp_is_ws(*r)) ++r;
    if (end == s || range || (r && *r))
        return sp_fail(err, errlen, "bad numeric expression operand '%s'", s);
    if (!std::isfinite(v) || fabsl(v) > LDBL_MAX)
        return sp_fail(err, errlen, "numeric expression result is not finite");
    if (out) *out = v;
    return 0;
}

int sp_expr_operand_to_number(const char* operand, const ProcRuntimeVar* vars, int count,
                              long double* out, char* err, size_t errlen) {
    if (out) *out = 0;
    if (!operand) return sp_fail(err, errlen, "empty numeric expression operand");
    if (strlen(operand) >= 2048) return sp_fail(err, errlen, "numeric expression operand too long");
    std::string t = sp_trim(operand);
    if (t.empty()) return sp_fail(err, errlen, "empty numeric expression operand");
    char name[64];
    if (sp_parse_placeholder_expr(t.c_str(), name, sizeof name)) {
        int idx = sp_find_runtime_var(vars, count, name);
        if (idx < 0)
            return sp_fail(err, errlen, "unknown procedure variable or parameter :%s", name);
        if (vars[idx].type != 1 && vars[idx].type != 2)
            return sp_fail(err, errlen, "numeric expression variable '%s' must be INT or DOUBLE",
                           name);
        return sp_sql_numeric_literal_to_ld(var_literal(vars[idx]), out, err, errlen);
    }
    return sp_sql_numeric_literal_to_ld(t.c_str(), out, err, errlen);
}

int sp_expr_numeric_binary_to_sql_literal(const char* expr, int32_t target_type,
                                          const ProcRuntimeVar* vars, int count, char** out_literal,
                                          char* err, size_t errlen) {
    if (out_literal) *out_literal = nullptr;
    if (!expr || !out_literal || (target_type != 1 && target_type != 2)) return 0;
    size_t pos = 0;
    char op = 0;
    if (!sp_expr_find_numeric_binary_op(expr, &pos, &op)) return 0;
    std::string left(expr, pos);
    std::string right(expr + pos + 1);
    if (left.size() >= 2048 || right.size() >= 2048)
        return sp_fail(err, errlen, "numeric SET expression too long");
    left = sp_trim(left);
    right = sp_trim(right);
    if (left.empty() || right.empty())
        return sp_fail(err, errlen, "numeric SET expression requires left and right operands");
    long double a = 0, b = 0;
    if (sp_expr_operand_to_number(left.c_str(), vars, count, &a, err, errlen) != 0) return -1;
    if (sp_expr_operand_to_number(right.c_str(), vars, count, &b, err, errlen) != 0) return -1;
    long double r = (op == '+') ? a + b : a - b;
    if (!std::isfinite(r) || fabsl(r) > LDBL_MAX)
        return sp_fail(err, errlen, "numeric expression result is not finite");
    char buf[64];
    if (target_type == 1) {
        long double ip = 0;
        long double frac = modfl(r, &ip);
        if (fabsl(frac) > 1e-12L)
            return sp_fail(err, errlen, "INT SET expression must produce a whole number");
        if (r < -9223372036854775808.0L || r > 9223372036854775807.0L)
            return sp_fail(err, errlen, "INT SET expression result out of range");
        if (fabsl(r) < 1e-12L) r = 0;
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(r));
    } else {
        if (fabsl(r) < 1e-18L) r = 0;
        snprintf(buf, sizeof buf, "%.17Lg", r);
    }
    char* owned = sp_dup(buf);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_literal = owned;
    return 1;
}

int sp_expr_to_sql_literal(const char* expr, int32_t target_type, const char* target_name,
                           const ProcRuntimeVar* vars, int count, char** out_literal, char* err,
                           size_t errlen) {
    if (out_literal) *out_literal = nullptr;
    if (!out_literal) return sp_fail(err, errlen, "internal procedure expression error");
    std::string t = sp_trim(sp_cut(expr, 2047));
    if (t.empty()) {
        char* owned = sp_dup(sp_default_sql_literal_for_type(target_type));
        if (!owned) return sp_fail(err, errlen, "oom");
        *out_literal = owned;
        return 0;
    }
    if (target_type == 1 || target_type == 2) {
        int r = sp_expr_numeric_binary_to_sql_literal(t.c_str(), target_type, vars, count,
                                                      out_literal, err, errlen);
        if (r != 0) return r > 0 ? 0 : -1;
    }
    char name[64];
    if (!sp_parse_placeholder_expr(t.c_str(), name, sizeof name)) {
        ProcParamDef as_value = {};
        snprintf(as_value.name, sizeof as_value.name, "value");
        as_value.type = target_type;
        return sp_arg_to_sql_literal(&as_value, t.c_str(), out_literal, err, errlen);
    }
    int idx = sp_find_runtime_var(vars, count, name);
    if (idx < 0) return sp_fail(err, errlen, "unknown procedure variable or parameter :%s", name);
    if (!sp_type_assignable(target_type, vars[idx].type))
        return sp_fail(err, errlen, "cannot assign %s to %s variable '%s'",
                       sp_param_type_name(vars[idx].type), sp_param_type_name(target_type),
                       target_name ? target_name : "");
    char* owned = sp_dup(var_literal(vars[idx]));
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_literal = owned;
    return 0;
}
