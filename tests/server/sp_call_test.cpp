// CALL: argument binding, the interpreter's step objects and loop rules, and
// SQL run with the caller's rights.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exec/system_tables.h"
#include "procedures/sp_catalog.h"
#include "procedures/sp_interpreter.h"
#include "procedures/sp_statements.h"
#include "query/session.h"
#include "storage_fixture.h"

namespace {

class SpCall : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        char err[256] = "";
        ASSERT_EQ(system_bootstrap_security(err, sizeof err), 0) << err;
        create_table("t", "CREATE TABLE t (id int PRIMARY KEY, name varchar(32))");
        memset(&s_, 0, sizeof s_);
        s_.authenticated = 1;
        s_.is_admin = 1;
        snprintf(s_.username, sizeof s_.username, "admin");
    }
    void create(const char* proc, const char* body, const char* defs = "") {
        ProcParamDef params[16];
        int n = 0;
        char reply[4096], err[256] = "";
        ASSERT_EQ(sp_parse_param_defs_string(defs, params, &n, err, sizeof err), 0);
        ASSERT_EQ(sp_create_procedure(&s_, proc, "t", body, params, n, reply, sizeof reply, err,
                                      sizeof err),
                  0)
            << err;
    }
    std::string call(const char* sql) {
        char name[64], err[256] = "";
        ProcCallArgs args;
        if (parse_call_procedure_sql(sql, name, &args, err, sizeof err) != 0)
            return std::string("ERR: ") + err;
        char* out = nullptr;
        if (sp_call_procedure(&s_, name, &args, &out, err, sizeof err) != 0)
            return std::string("ERR: ") + err;
        std::string s = out;
        free(out);
        return s;
    }
    Session s_;
};

TEST_F(SpCall, SingleSelectAnswersLikeTheSelect) {
    insert("t", "1", "{\"id\":1,\"name\":\"a\"}");
    create("one", "SELECT * FROM t WHERE id = :k", "k:INT");
    std::string r = call("CALL one(1)");
    EXPECT_EQ(r.find("{\"ok\":true"), 0u) << r;
    EXPECT_NE(r.find("\"name\":\"a\""), std::string::npos) << r;
    EXPECT_EQ(r.find("\"results\""), std::string::npos) << r;
    EXPECT_EQ(call("CALL one()"), "ERR: CALL argument count mismatch: expected 1, got 0");
    EXPECT_EQ(call("CALL one('x')"), "ERR: bad INT argument for parameter 'k'");
    EXPECT_EQ(call("CALL nothere"), "ERR: procedure not found");
}

TEST_F(SpCall, LoopsBranchesAndCounters) {
    create("loop",
           "DECLARE i INT = 0;\n"
           "WHILE :i < 3 DO\n"
           "SET i = :i + 1;\n"
           "ENDWHILE\n"
           "IF :i = 3 THEN\n"
           "INSERT INTO t VALUES (:i, 'three');\n"
           "ELSE\n"
           "SET i = 0;\n"
           "ENDIF");
    std::string r = call("CALL loop");
    const char* kinds[] = {"DECLARE",  "WHILE", "SET", "ENDWHILE", "SET", "ENDWHILE", "SET",
                           "ENDWHILE", "IF",    "SQL", "ELSE",     "SET", "ENDIF"};
    size_t pos = 0;
    for (int i = 0; i < 13; ++i) {
        std::string want = "{\"index\":" + std::to_string(i + 1) + ",\"kind\":\"" + kinds[i] + "\"";
        size_t at = r.find(want, pos);
        ASSERT_NE(at, std::string::npos) << want << " in " << r;
        pos = at + 1;
    }
    EXPECT_NE(r.find("\"repeat\":false"), std::string::npos);
    EXPECT_NE(r.find("{\"index\":12,\"kind\":\"SET\",\"ok\":true,\"skipped\":true}"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("],\"statements_executed\":13,\"sql_statements_executed\":1,"
                     "\"loop_iterations\":3,\"last_result\":{\"ok\":true,\"inserted\":1}}"),
              std::string::npos)
        << r;
    EXPECT_NE(latest("t", "3"), "");
}

TEST_F(SpCall, FailuresAreWrappedAndEarlierWritesStay) {
    // Two steps per pass reach the step limit first; one step per pass the loop limit.
    create("forever", "DECLARE i INT;\nWHILE true DO\nSET i = :i + 1;\nENDWHILE");
    EXPECT_EQ(call("CALL forever"),
              "ERR: procedure statement 20000 failed: procedure execution step limit exceeded");
    create("spin", "WHILE true DO\nENDWHILE");
    EXPECT_EQ(call("CALL spin"),
              "ERR: procedure statement 10000 failed: procedure WHILE iteration limit exceeded");

    create("twice", "WHILE true DO\nDECLARE x INT;\nENDWHILE");
    EXPECT_EQ(call("CALL twice"),
              "ERR: procedure statement 4 failed: duplicate procedure variable or parameter 'x'");

    create("half", "INSERT INTO t VALUES (7, 'kept');\nDELETE FROM t WHERE name = 'kept'");
    EXPECT_EQ(call("CALL half"),
              "ERR: procedure statement 2 failed: DELETE supports primary-key equality only");
    EXPECT_NE(latest("t", "7"), "");
}

TEST_F(SpCall, RightsOfTheCaller) {
    char err[256] = "";
    create("ins", "INSERT INTO t VALUES (9, 'x')");
    create("sel", "SELECT * FROM t");
    ASSERT_EQ(system_create_user_record("reader", "pw", 0, 1, err, sizeof err), 0) << err;
    ASSERT_EQ(system_grant_role_record("reader", "default", "READ", err, sizeof err), 0) << err;
    ASSERT_EQ(system_create_user_record("writer", "pw", 0, 1, err, sizeof err), 0) << err;
    ASSERT_EQ(system_grant_role_record("writer", "default", "WRITE", err, sizeof err), 0) << err;
    s_.is_admin = 0;
    snprintf(s_.username, sizeof s_.username, "reader");
    EXPECT_EQ(call("CALL ins"),
              "ERR: procedure statement 1 failed: permission denied: procedure write statement "
              "requires WRITE or FULL on database default");
    EXPECT_EQ(call("CALL sel").find("{\"ok\":true"), 0u);
    snprintf(s_.username, sizeof s_.username, "writer");
    EXPECT_EQ(call("CALL sel"),
              "ERR: procedure statement 1 failed: permission denied: procedure SELECT requires "
              "READ or FULL on database default");
    EXPECT_EQ(call("CALL ins"), "{\"ok\":true,\"inserted\":1}");
}

}  // namespace
