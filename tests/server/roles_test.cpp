// Roles, peer addresses, the password hash, grant keys and role lookup.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/peer_address.h"
#include "storage/roles.h"
#include "storage/row_changes.h"
#include "table_fixture.h"

namespace {

std::string hash(const char* u, const char* p) {
    char out[33];
    hash_password_string(u, p, out, sizeof out);
    return out;
}

TEST(PasswordHash, KnownValueAndInputsThatMustDiffer) {
    EXPECT_EQ(hash("admin", "lumen406"), "0074672ada74c383194b6d771dd9d5b2");
    EXPECT_NE(hash("admin", ""), hash("", "admin"));
    EXPECT_EQ(hash(nullptr, nullptr), hash("", ""));
    EXPECT_NE(hash("alice", "pw"), hash("bob", "pw"));
    for (const char* u : {"", "a", "admin", "someone-with-a-long-name"})
        EXPECT_EQ(hash(u, "x").size(), 32u) << u;
}

TEST(Roles, WordsAddressesAndRawFlags) {
    struct {
        const char* word;
        UserRole role;
    } words[] = {{"READ", ROLE_READ}, {"write", ROLE_WRITE}, {"Full", ROLE_FULL},
                 {"NONE", ROLE_NONE}, {"ADMIN", ROLE_NONE},  {nullptr, ROLE_NONE}};
    for (auto& w : words)
        EXPECT_EQ(parse_user_role_name(w.word), w.role) << (w.word ? w.word : "NULL");

    struct {
        const char* addr;
        int local;
    } addrs[] = {{"127.0.0.1", 1}, {"::1", 1},       {"::ffff:127.0.0.1", 1},
                 {"127.0.0.2", 0}, {"localhost", 0}, {"::ffff:127.0.0.1 ", 0},
                 {nullptr, 0}};
    for (auto& a : addrs) EXPECT_EQ(is_localhost_ip(a.addr), a.local) << (a.addr ? a.addr : "NULL");

    struct {
        const char* raw;
        int truth;
    } flags[] = {{"TRUE", 1}, {"true", 1},     {" 1", 1},    {"1}", 1},   {"1,", 1},
                 {"10", 0},   {"\"true\"", 0}, {"false", 0}, {nullptr, 0}};
    for (auto& f : flags) EXPECT_EQ(json_raw_is_true(f.raw), f.truth) << (f.raw ? f.raw : "NULL");
}

TEST(Roles, RowFieldReaders) {
    const char* row = "{\"username\":\"a\\\"b\",\"active\":true,\"n\":1}";
    char out[64];
    ASSERT_EQ(json_row_string_field(row, "username", out, sizeof out), 0);
    EXPECT_STREQ(out, "a\"b");
    EXPECT_EQ(json_row_string_field(row, "missing", out, sizeof out), -1);
    char small[3];
    ASSERT_EQ(json_row_string_field("{\"k\":\"abcdef\"}", "k", small, sizeof small), 0);
    EXPECT_STREQ(small, "ab");
    int flag = -1;
    ASSERT_EQ(json_row_bool_field(row, "active", &flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(json_row_bool_field(row, "gone", &flag), -1);
}

TEST(Roles, PeerAddressOfSockets) {
    char out[64];
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(peer_ip_string(sv[0], out, sizeof out), 0);
    EXPECT_STREQ(out, "unknown");
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(peer_ip_string(-1, out, sizeof out), -1);
    EXPECT_STREQ(out, "");

    int srv = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(srv, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(srv, 1), 0);
    ASSERT_EQ(getsockname(srv, reinterpret_cast<sockaddr*>(&a), &len), 0);
    int cli = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(cli, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int acc = accept(srv, nullptr, nullptr);
    ASSERT_GE(acc, 0);
    EXPECT_EQ(peer_ip_string(acc, out, sizeof out), 0);
    EXPECT_STREQ(out, "127.0.0.1");
    close(acc);
    close(cli);
    close(srv);
}

class RoleLookupTest : public TableFixture {
  protected:
    void SetUp() override {
        TableFixture::SetUp();
        ASSERT_EQ(database_create_if_missing("Sales", err_, sizeof err_), 0) << err_;
        char name[KYREL_INTERNAL_NAME_SIZE];
        make_roles_internal_table(name, sizeof name);
        roles_ = name;
        if (table_find_index(name) < 0) {
            TableSchema s{};
            const char* cols[] = {"grant_key", "username", "database_name", "role"};
            for (const char* c : cols) {
                ColumnDef& d = s.columns[s.column_count++];
                snprintf(d.name, sizeof d.name, "%s", c);
                d.type = COL_TYPE_STRING;
            }
            s.columns[0].is_primary_key = 1;
            snprintf(s.primary_key, sizeof s.primary_key, "grant_key");
            ASSERT_EQ(table_create(name, &s, err_, sizeof err_), 0) << err_;
        }
    }
    void grant(uint64_t seq, const char* user, const char* db, const char* role) {
        char key[256];
        ASSERT_EQ(make_grant_key(user, db, key, sizeof key, err_, sizeof err_), 0) << err_;
        std::string row = std::string("{\"grant_key\":\"") + key + "\",\"username\":\"" + user +
                          "\",\"database_name\":\"" + db + "\",\"role\":\"" + role + "\"}";
        ASSERT_EQ(table_apply_insert(roles_.c_str(), seq, row.c_str(), err_, sizeof err_), 0)
            << err_;
    }
    UserRole lookup(const char* user, const char* db) {
        UserRole r = ROLE_FULL;
        EXPECT_EQ(role_lookup(&r, user, db), 0);
        return r;
    }
    std::string roles_;
};

TEST_F(RoleLookupTest, GrantKeysUseTheRegisteredSpelling) {
    char key[256];
    ASSERT_EQ(make_grant_key("alice", "SALES", key, sizeof key, err_, sizeof err_), 0);
    EXPECT_STREQ(key, "alice@Sales");
    ASSERT_EQ(make_grant_key("alice", "unregistered", key, sizeof key, err_, sizeof err_), 0);
    EXPECT_STREQ(key, "alice@unregistered");
    EXPECT_EQ(make_grant_key("a@b", "Sales", key, sizeof key, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "invalid grant");
    EXPECT_EQ(make_grant_key(nullptr, "Sales", key, sizeof key, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "invalid grant");
    char small[8];
    EXPECT_EQ(make_grant_key("alice", "Sales", small, sizeof small, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "grant key too long");
}

TEST_F(RoleLookupTest, RoleOfUserOnDatabase) {
    grant(1, "alice", "sales", "write");  // stored under the registered spelling
    grant(2, "bob", "Sales", "ADMIN");
    grant(3, "carol", "Sales", "FULL");
    EXPECT_EQ(lookup("alice", "SALES"), ROLE_WRITE);
    EXPECT_EQ(lookup("alice", "Sales"), ROLE_WRITE);
    EXPECT_EQ(lookup("bob", "Sales"), ROLE_NONE);
    EXPECT_EQ(lookup("nobody", "Sales"), ROLE_NONE);
    EXPECT_EQ(lookup("Alice", "Sales"), ROLE_NONE);  // user names are exact
    EXPECT_EQ(lookup("carol", "Sales"), ROLE_FULL);
    ASSERT_EQ(table_apply_delete(roles_.c_str(), 4, "carol@Sales", err_, sizeof err_), 0);
    EXPECT_EQ(lookup("carol", "Sales"), ROLE_NONE);
    UserRole r = ROLE_FULL;
    EXPECT_EQ(role_lookup(&r, "x@y", "Sales"), -1);
    EXPECT_EQ(r, ROLE_NONE);
}

TEST_F(RoleLookupTest, UserRowLookup) {
    char* json = nullptr;
    int deleted = 0;
    EXPECT_EQ(user_lookup_row("admin", &json, &deleted, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "table not found");
    EXPECT_EQ(table_get_latest_row_by_key(roles_.c_str(), "nobody@Sales", &json, &deleted, err_,
                                          sizeof err_),
              -1);
    EXPECT_STREQ(err_, "row not found");
    grant(1, "dave", "Sales", "READ");
    ASSERT_EQ(table_get_latest_row_by_key(roles_.c_str(), "dave@Sales", &json, &deleted, err_,
                                          sizeof err_),
              0);
    EXPECT_NE(std::string(json).find("\"role\":\"READ\""), std::string::npos);
    EXPECT_EQ(deleted, 0);
    free(json);
}

}  // namespace
