// Fuzz target: a request frame's body as the connection loop handles it
// before any handler runs: the UTF-8 and escape checks, classification into
// a Job, authorisation against a fresh and a logged-in Session, and the
// member readers every handler uses.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json_text.h"
#include "base/text_util.h"
#include "fuzz_input.h"
#include "query/session.h"
#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"
#include "runtime/request_members.h"

namespace {

// Every member some handler reads, with the cap and identifier rule it uses.
const struct {
    const char* key;
    size_t cap;
    bool ident;
} kMembers[] = {
    {"sql", 8192, false},     {"sql", 0, false},
    {"table", 64, true},      {"table", 130, true},
    {"database", 64, true},   {"username", 64, false},
    {"password", 256, false}, {"new_password", 256, false},
    {"role", 16, false},      {"index", 64, true},
    {"procedure", 64, true},  {"body", 1024, false},
    {"params", 2048, false},  {"param_defs", 2048, false},
    {"args", 4096, false},    {"arguments", 4096, false},
};

void read_members(const char* payload) {
    char msg[256];
    std::string out;
    for (const auto& m : kMembers)
        member_text(payload, m.key, m.cap, m.ident, &out, msg, sizeof msg);
    member_sql(payload, 8192, &out, msg, sizeof msg);
    long long n = 0;
    int small = 0;
    for (const char* key :
         {"cursor_id", "fetch", "fetch_size", "batch_size", "pin_token", "token"}) {
        json_extract_ll(payload, key, &n);
        json_extract_int(payload, key, &small);
    }
    char* raw = nullptr;
    for (const char* key : {"data", "columns", "rows", "args"}) {
        if (json_extract_object_raw(payload, key, &raw) == 0) free(raw);
        if (json_extract_raw(payload, key, &raw) == 0) free(raw);
        char** items = nullptr;
        int count = 0;
        if (json_extract_array_objects_raw(payload, key, &items, &count) == 0)
            free_string_array(items, count);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body = kyrel_fuzz::text(data, size);
    size_t bad_at = 0;
    if (!utf8_valid(body.data(), body.size(), &bad_at) ||
        !json_surrogates_paired(body.data(), body.size(), &bad_at))
        return 0;  // refused before classification

    Job* job = parse_request(body.c_str());
    if (!job) return 0;
    Session anonymous{};
    strcpy(anonymous.current_database, "default");
    Session user = anonymous;
    user.authenticated = 1;
    user.from_localhost = 1;
    strcpy(user.username, "fuzz");
    char msg[256];
    for (Session* s : {&anonymous, &user}) {
        job->session = s;
        authorize_job(s, job, msg, sizeof msg);
        char target[64];
        use_target_database(job, target, sizeof target, msg, sizeof msg);
    }
    if (job->payload) read_members(job->payload);
    job_free(job);
    return 0;
}
