// The order of the authorisation tests: which check decides first for a
// Session state, without a server (role lookups are covered over the wire).
#include <gtest/gtest.h>

#include <string>

#include "exec/session_scope.h"
#include "query/session.h"
#include "runtime/authorize.h"
#include "runtime/classify.h"
#include "runtime/job_queue.h"

namespace {

struct State {
    bool authenticated, must_change, admin, local;
};

std::string decide(const State& st, uint32_t kind) {
    Session s{};
    s.authenticated = st.authenticated;
    s.must_change_password = st.must_change;
    s.is_admin = st.admin;
    s.from_localhost = st.local;
    snprintf(s.username, sizeof s.username, "%s", st.admin ? "admin" : "u");
    Job* job = job_new(kind);
    char msg[256] = {0};
    int rc = authorize_job(&s, job, msg, sizeof msg);
    job_free(job);
    return rc == 0 ? "allowed" : msg;
}

TEST(Authorize, OrderOfChecks) {
    const State anon{false, false, false, true};
    const State must_change_admin{true, true, true, false};
    const State remote_admin{true, false, true, false};
    const State local_admin{true, false, true, true};
    const State remote_user{true, false, false, false};
    struct Case {
        State st;
        uint32_t kind;
        const char* expected;
    };
    const Case cases[] = {
        {anon, JOB_PING, "allowed"},
        {anon, JOB_LOGIN, "allowed"},
        {anon, JOB_SHOW_DATABASES, "authentication required"},
        {anon, JOB_CHANGE_PASSWORD, "authentication required"},
        {must_change_admin, JOB_CREATE_USER, "password must be changed before using KyrelDB"},
        {must_change_admin, JOB_SHOW_DATABASES, "password must be changed before using KyrelDB"},
        {must_change_admin, JOB_CHANGE_PASSWORD, "allowed"},
        {must_change_admin, JOB_LOGIN, "allowed"},
        {remote_admin, JOB_CREATE_USER, "user management is allowed only from localhost"},
        {remote_admin, JOB_GRANT_ROLE, "user management is allowed only from localhost"},
        {remote_admin, JOB_CREATE_TABLE, "allowed"},
        {remote_admin, JOB_SHOW_STATS, "allowed"},
        {local_admin, JOB_GRANT_ROLE, "allowed"},
        {remote_user, JOB_CREATE_USER, "permission denied"},
        {remote_user, JOB_SHOW_STATS, "permission denied"},
        {remote_user, JOB_CREATE_DATABASE, "permission denied"},
        {remote_user, JOB_SHOW_DATABASES, "allowed"},
        {remote_admin, JOB_USE_DATABASE, "missing payload"},
    };
    for (const Case& c : cases) EXPECT_EQ(decide(c.st, c.kind), c.expected) << "kind " << c.kind;

    char msg[256];
    EXPECT_EQ(authorize_job(nullptr, nullptr, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "invalid request");
    UserRole role = ROLE_FULL;
    EXPECT_EQ(session_db_role(nullptr, "default", &role, msg, sizeof msg), -1);
    EXPECT_EQ(role, ROLE_NONE);
    EXPECT_STREQ(msg, "not authenticated");
}

}  // namespace
