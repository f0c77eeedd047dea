// Row statements for a Session: resolution in the Session's database and the
// change road behind INSERT, UPDATE and DELETE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exec/row_statements.h"
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

}  // namespace
