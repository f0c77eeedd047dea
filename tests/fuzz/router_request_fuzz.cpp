// Fuzz target: the router's reading of a client request, as the request
// loop hands it over: a session that has not logged in, the permission
// classes of actions and statements, and the value and statement forms
// used by LOGIN, USE and CHANGE PASSWORD.
#include <string>

#include "fuzz_input.h"
#include "router_request.h"
#include "router_types.h"
#include "router_wire.h"
#if __has_include("router_json.h")
#include "router_json.h"  // the JSON readers, once they have a unit of their own
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string req = kyrel_fuzz::text(data, size);
    static RouterSession s;
    router_session_init(&s, -1);
    router_handle_request(&s, req.c_str());

    char action[128];
    if (json_extract_string(req.c_str(), "action", action, sizeof action) == 0)
        classify_json_action_required_role(action);
    std::string sql;
    if (json_extract_string_alloc(req.c_str(), "sql", 0, sql) == 0) {
        classify_sql_required_role(sql.c_str());
        router_canonical_value(sql);
        router_normalize_sql_ws(sql);
    }
    classify_sql_required_role(req.c_str());
    router_canonical_value(req);
    router_normalize_sql_ws(req);
    return 0;
}
