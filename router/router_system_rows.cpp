// Row changes of the server's system tables through the router (see
// router_system_rows.h).
#include "router_system_rows.h"

#include <cstring>
#include <strings.h>

#include "router_guards.h"
#include "router_json.h"
#include "router_request.h"
#include "router_wire.h"
#include "system_table_names.h"

namespace {

constexpr const char* kRefusal =
    "system table rows can be changed through router only by a router administrator from "
    "localhost";

bool is_quote(char c) { return c == '"' || c == '\'' || c == '`'; }

// A name with every blank, quote and ';' around it removed: at least what
// the backend's canonical form removes (blanks and ';', then one pair of
// quotes, then blanks again), so that no spelling the backend reads as a
// system table's name escapes the comparison.
std::string bare_name(const char* b, const char* e) {
    while (b < e && (static_cast<unsigned char>(*b) <= ' ' || *b == ';' || is_quote(*b))) b++;
    while (e > b && (static_cast<unsigned char>(e[-1]) <= ' ' || e[-1] == ';' || is_quote(e[-1])))
        e--;
    return std::string(b, static_cast<size_t>(e - b));
}

bool statement_changes_rows(const char* sql) {
    for (const char* kw : kRouterRowChangeKeywords) {
        const char* p = sql;
        if (router_keyword_at(p, kw)) return true;
    }
    return false;
}

bool action_changes_rows(const char* action) {
    for (const char* a : kRouterRowChangeActions)
        if (strcasecmp(action, a) == 0) return true;
    return false;
}

}  // namespace

std::string router_row_change_target(const char* sql) {
    const char* p = sql;
    if (router_keyword_at(p, "INSERT")) {
        if (!router_keyword_at(p, "INTO")) return std::string();
    } else if (router_keyword_at(p, "DELETE")) {
        if (!router_keyword_at(p, "FROM")) return std::string();
    } else if (!router_keyword_at(p, "UPDATE")) {
        return std::string();
    }
    while (*p && static_cast<unsigned char>(*p) <= ' ') p++;
    const char* b = p;
    if (is_quote(*p)) {
        // A quoted name runs to its closing quote, blanks included.
        const char* q = strchr(p + 1, *p);
        p = q ? q + 1 : p + strlen(p);
    } else {
        // Up to a blank, or the column list of an INSERT.
        while (*p && static_cast<unsigned char>(*p) > ' ' && *p != '(') p++;
    }
    return bare_name(b, p);
}

int router_changes_system_rows(const char* database, const char* action, const char* request,
                               const char* sql) {
    std::string carried;
    if (sql != nullptr) {
        if (!statement_changes_rows(sql)) return 0;
    } else {
        if (!action_changes_rows(action)) return 0;
        // An insert without a "table" member runs the statement it carries.
        std::string raw;
        int rc = json_extract_string_alloc(request, "sql", 0, raw);
        if (rc == -3) return 1;  // not read here, yet the backend may read it
        if (rc == 0) {
            carried = router_trim(router_normalize_sql_ws(raw));
            sql = carried.c_str();
        }
    }
    if (system_table_is_protected(database, nullptr)) return 1;
    char table[256];
    if (json_extract_string(request, "table", table, sizeof table) == 0 &&
        system_table_is_protected(database, bare_name(table, table + strlen(table)).c_str()))
        return 1;
    return sql != nullptr &&
                   system_table_is_protected(database, router_row_change_target(sql).c_str())
               ? 1
               : 0;
}

std::string router_system_rows_refusal(RouterSession* s, const char* action, const char* request,
                                       const char* sql) {
    if (!s->authenticated) return std::string();
    const char* db = s->current_database[0] ? s->current_database : "default";
    if (!router_changes_system_rows(db, action, request, sql)) return std::string();
    if (session_is_local_router_admin(s)) return std::string();
    return make_error_json(kRefusal);
}
