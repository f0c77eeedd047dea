// Users and grants as config_db rows: bootstrap, stored row texts, login,
// password change and grant replacement, including a restart from the logs.
#include <gtest/gtest.h>

#include <string>

#include "exec/system_tables.h"
#include "query/session.h"
#include "runtime/login.h"
#include "storage/roles.h"
#include "storage_fixture.h"

namespace {

class SystemTables : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        char err[256] = {0};
        ASSERT_EQ(system_bootstrap_security(err, sizeof err), 0) << err;
    }
    std::string users() {
        char t[130];
        make_users_internal_table(t, sizeof t);
        return t;
    }
    std::string roles() {
        char t[130];
        make_roles_internal_table(t, sizeof t);
        return t;
    }
};

TEST_F(SystemTables, BootstrapCreatesTablesAndDefaultAdministrator) {
    char procs[130];
    make_procedures_internal_table(procs, sizeof procs);
    EXPECT_GE(table_find_index(users().c_str()), 0);
    EXPECT_GE(table_find_index(roles().c_str()), 0);
    EXPECT_GE(table_find_index(procs), 0);
    std::string row = latest(users().c_str(), "admin");
    EXPECT_NE(row.find("\"password_hash\":\"0074672ada74c383194b6d771dd9d5b2\""), std::string::npos)
        << row;
    EXPECT_NE(row.find("\"must_change_password\":true,\"active\":true"), std::string::npos);

    // A second bootstrap (the next start) adds nothing.
    int before = g_tables.count;
    char err[256] = {0};
    ASSERT_EQ(system_bootstrap_security(err, sizeof err), 0) << err;
    EXPECT_EQ(g_tables.count, before);

    // Tables and user come back from the logs.
    kt::restart();
    ASSERT_EQ(system_bootstrap_security(err, sizeof err), 0) << err;
    EXPECT_EQ(g_tables.count, before);
    EXPECT_NE(latest(users().c_str(), "admin"), "");
}

TEST_F(SystemTables, RowTexts) {
    char* row = nullptr;
    char err[256] = {0};
    ASSERT_EQ(build_user_row_json("a\"b", "h", 0, 1, 7, 0, &row, err, sizeof err), 0);
    EXPECT_STREQ(row,
                 "{\"username\":\"a\\\"b\",\"password_hash\":\"h\",\"must_change_password\":false,"
                 "\"active\":true,\"created_at\":7,\"last_login_at\":0}");
    free(row);
    ASSERT_EQ(build_role_row_json("u@d", "u", "d", "READ", &row, err, sizeof err), 0);
    EXPECT_STREQ(row,
                 "{\"grant_key\":\"u@d\",\"username\":\"u\",\"database_name\":\"d\",\"role\":"
                 "\"READ\"}");
    free(row);
}

TEST_F(SystemTables, LoginAndPasswordChange) {
    Session s{};
    char warn[256], err[256] = {0};
    ASSERT_EQ(system_authenticate(&s, "admin", "lumen406", warn, sizeof warn, err, sizeof err), 0)
        << err;
    EXPECT_EQ(s.authenticated, 1u);
    EXPECT_EQ(s.must_change_password, 1u);
    EXPECT_EQ(s.is_admin, 1u);
    EXPECT_STREQ(warn, PASSWORD_CHANGE_WARNING);
    EXPECT_EQ(latest(users().c_str(), "admin").find("\"last_login_at\":0"), std::string::npos);

    EXPECT_EQ(system_change_password(&s, "", err, sizeof err), -1);
    EXPECT_STREQ(err, "new password cannot be empty");
    // The default password kept as the "new" one: refused, and the row still
    // asks for a change.
    EXPECT_EQ(system_change_password(&s, "lumen406", err, sizeof err), -1);
    EXPECT_STREQ(err, "new password must differ from the current password");
    EXPECT_EQ(s.must_change_password, 1u);
    EXPECT_NE(latest(users().c_str(), "admin").find("\"must_change_password\":true"),
              std::string::npos);
    ASSERT_EQ(system_change_password(&s, "n3w", err, sizeof err), 0) << err;
    EXPECT_EQ(s.must_change_password, 0u);

    Session t{};
    EXPECT_EQ(system_authenticate(&t, "admin", "lumen406", nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid username or password");
    EXPECT_EQ(system_authenticate(&t, "ADMIN", "n3w", nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid username or password");
    ASSERT_EQ(system_authenticate(&t, "admin", "n3w", warn, sizeof warn, err, sizeof err), 0);
    EXPECT_EQ(t.must_change_password, 0u);
    EXPECT_STREQ(warn, "");

    Session none{};
    EXPECT_EQ(system_change_password(&none, "x", err, sizeof err), -1);
    EXPECT_STREQ(err, "not authenticated");

    // The change survives a restart.
    kt::restart();
    ASSERT_EQ(system_authenticate(nullptr, "admin", "n3w", nullptr, 0, err, sizeof err), 0) << err;
}

TEST_F(SystemTables, InactiveUserIsRefusedBeforeThePasswordIsChecked) {
    char err[256] = {0};
    ASSERT_EQ(system_create_user_record("bob", "pw", 0, 0, err, sizeof err), 0) << err;
    EXPECT_EQ(system_authenticate(nullptr, "bob", "wrong", nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "user is inactive");
    EXPECT_EQ(system_create_user_record("bob", "pw", 0, 1, err, sizeof err), -1);
    EXPECT_STREQ(err, "user already exists");
}

TEST_F(SystemTables, SecondGrantReplacesTheFirst) {
    char err[256] = {0};
    ASSERT_EQ(database_create("Sales", err, sizeof err), 0) << err;
    ASSERT_EQ(system_create_user_record("alice", "pw", 0, 1, err, sizeof err), 0) << err;
    ASSERT_EQ(system_grant_role_record("alice", "Sales", "WRITE", err, sizeof err), 0) << err;
    ASSERT_EQ(system_grant_role_record("alice", "Sales", "READ", err, sizeof err), 0) << err;
    Table* t = table(roles().c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->pk_map.entry_count, 1u);
    EXPECT_NE(latest(roles().c_str(), "alice@Sales").find("\"role\":\"READ\""), std::string::npos);
    // The lookup finds the grant whatever spelling of the database is used.
    UserRole r = ROLE_NONE;
    ASSERT_EQ(role_lookup(&r, "alice", "sales"), 0);
    EXPECT_EQ(r, ROLE_READ);
}

}  // namespace
