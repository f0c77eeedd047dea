// Shared statement-parser pieces (see parse_util.h).
#include "query/parse_util.h"

#include <cctype>
#include <cstring>

#include "base/sql_scan.h"
#include "base/text_util.h"

bool sql_is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int sql_load_statement(const char* sql, char* buf, size_t cap, const char* what, char* err,
                       size_t errlen) {
    if (!sql) sql = "";
    size_t len = std::strlen(sql);
    while (len > 0 && (sql_is_blank(sql[len - 1]) || sql[len - 1] == ';')) --len;
    if (len >= cap) {
        set_errf(err, errlen, "%s statement too long", what);
        return -1;
    }
    std::memcpy(buf, sql, len);
    buf[len] = '\0';
    normalize_sql_ws(buf);
    trim_ws(buf);
    return 0;
}

bool sql_is_plain_value_token(const std::string& v) {
    if (v.empty()) return false;
    for (unsigned char c : v) {
        if (std::isspace(c) || std::strchr("{}[]:,\"'", c)) return false;
    }
    return true;
}
