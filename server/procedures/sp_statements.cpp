// Procedure statements: parsers of CREATE / SHOW / DROP PROCEDURE and CALL,
// parameter declarations and metadata strings, and CALL argument conversion.
#include "procedures/sp_statements.h"

#include <cerrno>
#include <cmath>
#include <strings.h>

#include "procedures/sp_body.h"
#include "procedures/sp_util.h"
#include "storage/ident.h"

int sp_ident_is_strict(const char* text) {
    if (!text || !sp_is_ident_start(text[0])) return 0;
    for (const char* p = text + 1; *p; ++p) {
        if (!sp_is_ident_char(*p)) return 0;
    }
    return 1;
}

int copy_sp_ident_checked(char* dest, size_t cap, const char* source, const char* label, char* err,
                          size_t errlen) {
    const char* what = (label && label[0]) ? label : "identifier";
    sp_clear(dest, cap);
    if (copy_ident_checked(dest, cap, source, what, err, errlen) != 0) {
        sp_clear(dest, cap);
        return -1;
    }
    if (!sp_ident_is_strict(dest)) {
        sp_clear(dest, cap);
        return sp_fail(err, errlen,
                       "%s must contain only A-Z, a-z, 0-9 and underscore, and must not start "
                       "with a digit",
                       what);
    }
    return 0;
}

int sp_parse_param_type_token(const char* token, int32_t* out_type, char* err, size_t errlen) {
    if (out_type) *out_type = 0;
    std::string t = sp_trim(sp_cut(token, 63));
    for (char& c : t) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    int32_t type = 0;
    if (t == "INT" || t == "INTEGER")
        type = 1;
    else if (t == "DOUBLE" || t == "FLOAT" || t == "REAL")
        type = 2;
    else if (t == "STRING" || t == "TEXT" || t == "VARCHAR")
        type = 3;
    else if (t == "BOOL" || t == "BOOLEAN")
        type = 4;
    if (type == 0) {
        return sp_fail(err, errlen, "unsupported procedure parameter type '%s'",
                       token ? token : "");
    }
    if (out_type) *out_type = type;
    return 0;
}

const char* sp_param_type_name(int32_t type) {
    switch (type) {
    case 1: return "INT";
    case 2: return "DOUBLE";
    case 4: return "BOOL";
    case 5: return "TIMESTAMP";
    default: return "STRING";
    }
}

int sp_find_param(const ProcParamDef* params, int count, const char* name) {
    if (!params || !name) return -1;
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(params[i].name, name) == 0) return i;
    }
    return -1;
}

namespace {

std::vector<std::string> split_plain(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(sep, start);
        if (pos == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    return out;
}

void clear_params(ProcParamDef* params, int* count) {
    if (params) memset(params, 0, sizeof(ProcParamDef) * SP_MAX_PARAMS);
    if (count) *count = 0;
}

}  // namespace

int sp_parse_param_declaration_list(const char* text, ProcParamDef* params, int* count, char* err,
                                    size_t errlen) {
    clear_params(params, count);
    if (!params || !count) return sp_fail(err, errlen, "internal procedure parameter error");
    if (!text) return 0;
    if (strlen(text) >= 2048)
        return sp_fail(err, errlen, "procedure parameter declaration list too long");
    std::string all = sp_trim(text);
    if (all.empty()) return 0;
    ProcParamDef parsed[SP_MAX_PARAMS] = {};
    int n = 0;
    for (const std::string& raw : split_plain(all, ',')) {
        std::string item = sp_trim(raw);
        if (item.empty()) return sp_fail(err, errlen, "empty procedure parameter declaration");
        if (n >= SP_MAX_PARAMS) return sp_fail(err, errlen, "too many procedure parameters");
        if (item.size() > 2047)
            return sp_fail(err, errlen, "procedure parameter declaration too long");
        if (sp_ci_starts(item, "IN ")) item = sp_trim(item.substr(3));
        size_t ws = 0;
        while (ws < item.size() && !sp_is_ws(item[ws])) ++ws;
        if (ws >= item.size()) return sp_fail(err, errlen, "parameter syntax: IN name TYPE");
        std::string name = item.substr(0, ws);
        size_t p = ws;
        while (p < item.size() && sp_is_ws(item[p])) ++p;
        size_t type_end = p;
        while (type_end < item.size() && !sp_is_ws(item[type_end])) ++type_end;
        std::string type_word = item.substr(p, type_end - p);
        if (type_word.empty() || !sp_trim(item.substr(type_end)).empty())
            return sp_fail(err, errlen, "parameter syntax: IN name TYPE");
        ProcParamDef def = {};
        if (copy_sp_ident_checked(def.name, sizeof def.name, name.c_str(), "parameter name", err,
                                  errlen) != 0)
            return -1;
        if (sp_find_param(parsed, n, def.name) >= 0)
            return sp_fail(err, errlen, "duplicate procedure parameter '%s'", def.name);
        if (sp_parse_param_type_token(type_word.c_str(), &def.type, err, errlen) != 0) return -1;
        parsed[n++] = def;
    }
    memcpy(params, parsed, sizeof parsed);
    *count = n;
    return 0;
}

int sp_parse_param_defs_string(const char* text, ProcParamDef* params, int* count, char* err,
                               size_t errlen) {
    clear_params(params, count);
    if (!params || !count) return sp_fail(err, errlen, "internal procedure parameter error");
    if (!text) return 0;
    if (strlen(text) >= 2048) return sp_fail(err, errlen, "procedure parameter metadata too long");
    std::string all = sp_trim(text);
    if (all.empty()) return 0;
    ProcParamDef parsed[SP_MAX_PARAMS] = {};
    int n = 0;
    for (const std::string& item : split_plain(all, ',')) {
        size_t colon = item.find(':');
        if (sp_trim(item).empty() || colon == std::string::npos)
            return sp_fail(err, errlen, "corrupt procedure parameter metadata");
        if (n >= SP_MAX_PARAMS) return sp_fail(err, errlen, "too many procedure parameters");
        std::string name = sp_trim(item.substr(0, colon));
        std::string type_word = sp_trim(item.substr(colon + 1));
        ProcParamDef def = {};
        if (copy_sp_ident_checked(def.name, sizeof def.name, name.c_str(), "parameter name", err,
                                  errlen) != 0)
            return -1;
        if (sp_find_param(parsed, n, def.name) >= 0)
            return sp_fail(err, errlen, "duplicate procedure parameter metadata");
        if (sp_parse_param_type_token(type_word.c_str(), &def.type, err, errlen) != 0) return -1;
        parsed[n++] = def;
    }
    memcpy(params, parsed, sizeof parsed);
    *count = n;
    return 0;
}

int sp_param_defs_to_string(const ProcParamDef* params, int count, char* out, size_t cap, char* err,
                            size_t errlen) {
    sp_clear(out, cap);
    if (!out || cap == 0) return sp_fail(err, errlen, "procedure parameter definition too long");
    if (count < 0 || count > SP_MAX_PARAMS || (count > 0 && !params))
        return sp_fail(err, errlen, "too many procedure parameters");
    std::string s;
    for (int i = 0; i < count; ++i) {
        if (i > 0) s += ',';
        s += params[i].name;
        s += ':';
        s += sp_param_type_name(params[i].type);
    }
    if (s.size() >= cap) return sp_fail(err, errlen, "procedure parameter definition too long");
    memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

namespace {

// Splits "name(list) rest" at the first '(' and the last ')' behind it.
// Returns 0 with section (trimmed, cut at '(') and list; has_list tells
// whether a '(' was present.
int split_param_section(std::string& section, std::string& list, bool& has_list, char* err,
                        size_t errlen) {
    list.clear();
    has_list = false;
    size_t open = section.find('(');
    if (open == std::string::npos) return 0;
    size_t close = section.rfind(')');
    if (close == std::string::npos || close < open)
        return sp_fail(err, errlen, "procedure parameter list is missing ')'");
    if (!sp_trim(section.substr(close + 1)).empty())
        return sp_fail(err, errlen, "unexpected text after procedure parameter list");
    has_list = true;
    list = section.substr(open + 1, close - open - 1);
    section = sp_trim(section.substr(0, open));
    return 0;
}

}  // namespace

int parse_create_procedure_sql(const char* sql, char* proc_name, char* table_name,
                               ProcParamDef* params, int* param_count, char** out_body, char* err,
                               size_t errlen) {
    sp_clear(proc_name, SP_NAME_SIZE);
    sp_clear(table_name, SP_NAME_SIZE);
    clear_params(params, param_count);
    if (out_body) *out_body = nullptr;
    if (!proc_name || !table_name || !params || !param_count || !out_body)
        return sp_fail(err, errlen, "internal procedure parser error");
    if (!sql || !sql[0]) return sp_fail(err, errlen, "missing sql");
    std::string text = sp_trim(sql);
    if (!sp_ci_starts(text, "CREATE PROCEDURE "))
        return sp_fail(err, errlen, "invalid CREATE PROCEDURE");
    size_t d1 = text.find("$$");
    if (d1 == std::string::npos)
        return sp_fail(err, errlen, "CREATE PROCEDURE requires AS $$ body $$");
    size_t d2 = text.find("$$", d1 + 2);
    if (d2 == std::string::npos)
        return sp_fail(err, errlen, "procedure body terminator $$ is missing");
    // The whole tail must be blank: a statement never continues behind the body.
    if (!sp_trim(text.substr(d2 + 2)).empty())
        return sp_fail(err, errlen, "unexpected text after procedure body");
    if (d1 >= 1024) return sp_fail(err, errlen, "CREATE PROCEDURE header too long");
    std::string header = sp_norm_trim(text.substr(0, d1));
    const char* syntax =
        "CREATE PROCEDURE syntax: CREATE PROCEDURE name[(IN p TYPE,...)] ON table[(IN p "
        "TYPE,...)] AS $$ SQL $$";
    const size_t prefix = 17;
    size_t on = sp_ci_find(header, " ON ", prefix);
    size_t as = sp_ci_find(header, " AS", prefix);
    if (on == std::string::npos || as == std::string::npos || as < on)
        return sp_fail(err, errlen, "%s", syntax);
    if (!sp_trim(header.substr(as + 3)).empty())
        return sp_fail(err, errlen, "unexpected text before procedure body");
    if (on < prefix || on - prefix > 511)
        return sp_fail(err, errlen, "procedure name/parameter section too long");
    if (as < on + 4 || as - (on + 4) >= 512)
        return sp_fail(err, errlen, "procedure table/parameter section too long");
    std::string name_sec = sp_trim(header.substr(prefix, on - prefix));
    std::string table_sec = sp_trim(header.substr(on + 4, as - (on + 4)));

    std::string name_list, table_list;
    bool name_has = false, table_has = false;
    if (split_param_section(name_sec, name_list, name_has, err, errlen) != 0) return -1;
    bool name_list_used = name_has && !sp_trim(name_list).empty();
    if (name_list_used && table_sec.find('(') != std::string::npos)
        return sp_fail(err, errlen,
                       "procedure parameter list can appear after name or table, not both");
    if (split_param_section(table_sec, table_list, table_has, err, errlen) != 0) return -1;
    const std::string& list = name_list_used ? name_list : table_list;

    char name[SP_NAME_SIZE], table[SP_NAME_SIZE];
    if (copy_sp_ident_checked(name, sizeof name, name_sec.c_str(), "procedure name", err, errlen) !=
        0)
        return -1;
    if (copy_sp_ident_checked(table, sizeof table, table_sec.c_str(), "table name", err, errlen) !=
        0)
        return -1;
    ProcParamDef parsed[SP_MAX_PARAMS] = {};
    int n = 0;
    if (sp_parse_param_declaration_list(list.c_str(), parsed, &n, err, errlen) != 0) return -1;

    std::string body = sp_trim(text.substr(d1 + 2, d2 - d1 - 2));
    if (sp_validate_body(body.c_str(), err, errlen) != 0) return -1;
    if (sp_validate_body_placeholders(body.c_str(), parsed, n, err, errlen) != 0) return -1;
    char* owned = sp_dup(body);
    if (!owned) return sp_fail(err, errlen, "oom");
    memcpy(proc_name, name, sizeof name);
    memcpy(table_name, table, sizeof table);
    memcpy(params, parsed, sizeof parsed);
    *param_count = n;
    *out_body = owned;
    return 0;
}

int parse_show_procedures_sql(const char* sql, char* table_filter, char* err, size_t errlen) {
    sp_clear(table_filter, SP_NAME_SIZE);
    if (!table_filter) return sp_fail(err, errlen, "internal procedure parser error");
    std::string text = sp_norm_trim(sp_cut(sql, 1023));
    if (!sp_ci_starts(text, "SHOW PROCEDURES"))
        return sp_fail(err, errlen, "invalid SHOW PROCEDURES");
    std::string rest = sp_trim(text.substr(15));
    if (rest.empty()) return 0;
    if (!sp_ci_starts(rest, "ON "))
        return sp_fail(err, errlen, "SHOW PROCEDURES syntax: SHOW PROCEDURES [ON table]");
    return copy_sp_ident_checked(table_filter, SP_NAME_SIZE, rest.substr(3).c_str(), "table name",
                                 err, errlen);
}

int parse_drop_procedure_sql(const char* sql, char* proc_name, char* table_name, char* err,
                             size_t errlen) {
    sp_clear(proc_name, SP_NAME_SIZE);
    sp_clear(table_name, SP_NAME_SIZE);
    if (!proc_name || !table_name) return sp_fail(err, errlen, "internal procedure parser error");
    std::string text = sp_norm_trim(sp_cut(sql, 1023));
    if (!sp_ci_starts(text, "DROP PROCEDURE "))
        return sp_fail(err, errlen, "invalid DROP PROCEDURE");
    std::string rest = text.substr(15);
    std::string proc = rest;
    size_t on = sp_ci_find(rest, " ON ");
    if (on != std::string::npos) {
        proc = rest.substr(0, on);
        if (copy_sp_ident_checked(table_name, SP_NAME_SIZE, rest.substr(on + 4).c_str(),
                                  "table name", err, errlen) != 0)
            return -1;
    }
    if (copy_sp_ident_checked(proc_name, SP_NAME_SIZE, proc.c_str(), "procedure name", err,
                              errlen) != 0) {
        sp_clear(table_name, SP_NAME_SIZE);
        return -1;
    }
    return 0;
}

int sp_parse_call_args_list(const char* text, ProcCallArgs* args, char* err, size_t errlen) {
    if (!args) return sp_fail(err, errlen, "internal procedure parser error");
    memset(args, 0, sizeof *args);
    if (!text) return 0;
    if (strlen(text) >= 4096) return sp_fail(err, errlen, "CALL argument list too long");
    std::string all = sp_trim(text);
    if (all.empty()) return 0;
    std::vector<std::string> items;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        char c = all[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if ((c == '\'' || c == '"') && !(i > 0 && all[i - 1] == '\\')) {
            quote = c;
        } else if (c == ',') {
            items.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    if (quote) return sp_fail(err, errlen, "unterminated quoted CALL argument");
    items.push_back(all.substr(start));
    ProcCallArgs parsed;
    memset(&parsed, 0, sizeof parsed);
    for (const std::string& raw : items) {
        std::string item = sp_trim(raw);
        if (item.empty()) return sp_fail(err, errlen, "empty CALL argument");
        if (parsed.count >= SP_MAX_PARAMS) return sp_fail(err, errlen, "too many CALL arguments");
        if (item.size() >= SP_ARG_SIZE) return sp_fail(err, errlen, "CALL argument too long");
        memcpy(parsed.args[parsed.count++], item.c_str(), item.size() + 1);
    }
    *args = parsed;
    return 0;
}

namespace {

// normalize_sql_ws and trim_ws outside quoted arguments only: the bytes of a
// quoted argument (tabs, line ends, their escapes) reach the argument rules
// unchanged. Quotes open and close as sp_parse_call_args_list reads them.
std::string norm_trim_outside_quotes(const std::string& text) {
    std::string out, plain;
    auto flush = [&] {
        std::vector<char> buf(plain.begin(), plain.end());
        buf.push_back('\0');
        normalize_sql_ws(buf.data());
        out += buf.data();
        plain.clear();
    };
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == quote) {
                quote = 0;
            }
        } else if ((c == '\'' || c == '"') && !(i > 0 && text[i - 1] == '\\')) {
            flush();
            quote = c;
            out += c;
        } else {
            plain += c;
        }
    }
    flush();
    return sp_trim(out);
}

}  // namespace

int parse_call_procedure_sql(const char* sql, char* proc_name, ProcCallArgs* args, char* err,
                             size_t errlen) {
    sp_clear(proc_name, SP_NAME_SIZE);
    if (!proc_name || !args) return sp_fail(err, errlen, "internal procedure parser error");
    memset(args, 0, sizeof *args);
    if (!sql) return sp_fail(err, errlen, "invalid CALL");
    if (strlen(sql) >= 4096) return sp_fail(err, errlen, "CALL statement too long");
    std::string text = norm_trim_outside_quotes(sql);
    if (!sp_ci_starts(text, "CALL ")) return sp_fail(err, errlen, "invalid CALL");
    std::string rest = sp_trim(text.substr(5));
    if (rest.empty()) return sp_fail(err, errlen, "CALL requires a procedure name");
    std::string name = rest;
    ProcCallArgs parsed;
    memset(&parsed, 0, sizeof parsed);
    size_t open = rest.find('(');
    if (open != std::string::npos) {
        size_t close = rest.rfind(')');
        if (close == std::string::npos || close < open)
            return sp_fail(err, errlen, "CALL syntax: CALL procedure_name([args...])");
        if (!sp_trim(rest.substr(close + 1)).empty())
            return sp_fail(err, errlen, "unexpected text after CALL");
        if (sp_parse_call_args_list(rest.substr(open + 1, close - open - 1).c_str(), &parsed, err,
                                    errlen) != 0)
            return -1;
        name = rest.substr(0, open);
    }
    if (copy_sp_ident_checked(proc_name, SP_NAME_SIZE, name.c_str(), "procedure name", err,
                              errlen) != 0)
        return -1;
    *args = parsed;
    return 0;
}

int sp_sql_string_arg_to_plain(const char* arg, char** out_plain, char* err, size_t errlen) {
    if (out_plain) *out_plain = nullptr;
    if (!out_plain) return sp_fail(err, errlen, "internal procedure argument error");
    size_t len = arg ? strlen(arg) : 0;
    if (len < 2 || (arg[0] != '\'' && arg[0] != '"') || arg[len - 1] != arg[0])
        return sp_fail(err, errlen, "STRING procedure arguments must be quoted");
    if (len >= 2048) return sp_fail(err, errlen, "string argument too long");
    const char quote = arg[0];
    const char* inner = arg + 1;
    size_t n = len - 2;
    std::string plain;
    for (size_t i = 0; i < n; ++i) {
        char c = inner[i];
        if (c == '\\' && i + 1 < n) {
            char e = inner[++i];
            switch (e) {
            case 'n': plain += '\n'; break;
            case 'r': plain += '\r'; break;
            case 't': plain += '\t'; break;
            default: plain += e; break;
            }
        } else if (c == quote) {
            return sp_fail(err, errlen, "unescaped quote inside STRING argument");
        } else {
            plain += c;
        }
    }
    char* owned = sp_dup(plain);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_plain = owned;
    return 0;
}

char* sp_plain_string_to_sql_literal(const char* plain) {
    // A JSON string in which every control byte is a \u escape: the SQL
    // normaliser turns tabs and line ends, and their two-character escapes,
    // into blanks, but leaves \u00XX alone, and INSERT and UPDATE store a
    // value that is one JSON string as it is.
    std::string out = "\"";
    for (const char* p = plain ? plain : ""; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return sp_dup(out);
}

namespace {

bool only_blanks(const char* p) {
    while (*p && sp_is_ws(*p)) ++p;
    return *p == '\0';
}

}  // namespace

int sp_arg_to_sql_literal(const ProcParamDef* param, const char* arg, char** out_literal, char* err,
                          size_t errlen) {
    if (out_literal) *out_literal = nullptr;
    if (!param || !out_literal) return sp_fail(err, errlen, "internal procedure argument error");
    std::string text = sp_trim(sp_cut(arg, 2047));
    std::string lit;
    switch (param->type) {
    case 1: {
        const char* s = text.c_str();
        char* end = nullptr;
        errno = 0;
        long long v = strtoll(s, &end, 10);
        if (end == s || !only_blanks(end))
            return sp_fail(err, errlen, "bad INT argument for parameter '%s'", param->name);
        char buf[32];
        snprintf(buf, sizeof buf, "%lld", v);  // strtoll saturates at the bounds
        lit = buf;
        break;
    }
    case 2: {
        const char* s = text.c_str();
        char* end = nullptr;
        long double v = strtold(s, &end);
        if (end == s || !only_blanks(end) || !std::isfinite(static_cast<double>(v)))
            return sp_fail(err, errlen, "bad DOUBLE argument for parameter '%s'", param->name);
        char buf[64];
        snprintf(buf, sizeof buf, "%.17Lg", v);
        lit = buf;
        break;
    }
    case 4:
        if (sp_ci_equal(text, "true") || text == "1")
            lit = "true";
        else if (sp_ci_equal(text, "false") || text == "0")
            lit = "false";
        else
            return sp_fail(err, errlen, "bad BOOL argument for parameter '%s'", param->name);
        break;
    case 3: {
        char* plain = nullptr;
        if (sp_sql_string_arg_to_plain(text.c_str(), &plain, err, errlen) != 0) return -1;
        char* quoted = sp_plain_string_to_sql_literal(plain);
        free(plain);
        if (!quoted) return sp_fail(err, errlen, "oom");
        *out_literal = quoted;
        return 0;
    }
    default: return sp_fail(err, errlen, "unsupported parameter type for '%s'", param->name);
    }
    char* owned = sp_dup(lit);
    if (!owned) return sp_fail(err, errlen, "oom");
    *out_literal = owned;
    return 0;
}
