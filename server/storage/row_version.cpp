// Row versions: latest and snapshot reads, row validation with canonical
// typed values, primary-key extraction, column merge and value comparison.
#include "storage/row_version.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/owned.h"
#include "base/text_util.h"
#include "storage/ident.h"
#include "storage/pk_map.h"
#include "storage/table.h"

uint64_t versioned_row_mem_size(const char* key, const char* json) {
    return 48 + (key ? strlen(key) : 0) + 1 + (json ? strlen(json) + 1 : 0);
}

VersionedRow* versioned_row_new(uint64_t seq, const char* key, const char* json, int deleted) {
    VersionedRow* r = (VersionedRow*)calloc(1, sizeof *r);
    if (!r) return nullptr;
    r->key = xstrdup(key ? key : "");
    r->json = json ? xstrdup(json) : nullptr;
    if (!r->key || (json && !r->json)) {
        versioned_row_free(r);
        return nullptr;
    }
    r->seq = seq;
    r->deleted = deleted ? 1 : 0;
    r->mem_size = versioned_row_mem_size(r->key, r->json);
    return r;
}

void versioned_row_free(VersionedRow* row) {
    if (!row) return;
    free(row->key);
    free(row->json);
    free(row);
}

namespace {

void clear_outs(char** out_json, uint64_t* out_seq, int* out_deleted) {
    if (out_json) *out_json = nullptr;
    if (out_seq) *out_seq = 0;
    if (out_deleted) *out_deleted = 0;
}

int copy_out(const VersionedRow* v, char** out_json, uint64_t* out_seq, int* out_deleted) {
    if (out_json && v->json) {
        *out_json = xstrdup(v->json);
        if (!*out_json) return -1;
    }
    if (out_seq) *out_seq = v->seq;
    if (out_deleted) *out_deleted = v->deleted ? 1 : 0;
    return 0;
}

}  // namespace

int versioned_get_latest_json(Table* table, const char* key, char** out_json, uint64_t* out_seq,
                              int* out_deleted) {
    clear_outs(out_json, out_seq, out_deleted);
    if (!table || !key) return -1;
    const VersionedRow* best = pk_latest_map_get(table, key);
    if (!best && !pk_latest_map_complete(table)) {
        for (const VersionedRow* r = table->rows; r; r = r->next)
            if (r->key && strcmp(r->key, key) == 0 && (!best || r->seq >= best->seq)) best = r;
    }
    if (!best) return -1;
    return copy_out(best, out_json, out_seq, out_deleted);
}

int versioned_get_visible_json(Table* table, const char* key, uint64_t snapshot_seq,
                               char** out_json, uint64_t* out_seq, int* out_deleted) {
    clear_outs(out_json, out_seq, out_deleted);
    if (!table || !key || snapshot_seq == 0) return -1;
    const VersionedRow* best = pk_latest_map_get(table, key);
    bool in_map = best != nullptr;
    if (best && best->seq > snapshot_seq) best = nullptr;
    // A key the complete map does not know has no version at all.
    if (!best && (in_map || !pk_latest_map_complete(table))) {
        for (const VersionedRow* r = table->rows; r; r = r->next) {
            if (!r->key || strcmp(r->key, key) != 0 || r->seq > snapshot_seq) continue;
            if (!best || r->seq >= best->seq) best = r;
        }
    }
    if (!best) return -1;
    return copy_out(best, out_json, out_seq, out_deleted);
}

int table_key_exists_live(const char* internal_name, const char* key) {
    if (!key) return 0;
    RwReadGuard list(&g_tables.lock);
    int slot = table_find_index_unlocked(internal_name);
    if (slot < 0) return 0;
    Table* t = &g_tables.slots[slot];
    RwReadGuard g(&t->lock);
    int deleted = 0;
    if (versioned_get_latest_json(t, key, nullptr, nullptr, &deleted) != 0) return 0;
    return deleted ? 0 : 1;
}

// ---- row validation ---------------------------------------------------------

namespace {

// Where a member's raw value lies in the row text: the same first occurrence
// json_extract_raw reads.
bool find_member_value(const char* json, const char* name, const char** start, const char** end) {
    const char* p = json_member_value(json, name);
    if (!p) return false;
    const char* e = scan_json_value_end(p);
    if (!e) return false;
    while (e > p && isspace((unsigned char)e[-1])) --e;  // a scalar keeps trailing blanks
    *start = p;
    *end = e;
    return true;
}

// Canonical integer text (plain decimal, no sign for zero, no leading zeros);
// accepts what strtol base 10 reads in full.  Out-of-range values are refused.
bool canonical_int(const std::string& v, std::string& out) {
    if (v.empty()) return false;
    const char* s = v.c_str();
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(s, &end, 10);
    if (end == s || errno == ERANGE) return false;
    while (*end && isspace((unsigned char)*end)) ++end;
    if (*end) return false;
    out = std::to_string(n);
    return true;
}

// Canonical JSON number for a double column: decimal mantissa with optional
// fraction and exponent; '+', leading zeros, a bare '.' edge are normalised.
// Hex, inf, nan and values that overflow to infinity are refused.
bool canonical_double(const std::string& v, std::string& out) {
    size_t i = 0, n = v.size();
    std::string sign;
    if (i < n && (v[i] == '+' || v[i] == '-')) {
        if (v[i] == '-') sign = "-";
        ++i;
    }
    size_t int_start = i;
    while (i < n && isdigit((unsigned char)v[i])) ++i;
    std::string ipart = v.substr(int_start, i - int_start);
    std::string fpart;
    if (i < n && v[i] == '.') {
        ++i;
        size_t fs = i;
        while (i < n && isdigit((unsigned char)v[i])) ++i;
        fpart = v.substr(fs, i - fs);
    }
    if (ipart.empty() && fpart.empty()) return false;
    std::string exp;
    if (i < n && (v[i] == 'e' || v[i] == 'E')) {
        size_t es = i++;
        if (i < n && (v[i] == '+' || v[i] == '-')) ++i;
        size_t ds = i;
        while (i < n && isdigit((unsigned char)v[i])) ++i;
        if (i == ds) return false;
        exp = v.substr(es, i - es);
    }
    if (i != n) return false;
    errno = 0;
    double d = strtod(v.c_str(), nullptr);
    if (!std::isfinite(d)) return false;
    size_t z = 0;
    while (z + 1 < ipart.size() && ipart[z] == '0') ++z;
    ipart = ipart.substr(z);
    if (ipart.empty()) ipart = "0";
    out = sign + ipart;
    if (!fpart.empty()) out += "." + fpart;
    out += exp;
    return true;
}

struct Splice {
    size_t start, end;
    std::string text;
};

// Shared by validation and canonicalisation: checks every column and collects
// the replacements that make typed values canonical.
int check_row(const TableSchema* schema, const char* row, std::vector<Splice>* splices, char* err,
              size_t errlen) {
    if (!schema || !row) {
        set_err(err, errlen, "missing primary key");
        return -1;
    }
    const TableSchema& s = *schema;
    for (int i = 0; i < s.column_count && i < KYREL_MAX_COLUMNS; ++i) {
        const ColumnDef& c = s.columns[i];
        const char *vs = nullptr, *ve = nullptr;
        if (!find_member_value(row, c.name, &vs, &ve)) {
            if (c.is_primary_key) {
                set_err(err, errlen, "missing primary key");
                return -1;
            }
            continue;
        }
        std::string v(vs, (size_t)(ve - vs));
        std::string canon;
        bool ok;
        switch (c.type) {
        case COL_TYPE_STRING:
            ok = !v.empty() && v[0] == '"' &&
                 scan_json_string_end(v.c_str()) == v.c_str() + v.size();
            canon = v;
            break;
        case COL_TYPE_BOOL:
            if (!strcasecmp(v.c_str(), "true") || v == "1") {
                ok = true;
                canon = "true";
            } else if (!strcasecmp(v.c_str(), "false") || v == "0") {
                ok = true;
                canon = "false";
            } else {
                ok = false;
            }
            break;
        case COL_TYPE_DOUBLE: ok = canonical_double(v, canon); break;
        default: ok = canonical_int(v, canon); break;
        }
        if (!ok) {
            set_errf(err, errlen, "bad value type for column '%s'", c.name);
            return -1;
        }
        if (splices && canon != v)
            splices->push_back({(size_t)(vs - row), (size_t)(ve - row), canon});
    }
    return 0;
}

}  // namespace

int schema_validate_row_object(const Table* table, const char* row_json, char* err, size_t errlen) {
    return check_row(table ? &table->schema : nullptr, row_json, nullptr, err, errlen);
}

int schema_canonicalize_row_object(const Table* table, const char* row_json, char** out_row,
                                   char* err, size_t errlen) {
    return schema_canonicalize_row_with_schema(table ? &table->schema : nullptr, row_json, out_row,
                                               err, errlen);
}

int schema_canonicalize_row_with_schema(const TableSchema* schema, const char* row_json,
                                        char** out_row, char* err, size_t errlen) {
    if (out_row) *out_row = nullptr;
    std::vector<Splice> splices;
    if (check_row(schema, row_json, &splices, err, errlen) != 0) return -1;
    std::sort(splices.begin(), splices.end(),
              [](const Splice& a, const Splice& b) { return a.start < b.start; });
    std::string out;
    size_t pos = 0, len = strlen(row_json);
    for (const Splice& sp : splices) {
        if (sp.start < pos) continue;  // spans of scalars never overlap; be safe
        out.append(row_json + pos, sp.start - pos);
        out += sp.text;
        pos = sp.end;
    }
    out.append(row_json + pos, len - pos);
    if (!out_row) return 0;
    *out_row = xstrdup(out.c_str());
    if (!*out_row) {
        set_err(err, errlen, "oom");
        return -1;
    }
    return 0;
}

namespace {

// Shortest decimal text that reads back as d (-0 reads as 0).
std::string shortest_double(double d) {
    if (d == 0) return "0";
    char buf[64];
    if (d == std::floor(d) && std::fabs(d) < 1e15) {
        snprintf(buf, sizeof buf, "%.0f", d);
        return buf;
    }
    for (int prec = 1; prec <= 17; ++prec) {
        snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (strtod(buf, nullptr) == d) break;
    }
    return buf;
}

// The JSON string that spans all of raw, decoded; false when raw is not one
// (json_is_one_string: an escape JSON does not know would let two texts
// decode alike).
bool decode_json_string(const std::string& raw, std::string* out) {
    if (!json_is_one_string(raw.c_str())) return false;
    std::string inner = raw.substr(1, raw.size() - 2);
    char* d = json_unescape_fragment(inner.c_str());
    if (!d) return false;
    out->assign(d);
    free(d);
    return true;
}

}  // namespace

int pk_key_form(int type, const char* text, PkKeySource source, std::string* key) {
    if (!text || !key) return -1;
    std::string v(text);
    trim_ws(v.data());
    v.resize(strlen(v.c_str()));
    std::string decoded;
    switch (source) {
    case PK_FROM_ROW_VALUE:
        if (type == COL_TYPE_STRING) {
            // A stored key is the exact decoded text of its JSON string.
            if (!decode_json_string(v, &decoded)) return -1;
        } else {
            decoded = v;
        }
        break;
    case PK_FROM_LITERAL:
        if (is_json_null_token(v.c_str())) return -1;
        strip_sql_or_json_quotes(v.data());
        decoded.assign(v.c_str());
        break;
    }
    try {
        switch (type) {
        case COL_TYPE_STRING: *key = decoded; return 0;
        case COL_TYPE_BOOL:
            if (!strcasecmp(decoded.c_str(), "true") || decoded == "1") {
                *key = "true";
                return 0;
            }
            if (!strcasecmp(decoded.c_str(), "false") || decoded == "0") {
                *key = "false";
                return 0;
            }
            return -1;
        case COL_TYPE_DOUBLE: {
            std::string canon;
            if (!canonical_double(decoded, canon)) return -1;
            *key = shortest_double(strtod(canon.c_str(), nullptr));
            return 0;
        }
        default: return canonical_int(decoded, *key) ? 0 : -1;
        }
    } catch (...) {
        return -1;
    }
}

int schema_row_pk_value(const TableSchema* schema, const char* row_json, std::string* key,
                        char* err, size_t errlen) {
    key->clear();
    if (!schema || !schema->primary_key[0]) {
        set_err(err, errlen, "table has no primary key");
        return -1;
    }
    char* raw = nullptr;
    if (!row_json || json_extract_raw(row_json, schema->primary_key, &raw) != 0 || !raw) {
        set_err(err, errlen, "missing primary key value");
        return -1;
    }
    CStr hold(raw);
    const int c = schema_get_col(schema, schema->primary_key);
    const int type = c >= 0 ? schema->columns[c].type : COL_TYPE_STRING;
    if (pk_key_form(type, raw, PK_FROM_ROW_VALUE, key) != 0) {
        if (err && errlen)
            set_errf(err, errlen, "bad value type for column '%s'", schema->primary_key);
        return -1;
    }
    return 0;
}

int schema_get_pk_value(const Table* table, const char* row_json, char* out, size_t capacity,
                        char* err, size_t errlen) {
    if (out && capacity) out[0] = '\0';
    std::string key;
    if (schema_row_pk_value(table ? &table->schema : nullptr, row_json, &key, err, errlen) != 0)
        return -1;
    if (out && capacity) {
        size_t k = key.size() < capacity - 1 ? key.size() : capacity - 1;
        memcpy(out, key.data(), k);
        out[k] = '\0';
    }
    return 0;
}

int json_object_upsert(const TableSchema* schema, const char* row_json, const char* const* names,
                       const char* const* values, int count, char** out_row) {
    if (out_row) *out_row = nullptr;
    if (!schema || !out_row) return -1;
    std::string out = "{";
    out.reserve(4096);
    bool first = true;
    for (int i = 0; i < schema->column_count && i < KYREL_MAX_COLUMNS; ++i) {
        const char* col = schema->columns[i].name;
        std::string val;
        bool have = false;
        for (int j = 0; j < count && names && values; ++j) {
            if (names[j] && values[j] && strcmp(names[j], col) == 0) {
                val = values[j];
                have = true;
                break;
            }
        }
        if (!have && row_json) {
            char* raw = nullptr;
            if (json_extract_raw(row_json, col, &raw) == 0 && raw) {
                val = raw;
                have = true;
            }
            free(raw);
        }
        if (!have) continue;
        json_append_raw_member(&out, &first, col, val);
    }
    out += "}";
    *out_row = xstrdup(out.c_str());
    return *out_row ? 0 : -1;
}

// ---- escapes and comparison -------------------------------------------------

void sql_unescape_inplace(char* text) {
    if (!text) return;
    char* w = text;
    for (const char* r = text; *r; ++r) {
        if (*r == '\\' && r[1]) {
            ++r;
            switch (*r) {
            case 'n': *w++ = '\n'; break;
            case 'r': *w++ = '\r'; break;
            case 't': *w++ = '\t'; break;
            default: *w++ = *r; break;  // \" \' \\ and any other character
            }
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
}

void strip_sql_or_json_quotes(char* text) {
    if (!text) return;
    trim_ws(text);
    size_t n = strlen(text);
    if (n >= 2 && (text[0] == '"' || text[0] == '\'') && text[n - 1] == text[0]) {
        // A stored string is JSON: decoded by JSON's escapes (\u00e9 is one
        // character), so a value reads the same whether it came through SQL
        // or JSON. Decoding never makes the text longer.
        if (text[0] == '"' && memchr(text, '\\', n) && json_is_one_string(text)) {
            text[n - 1] = '\0';
            char* d = json_unescape_fragment(text + 1);
            if (d) {
                memcpy(text, d, strlen(d) + 1);
                free(d);
                return;
            }
            text[n - 1] = '"';
        }
        memmove(text, text + 1, n - 2);
        text[n - 2] = '\0';
        sql_unescape_inplace(text);
    }
}

int is_json_null_token(const char* value) {
    if (!value) return 1;
    const char* p = value;
    while (*p && isspace((unsigned char)*p)) ++p;
    if (strncasecmp(p, "null", 4) != 0) return 0;
    char c = p[4];
    return (c == '\0' || isspace((unsigned char)c) || c == ',' || c == '}' || c == ']') ? 1 : 0;
}

int compare_json_values(int type, const char* a, const char* b) {
    bool an = is_json_null_token(a), bn = is_json_null_token(b);
    if (an && bn) return 0;
    if (an) return 1;
    if (bn) return -1;
    std::string sa(a), sb(b);
    strip_sql_or_json_quotes(sa.data());
    strip_sql_or_json_quotes(sb.data());
    const char *x = sa.c_str(), *y = sb.c_str();
    switch (type) {
    case COL_TYPE_STRING: return strcmp(x, y);
    case COL_TYPE_BOOL: {
        int tx = (!strcasecmp(x, "true") || !strcmp(x, "1")) ? 1 : 0;
        int ty = (!strcasecmp(y, "true") || !strcmp(y, "1")) ? 1 : 0;
        return tx < ty ? -1 : (tx > ty ? 1 : 0);
    }
    case COL_TYPE_DOUBLE: {
        double dx = strtod(x, nullptr), dy = strtod(y, nullptr);
        if (std::isnan(dx) || std::isnan(dy)) return 0;
        return dx < dy ? -1 : (dx > dy ? 1 : 0);
    }
    default: {
        long lx = strtol(x, nullptr, 10), ly = strtol(y, nullptr, 10);
        return lx < ly ? -1 : (lx > ly ? 1 : 0);
    }
    }
}

int eval_compare(int type, const char* a, const char* op, const char* b) {
    if (!op || is_json_null_token(a) || is_json_null_token(b)) return 0;
    int c = compare_json_values(type, a, b);
    if (!strcmp(op, "=")) return c == 0;
    if (!strcmp(op, "!=") || !strcmp(op, "<>")) return c != 0;
    if (!strcmp(op, "<")) return c < 0;
    if (!strcmp(op, "<=")) return c <= 0;
    if (!strcmp(op, ">")) return c > 0;
    if (!strcmp(op, ">=")) return c >= 0;
    return 0;
}
