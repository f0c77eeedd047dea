// Row statements for a Session: resolution in the Session's database and the
// change road behind INSERT, UPDATE and DELETE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exec/row_statements.h"
#include "exec/session_scope.h"
#include "query/session.h"
#include "table_fixture.h"

namespace {

class RowStatementsTest : public TableFixture {
  protected:
    void SetUp() override {
        TableFixture::SetUp();
        t_ = make_table({{"id", COL_TYPE_INT, true}, {"v", COL_TYPE_STRING, false}}, &name_);
        ASSERT_NE(t_, nullptr);
    }
    // Runs one statement; the reply, or "error: <message>".
    template <typename Fn>
    std::string run(Fn fn, const std::string& sql) {
        char* out = nullptr;
        char e[256] = "";
        int rc = fn(&s_, sql.c_str(), &out, e, sizeof e);
        std::string r = rc == 0 && out ? std::string(out) : "error: " + std::string(e);
        free(out);
        return r;
    }
    std::string sel(const std::string& sql) { return run(exec_select_sql, sql); }
    std::string ins(const std::string& sql) { return run(exec_insert_sql, sql); }
    std::string upd(const std::string& sql) { return run(exec_update_sql, sql); }
    std::string del(const std::string& sql) { return run(exec_delete_sql, sql); }

    Session s_{};
    Table* t_ = nullptr;
    std::string name_;
};

TEST_F(RowStatementsTest, StatementsChangeAndReadTheirTable) {
    EXPECT_EQ(ins("INSERT INTO " + name_ + " VALUES (1, 'a'), (2, 'b')"),
              "{\"ok\":true,\"inserted\":2}");
    EXPECT_EQ(upd("UPDATE " + name_ + " SET v = 'c' WHERE id = 2"), "{\"ok\":true,\"updated\":1}");
    EXPECT_EQ(del("DELETE FROM " + name_ + " WHERE id = 1"), "{\"ok\":true,\"deleted\":1}");
    EXPECT_EQ(sel("SELECT * FROM " + name_),
              "{\"ok\":true,\"table\":\"" + name_ + "\",\"rows\":[{\"id\":2,\"v\":\"c\"}]}");
}

// One rule for every written table name: it reaches a table of the Session's
// database or nothing.
TEST_F(RowStatementsTest, WrittenNamesResolveInTheSessionDatabaseOnly) {
    TableSchema other{};
    snprintf(other.name, sizeof other.name, "sales__secret");
    other.column_count = 1;
    snprintf(other.columns[0].name, sizeof other.columns[0].name, "id");
    other.columns[0].type = COL_TYPE_INT;
    other.columns[0].is_primary_key = 1;
    snprintf(other.primary_key, sizeof other.primary_key, "id");
    ASSERT_EQ(table_create("sales__secret", &other, err_, sizeof err_), 0) << err_;
    snprintf(other.name, sizeof other.name, "kyreldb_users");
    ASSERT_EQ(table_create("kyreldb_users", &other, err_, sizeof err_), 0) << err_;
    struct Case {
        std::string name;
        TableUse use;
        const char* message;  // nullptr: resolves
    } cases[] = {
        {name_, TableUse::Change, nullptr},
        {"  '" + name_ + "' ", TableUse::Read, nullptr},
        {"sales__secret", TableUse::Read, "invalid table name"},
        {"config_db__kyreldb_users", TableUse::Read, "invalid table name"},
        {"secret", TableUse::Read, "table not found"},
        {"kyreldb_users", TableUse::Read, nullptr},
        {"kyreldb_users", TableUse::Change, "cannot change system table"},
        {"", TableUse::Read, "invalid table name"},
        {"a/b", TableUse::Read, "invalid table name"},
    };
    for (const Case& c : cases) {
        SessionTable st;
        char e[128] = "";
        int rc = session_table_resolve(&s_, c.name.c_str(), c.use, &st, e, sizeof e);
        if (!c.message) {
            EXPECT_EQ(rc, 0) << c.name << ": " << e;
            EXPECT_NE(st.table, nullptr) << c.name;
        } else {
            EXPECT_EQ(rc, -1) << c.name;
            EXPECT_STREQ(e, c.message) << c.name;
        }
    }
    // Row changes to a system table: the administrator on a local connection
    // only.
    struct Who {
        uint32_t admin, local;
        bool allowed;
    } whos[] = {{1, 1, true}, {1, 0, false}, {0, 1, false}};
    for (const Who& w : whos) {
        Session s = s_;
        s.authenticated = 1;
        s.is_admin = w.admin;
        s.from_localhost = w.local;
        SessionTable st;
        char e[128] = "";
        int rc = session_table_resolve(&s, "kyreldb_users", TableUse::Change, &st, e, sizeof e);
        EXPECT_EQ(rc, w.allowed ? 0 : -1) << w.admin << w.local << ": " << e;
        if (!w.allowed) {
            EXPECT_STREQ(e, "cannot change system table");
        }
    }
    // In another database the plain name reaches that database's table.
    snprintf(s_.current_database, sizeof s_.current_database, "Sales");
    SessionTable st;
    char e[128] = "";
    ASSERT_EQ(session_table_resolve(&s_, "SECRET", TableUse::Read, &st, e, sizeof e), 0) << e;
    EXPECT_STREQ(st.internal, "Sales__SECRET");
    EXPECT_EQ(st.table, &g_tables.slots[table_find_index("sales__secret")]);
}

}  // namespace
