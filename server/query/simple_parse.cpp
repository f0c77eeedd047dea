// Parsers of the short administrative statements. Each copies the statement
// into a fixed work buffer (a statement that does not fit is refused, never
// cut), normalises blanks and trims it, then reads its fixed form.
#include "query/simple_parse.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "base/sql_scan.h"
#include "base/text_util.h"
#include "query/parse_util.h"
#include "query/sql_split.h"
#include "storage/ident.h"
#include "storage/roles.h"
#include "storage/table.h"

namespace {

// Reads the next blank-separated word at *p; empty when none is left.
std::string next_word(const char** p) {
    const char* s = *p;
    while (*s && sql_is_blank(*s)) ++s;
    const char* b = s;
    while (*s && !sql_is_blank(*s)) ++s;
    *p = s;
    return std::string(b, static_cast<size_t>(s - b));
}

// Copies the text between one pair of matching quotes of t into out.
// 1 when t is quoted that way, 0 when not; -1 when the inner text does not fit.
int unquote_password(const std::string& t, char* out, size_t cap) {
    if (t.size() < 2 || !sql_is_quote(t[0]) || t.back() != t[0]) return 0;
    size_t n = t.size() - 2;
    if (!out || n >= cap) return -1;
    std::memcpy(out, t.data() + 1, n);
    out[n] = '\0';
    return 1;
}

// "LOGIN user IDENTIFIED BY 'password'" and the CREATE USER form: the
// keywords are matched in upper case exactly.
int parse_user_identified_by(const char* buf, const char* keyword, int login, char* user_out,
                             size_t user_cap, char* password_out, size_t password_cap,
                             const char* syntax_msg, char* err, size_t errlen) {
    size_t klen = std::strlen(keyword);
    if (std::strncmp(buf, keyword, klen) != 0 || !sql_is_blank(buf[klen]))
        return sql_fail(err, errlen, syntax_msg);
    const char* p = buf + klen;
    std::string user = next_word(&p);
    std::string w1 = next_word(&p);
    std::string w2 = next_word(&p);
    if (user.empty() || w1 != "IDENTIFIED" || w2 != "BY") return sql_fail(err, errlen, syntax_msg);
    std::string pass = sql_trimmed(p, p + std::strlen(p));
    if (pass.empty()) {
        if (login) return sql_fail(err, errlen, "missing password");
        return sql_fail(err, errlen, syntax_msg);
    }
    if (copy_ident_checked(user_out, user_cap, user.c_str(), "username", err, errlen) != 0)
        return -1;
    if (pass.size() > 257) return sql_fail(err, errlen, "password too long");
    int rc = unquote_password(pass, password_out, password_cap);
    if (rc == 0) return sql_fail(err, errlen, "password must be quoted");
    if (rc < 0) return sql_fail(err, errlen, "password too long");
    return 0;
}

int parse_database_statement(const char* sql, const char* prefix, const char* what,
                             const char* invalid_msg, char* name_out, size_t name_cap, char* err,
                             size_t errlen) {
    char buf[SIMPLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, what, err, errlen) != 0) return -1;
    if (!ci_starts(buf, prefix)) return sql_fail(err, errlen, invalid_msg);
    return copy_ident_checked(name_out, name_cap, buf + std::strlen(prefix), "database name", err,
                              errlen);
}

// Declared length of a varchar(N) type word; 2047 when absent or out of range.
int varchar_length(const std::string& word) {
    if (!ci_starts(word.c_str(), "varchar(")) return 2047;
    const char* open = word.c_str() + 8;
    const char* close = std::strchr(open, ')');
    if (!close || close == open) return 2047;
    long v = std::strtol(open, nullptr, 10);
    if (v < 1 || v > 2047) return 2047;
    return static_cast<int>(v);
}

}  // namespace

int parse_create_table_sql(const char* sql, TableSchema* schema, char* err, size_t errlen) {
    if (!schema) return sql_fail(err, errlen, "invalid CREATE TABLE");
    std::memset(schema, 0, sizeof *schema);
    char buf[CREATE_TABLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "CREATE TABLE", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "CREATE TABLE ")) return sql_fail(err, errlen, "invalid CREATE TABLE");
    char* open = std::strchr(buf, '(');
    char* close = std::strrchr(buf, ')');
    if (!open || !close || close < open) return sql_fail(err, errlen, "missing column list");
    // The list ends at the last ")": nothing may follow it, and inside it every
    // quote must close and every "(" pair up, else a cut-off definition such as
    // varchar(20 or DEFAULT 'x would be read as something else.
    if (!sql_trimmed(close + 1, buf + std::strlen(buf)).empty())
        return sql_fail(err, errlen, "unexpected text after CREATE TABLE column list");
    if (!sql_is_balanced(open + 1, close)) return sql_fail(err, errlen, "bad column definition");

    std::string tname(buf + 13, static_cast<size_t>(open - (buf + 13)));
    if (copy_ident_checked(schema->name, KYREL_IDENT_SIZE, tname.c_str(), "table name", err,
                           errlen) != 0)
        return -1;

    int pk_count = 0;
    const char* p = open + 1;
    while (p <= close) {
        const char* comma =
            static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(close - p)));
        const char* piece_end = comma ? comma : close;
        std::string piece = sql_trimmed(p, piece_end);
        p = piece_end + 1;
        if (piece.empty()) continue;
        if (schema->column_count == KYREL_MAX_COLUMNS)
            return sql_fail(err, errlen, "too many columns");

        const char* wp = piece.c_str();
        std::string name = next_word(&wp);
        std::string type = next_word(&wp);
        std::string third = next_word(&wp);
        if (name.empty() || type.empty()) return sql_fail(err, errlen, "bad column definition");
        // Column names are written unescaped into every row object, so they must
        // fit their buffer whole and obey the client name rules.
        if (name.size() >= sizeof schema->columns[0].name)
            return sql_fail(err, errlen, "column name too long");
        if (ident_check_client_name(name.c_str(), "column name", err, errlen) != 0) return -1;
        // Unique ignoring case: reads, ALTER TABLE and ORDER BY find columns
        // case-insensitively, so a and A could not be told apart.
        for (int i = 0; i < schema->column_count; ++i) {
            if (strcasecmp(name.c_str(), schema->columns[i].name) == 0) {
                set_errf(err, errlen, "duplicate column name '%s'", name.c_str());
                return -1;
            }
        }
        int t = type.size() > 127 ? 0 : parse_type_name(type.c_str());
        if (t == COL_TYPE_UNKNOWN) return sql_fail(err, errlen, "unsupported type");

        ColumnDef& col = schema->columns[schema->column_count];
        std::snprintf(col.name, sizeof col.name, "%s", name.c_str());
        col.type = t;
        col.max_length = t == COL_TYPE_STRING ? varchar_length(type) : 0;
        if (strcasecmp(third.c_str(), "PRIMARY") == 0) {
            if (++pk_count > 1)
                return sql_fail(err, errlen, "only one primary key column is allowed");
            col.is_primary_key = 1;
            std::snprintf(schema->primary_key, sizeof schema->primary_key, "%s", col.name);
        }
        schema->column_count++;
    }
    if (pk_count == 0) return sql_fail(err, errlen, "primary key required in v3 stage6");
    return 0;
}

int parse_create_database_sql(const char* sql, char* name_out, size_t name_cap, char* err,
                              size_t errlen) {
    return parse_database_statement(sql, "CREATE DATABASE ", "CREATE DATABASE",
                                    "invalid CREATE DATABASE", name_out, name_cap, err, errlen);
}

int parse_use_database_sql(const char* sql, char* name_out, size_t name_cap, char* err,
                           size_t errlen) {
    return parse_database_statement(sql, "USE ", "USE", "invalid USE", name_out, name_cap, err,
                                    errlen);
}

int parse_login_sql(const char* sql, char* user_out, size_t user_cap, char* password_out,
                    size_t password_cap, char* err, size_t errlen) {
    char buf[SIMPLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "LOGIN", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "LOGIN ")) return sql_fail(err, errlen, "invalid LOGIN");
    return parse_user_identified_by(buf, "LOGIN", 1, user_out, user_cap, password_out, password_cap,
                                    "LOGIN syntax: LOGIN user IDENTIFIED BY 'password'", err,
                                    errlen);
}

int parse_create_user_sql(const char* sql, char* user_out, size_t user_cap, char* password_out,
                          size_t password_cap, char* err, size_t errlen) {
    char buf[SIMPLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "CREATE USER", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "CREATE USER ")) return sql_fail(err, errlen, "invalid CREATE USER");
    const char* syntax = "CREATE USER syntax: CREATE USER user IDENTIFIED BY 'password'";
    if (std::strncmp(buf, "CREATE USER ", 12) != 0) return sql_fail(err, errlen, syntax);
    if (parse_user_identified_by(buf + 7, "USER", 0, user_out, user_cap, password_out, password_cap,
                                 syntax, err, errlen) != 0)
        return -1;
    // "@" joins user and database in grant keys; a user name holding it could
    // collide with another user's grant.
    if (std::strchr(user_out, '@')) return sql_fail(err, errlen, "invalid username");
    if (password_out[0] == '\0') return sql_fail(err, errlen, "missing password");
    return 0;
}

int parse_change_password_sql(const char* sql, char* password_out, size_t password_cap, char* err,
                              size_t errlen) {
    char buf[SIMPLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "CHANGE PASSWORD", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "CHANGE PASSWORD "))
        return sql_fail(err, errlen, "invalid CHANGE PASSWORD");
    const char* rest = buf + 16;
    if (std::strlen(rest) >= 256) return sql_fail(err, errlen, "password too long");
    std::string t = sql_trimmed(rest, rest + std::strlen(rest));
    if (ci_starts(t.c_str(), "TO ")) t = sql_trimmed(t.data() + 3, t.data() + t.size());
    std::string pass;
    if (!t.empty() && sql_is_quote(t[0])) {
        if (t.size() < 2 || t.back() != t[0])
            return sql_fail(err, errlen, "password quote is not closed");
        pass = t.substr(1, t.size() - 2);
        if (pass.empty()) return sql_fail(err, errlen, "missing new password");
    } else {
        if (t.empty()) return sql_fail(err, errlen, "missing new password");
        for (char c : t) {
            if (sql_is_blank(c))
                return sql_fail(err, errlen, "quote passwords that contain spaces");
        }
        pass = t;
    }
    if (!password_out || pass.size() >= password_cap)
        return sql_fail(err, errlen, "password too long");
    std::memcpy(password_out, pass.c_str(), pass.size() + 1);
    return 0;
}

int parse_grant_sql(const char* sql, char* role_out, size_t role_cap, char* db_out, size_t db_cap,
                    char* user_out, size_t user_cap, char* err, size_t errlen) {
    char buf[SIMPLE_SQL_MAX];
    if (sql_load_statement(sql, buf, sizeof buf, "GRANT", err, errlen) != 0) return -1;
    if (!ci_starts(buf, "GRANT ")) return sql_fail(err, errlen, "invalid GRANT");
    const char* syntax = "GRANT syntax: GRANT ROLE ON db TO user";
    const char* p = buf;
    std::string kw = next_word(&p);
    std::string role = next_word(&p);
    std::string on = next_word(&p);
    std::string db = next_word(&p);
    std::string to = next_word(&p);
    std::string user = next_word(&p);
    // Text after the user is refused: "TO bob, alice" must not grant "bob,".
    std::string extra = next_word(&p);
    if (kw != "GRANT" || role.empty() || on != "ON" || db.empty() || to != "TO" || user.empty() ||
        !extra.empty())
        return sql_fail(err, errlen, syntax);
    std::string bare_role = role;
    if (bare_role.size() >= 2 && sql_is_quote(bare_role[0]) && bare_role.back() == bare_role[0])
        bare_role = bare_role.substr(1, bare_role.size() - 2);
    if (parse_user_role_name(bare_role.c_str()) == ROLE_NONE)
        return sql_fail(err, errlen, "unknown role");
    if (copy_ident_checked(role_out, role_cap, role.c_str(), "role", err, errlen) != 0) return -1;
    if (copy_ident_checked(db_out, db_cap, db.c_str(), "database name", err, errlen) != 0)
        return -1;
    if (copy_ident_checked(user_out, user_cap, user.c_str(), "username", err, errlen) != 0)
        return -1;
    return 0;
}
