// The router's lists of administrator-only requests held against the
// server's own classification and authorisation, so the two cannot drift:
// every request the router keeps for its administrators is one the server
// keeps for its administrators, and every kind of request the server keeps
// for them is reached by one of the router's entries.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "query/session.h"
#include "router_guards.h"
#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"

namespace {

// The server's answer to a Job of that kind from a logged-in user. The user
// name is one no grant can be looked up for, so for a user that is not an
// administrator a kind decided by the user's role fails at the lookup ("role
// lookup failed"), while a kind kept for administrators is refused before it
// ("permission denied").
std::string server_answer(uint32_t kind, bool admin, bool local) {
    std::unique_ptr<Session> s(new Session());
    s->authenticated = 1;
    s->is_admin = admin ? 1 : 0;
    s->from_localhost = local ? 1 : 0;
    strcpy(s->username, "no@grant");
    Job* job = job_new(kind);
    char msg[256] = "";
    int rc = authorize_job(s.get(), job, msg, sizeof msg);
    job_free(job);
    return rc == 0 ? "allowed" : msg;
}

// Kind the server gives the request, 0 when it knows no such request.
uint32_t server_kind(const std::string& json) {
    const char* refusal = nullptr;
    Job* job = parse_request(json.c_str(), &refusal);
    if (job == nullptr) return 0;
    uint32_t kind = job->kind;
    job_free(job);
    return kind;
}

}  // namespace

TEST(RouterServerParity, AdministratorRequestsMatchTheServer) {
    std::set<uint32_t> admin_only, local_only;
    for (uint32_t kind = 1; kind < 256; kind++) {
        if (server_answer(kind, false, true) == "permission denied") admin_only.insert(kind);
        if (server_answer(kind, true, true) == "allowed" &&
            server_answer(kind, true, false) != "allowed")
            local_only.insert(kind);
    }
    ASSERT_FALSE(admin_only.empty());
    for (uint32_t k : local_only) EXPECT_TRUE(admin_only.count(k)) << "kind " << k;

    // Every router entry the server knows is kept for administrators there;
    // the router's management entries are at least as strict.
    std::set<uint32_t> reached;
    auto check = [&](const std::string& json, bool management, bool must_exist) {
        uint32_t kind = server_kind(json);
        if (kind == 0) {
            EXPECT_FALSE(must_exist) << json << ": unknown to the server";
            return;
        }
        reached.insert(kind);
        EXPECT_TRUE(admin_only.count(kind)) << json << ": the server lets other users run it";
        if (!management) {
            EXPECT_FALSE(local_only.count(kind)) << json << ": the server needs a local client";
        }
    };
    for (const char* a : kRouterReportActions)
        check(std::string(R"({"action":")") + a + "\"}", false, true);
    for (const char* a : kRouterManagementActions)
        check(std::string(R"({"action":")") + a + "\"}", true, false);
    for (const char* p : kRouterReportStatements)
        check(std::string(R"({"action":"sql","sql":")") + p + "\"}", false, true);
    for (const char* p : kRouterManagementStatements)
        check(std::string(R"({"action":"sql","sql":")") + p + "x\"}", true, true);

    // And every kind the server keeps for administrators is reached.
    for (uint32_t k : admin_only) EXPECT_TRUE(reached.count(k)) << "server kind " << k;
}
