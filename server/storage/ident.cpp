// Identifier canonicalisation and checks, column type names.
#include "storage/ident.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/err.h"
#include "base/text_util.h"

void canonicalize_ident(char* text) {
    if (!text) return;
    trim_ws(text);
    size_t n = strlen(text);
    if (n >= 2 && (text[0] == '"' || text[0] == '\'') && text[n - 1] == text[0]) {
        memmove(text, text + 1, n - 2);
        text[n - 2] = '\0';
        trim_ws(text);
    }
}

namespace {

const char* label_or_default(const char* label) { return (label && *label) ? label : "identifier"; }

// Shared body of copy_ident_checked / copy_ident_stored.
int copy_ident_impl(char* dest, size_t capacity, const char* source, const char* label, bool client,
                    char* err, size_t errlen) {
    const char* lab = label_or_default(label);
    if (!dest || capacity == 0) {
        set_err(err, errlen, "internal identifier error");
        return -1;
    }
    dest[0] = '\0';
    if (!source) {
        set_errf(err, errlen, "missing %s", lab);
        return -1;
    }
    size_t raw_len = strlen(source);
    if (raw_len > KYREL_IDENT_RAW_MAX) {
        set_errf(err, errlen, "%s too long", lab);
        return -1;
    }
    char buf[KYREL_IDENT_RAW_MAX + 1];
    memcpy(buf, source, raw_len + 1);
    canonicalize_ident(buf);
    size_t n = strlen(buf);
    if (n == 0) {
        set_errf(err, errlen, "invalid %s", lab);
        return -1;
    }
    if (n >= capacity) {
        set_errf(err, errlen, "%s too long", lab);
        return -1;
    }
    if (client && ident_check_client_name(buf, label, err, errlen) != 0) return -1;
    memcpy(dest, buf, n + 1);
    return 0;
}

bool label_has(const char* label, const char* word) {
    return label && strstr(label, word) != nullptr;
}

}  // namespace

int ident_check_client_name(const char* name, const char* label, char* err, size_t errlen) {
    const char* lab = label_or_default(label);
    const bool is_db = label_has(label, "database");
    const bool is_table = !is_db && label_has(label, "table");
    const bool is_path_name =
        is_db || is_table || label_has(label, "column") || label_has(label, "index");
    if (!is_path_name) return 0;
    bool bad = !name || !*name;
    if (!bad) {
        // These names become directory and file names and whole lines of the
        // metadata files, so anything that could escape a path component or
        // split a line is refused.
        for (const unsigned char* p = (const unsigned char*)name; *p && !bad; ++p) {
            unsigned char c = *p;
            if (c <= 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '"' || c == '\'' ||
                c == '`' || c == '@')
                bad = true;
        }
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) bad = true;
    }
    if (!bad && (is_db || is_table) && strstr(name, "__")) bad = true;
    if (!bad && is_db && name[strlen(name) - 1] == '_') bad = true;
    if (bad) {
        set_errf(err, errlen, "invalid %s", lab);
        return -1;
    }
    return 0;
}

int copy_ident_checked(char* dest, size_t capacity, const char* source, const char* label,
                       char* err, size_t errlen) {
    return copy_ident_impl(dest, capacity, source, label, true, err, errlen);
}

int copy_ident_stored(char* dest, size_t capacity, const char* source, const char* label, char* err,
                      size_t errlen) {
    return copy_ident_impl(dest, capacity, source, label, false, err, errlen);
}

const char* type_name(int type) {
    switch (type) {
    case COL_TYPE_INT: return "int";
    case COL_TYPE_DOUBLE: return "double";
    case COL_TYPE_STRING: return "string";
    case COL_TYPE_BOOL: return "bool";
    case COL_TYPE_TIMESTAMP: return "timestamp";
    default: return "unknown";
    }
}

int parse_type_name(const char* word) {
    if (!word) return COL_TYPE_UNKNOWN;
    if (!strcasecmp(word, "int") || !strcasecmp(word, "long") || !strcasecmp(word, "bigint"))
        return COL_TYPE_INT;
    if (!strcasecmp(word, "double") || !strcasecmp(word, "float")) return COL_TYPE_DOUBLE;
    if (!strcasecmp(word, "string") || !strcasecmp(word, "text") ||
        !strncasecmp(word, "varchar", 7))
        return COL_TYPE_STRING;
    if (!strcasecmp(word, "bool") || !strcasecmp(word, "boolean")) return COL_TYPE_BOOL;
    if (!strcasecmp(word, "timestamp") || !strcasecmp(word, "date")) return COL_TYPE_TIMESTAMP;
    return COL_TYPE_UNKNOWN;
}
