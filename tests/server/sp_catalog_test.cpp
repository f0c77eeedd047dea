// Procedure files and catalog rows: create writes the file and the row, SHOW
// reports each row's integrity, the CALL load verifies path and digest, drop
// removes both; rows survive a restart through the log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "exec/system_tables.h"
#include "procedures/sp_catalog.h"
#include "procedures/sp_statements.h"
#include "query/session.h"
#include "storage/roles.h"
#include "storage_fixture.h"

namespace {

class SpCatalog : public kt::StorageTest {
  protected:
    void SetUp() override {
        kt::StorageTest::SetUp();
        char err[256] = "";
        ASSERT_EQ(system_bootstrap_security(err, sizeof err), 0) << err;
        create_table("t", "CREATE TABLE t (id int PRIMARY KEY, name varchar(32))");
        create_table("u", "CREATE TABLE u (id int PRIMARY KEY)");
        memset(&s_, 0, sizeof s_);
        s_.authenticated = 1;
        snprintf(s_.username, sizeof s_.username, "alice");
    }
    int create(const char* proc, const char* table, const char* body, const char* defs = "") {
        ProcParamDef params[16];
        int n = 0;
        EXPECT_EQ(sp_parse_param_defs_string(defs, params, &n, err_, sizeof err_), 0);
        err_[0] = '\0';
        return sp_create_procedure(&s_, proc, table, body, params, n, reply_, sizeof reply_, err_,
                                   sizeof err_);
    }
    std::string show(const char* filter = "") {
        char* out = nullptr;
        if (build_show_procedures_json("default", filter, &out, err_, sizeof err_) != 0)
            return std::string("ERR: ") + err_;
        std::string s = out;
        free(out);
        return s;
    }
    std::string load(const char* proc) {
        char* body = nullptr;
        char table[64];
        ProcParamDef params[16];
        int n = 0;
        if (sp_load_procedure_body_checked(&s_, proc, &body, table, params, &n, err_,
                                           sizeof err_) != 0)
            return std::string("ERR: ") + err_;
        std::string s = body;
        free(body);
        return s;
    }
    std::string procs() {
        char t[130];
        make_procedures_internal_table(t, sizeof t);
        return t;
    }
    const std::string path_ = "./kyreldb_data/databases/default/procedures/alice.default.t.p.sp";
    Session s_;
    char reply_[4096] = "";
    char err_[256] = "";
};

TEST_F(SpCatalog, CreateWritesFileAndRowThenDropRemovesBoth) {
    const char* body = "SELECT * FROM t WHERE id = :a";
    ASSERT_EQ(create("p", "t", body, "a:INT"), 0) << err_;
    EXPECT_EQ(kt::read_file(path_), body);
    char hex[65];
    sp_sha256_hex_buf(body, strlen(body), hex);
    EXPECT_EQ(
        std::string(reply_),
        std::string("{\"ok\":true,\"message\":\"procedure created\",\"database\":\"default\","
                    "\"table\":\"t\",\"procedure\":\"p\",\"params\":\"a:INT\",\"file_path\":\"") +
            path_ + "\",\"sha256\":\"" + hex + "\"}");
    std::string row = latest(procs().c_str(), "default.p");
    EXPECT_NE(row.find("\"owner_user\":\"alice\""), std::string::npos) << row;
    EXPECT_NE(row.find("\"param_defs\":\"a:INT\""), std::string::npos) << row;
    EXPECT_EQ(load("p"), body);

    // Names are unique per database, in any spelling.
    EXPECT_EQ(create("p", "u", "SELECT * FROM u"), -1);
    EXPECT_STREQ(err_, "procedure already exists in this database");
    EXPECT_EQ(create("P", "t", "SELECT * FROM t"), -1);
    EXPECT_STREQ(err_, "procedure already exists in this database");

    // The row comes back from the log after a restart.
    kt::restart();
    EXPECT_EQ(load("P"), body);

    char name_only[512];
    EXPECT_EQ(sp_drop_procedure(&s_, "p", "u", reply_, sizeof reply_, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "procedure exists on a different table");
    ASSERT_EQ(sp_drop_procedure(&s_, "p", "t", name_only, sizeof name_only, err_, sizeof err_), 0)
        << err_;
    EXPECT_STREQ(name_only,
                 "{\"ok\":true,\"message\":\"procedure dropped\",\"database\":\"default\","
                 "\"procedure\":\"p\"}");
    EXPECT_FALSE(kt::file_exists(path_));
    EXPECT_EQ(load("p"), "ERR: procedure not found");
    EXPECT_EQ(sp_drop_procedure(&s_, "p", "", reply_, sizeof reply_, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "procedure not found");
}

TEST_F(SpCatalog, CreateRefusals) {
    struct Row {
        const char* user;
        const char* proc;
        const char* table;
        const char* body;
        const char* err;
    } rows[] = {
        {"bad.user", "p", "t", "SELECT * FROM t",
         "username must contain only A-Z, a-z, 0-9 and underscore, and must not start with a "
         "digit"},
        {"alice", "../x", "t", "SELECT * FROM t",
         "procedure name must contain only A-Z, a-z, 0-9 and underscore, and must not start "
         "with a digit"},
        {"alice", "p", "missing", "SELECT * FROM t", "procedure table scope not found"},
        {"alice", "p", "t", "GRANT x", nullptr},
        {"alice", "p", "t", "SELECT :nope", "unknown procedure variable or parameter :nope"},
        // Bodies that name another database's table, which CALL would refuse.
        {"alice", "p", "t", "SELECT * FROM other__t", "invalid table name"},
        {"alice", "p", "t", "SELECT * FROM t JOIN config_db__kyreldb_users u ON t.id = u.id",
         "invalid table name"},
        {"alice", "p", "t",
         "IF 1 = 2 THEN\nDELETE FROM config_db__kyreldb_users WHERE x = 1;\nENDIF",
         "invalid table name"},
    };
    for (const Row& r : rows) {
        snprintf(s_.username, sizeof s_.username, "%s", r.user);
        EXPECT_EQ(create(r.proc, r.table, r.body), -1) << r.proc;
        if (r.err) {
            EXPECT_STREQ(err_, r.err);
        }
    }
    EXPECT_EQ(show(), "{\"ok\":true,\"database\":\"default\",\"procedures\":[]}");
    s_.authenticated = 0;
    EXPECT_EQ(create("p", "t", "SELECT * FROM t"), -1);
    EXPECT_STREQ(err_, "authentication required");

    // An orphan file at the target path blocks the create and is left alone.
    s_.authenticated = 1;
    snprintf(s_.username, sizeof s_.username, "alice");
    mkdir("./kyreldb_data/databases/default/procedures", 0755);
    kt::write_file(path_, "orphan");
    EXPECT_EQ(create("p", "t", "SELECT * FROM t"), -1);
    EXPECT_STREQ(err_, "procedure file already exists");
    EXPECT_EQ(kt::read_file(path_), "orphan");
}

TEST_F(SpCatalog, TamperedFilesAreReportedAndRefused) {
    ASSERT_EQ(create("p", "t", "SELECT * FROM t"), 0) << err_;
    std::string listing = show();
    EXPECT_NE(listing.find("\"name\":\"p\",\"table\":\"t\",\"owner\":\"alice\",\"params\":\"\""),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("\"enabled\":true,\"valid\":true,\"status\":\"OK\""), std::string::npos)
        << listing;
    EXPECT_EQ(show("u"), "{\"ok\":true,\"database\":\"default\",\"procedures\":[]}");

    // Edited body: the digest no longer matches.
    kt::write_file(path_, "SELECT * FROM u");
    EXPECT_NE(show().find("\"valid\":false,\"status\":\"HASH_MISMATCH\""), std::string::npos);
    EXPECT_EQ(load("p"), "ERR: procedure file hash mismatch");

    // A symbolic link in the file's place is never followed.
    std::string target = "./kyreldb_data/elsewhere.sp";
    kt::write_file(target, "SELECT * FROM t");
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(symlink("../../../elsewhere.sp", path_.c_str()), 0);
    EXPECT_NE(show().find("\"status\":\"procedure file must not be a symlink\""),
              std::string::npos);
    EXPECT_EQ(load("p"), "ERR: procedure file must not be a symlink");

    // Missing file: listed as such, and drop still succeeds.
    ASSERT_EQ(unlink(path_.c_str()), 0);
    EXPECT_NE(show().find("\"status\":\"procedure file is missing\""), std::string::npos);
    ASSERT_EQ(sp_drop_procedure(&s_, "p", "", reply_, sizeof reply_, err_, sizeof err_), 0);
    EXPECT_NE(std::string(reply_).find("\"message\":\"procedure dropped\""), std::string::npos);
}

TEST_F(SpCatalog, HandWrittenRowsGetTheirStatus) {
    char err[256] = "";
    // No "enabled" member: disabled.
    ASSERT_EQ(system_insert_row_with_wal(
                  procs().c_str(), "default.h",
                  "{\"proc_key\":\"default.h\",\"owner_user\":\"alice\",\"database_name\":"
                  "\"default\",\"table_name\":\"t\",\"procedure_name\":\"h\",\"file_path\":"
                  "\"x\",\"body_sha256\":\"00\",\"created_at\":5}",
                  err, sizeof err),
              0)
        << err;
    // Stored path that does not match the rule.
    char* row =
        sp_build_row_json("default.m", "alice", "default", "t", "m", "/etc/passwd", "00", 1, 1, "");
    ASSERT_EQ(system_insert_row_with_wal(procs().c_str(), "default.m", row, err, sizeof err), 0);
    free(row);
    std::string listing = show();
    EXPECT_NE(listing.find("\"name\":\"h\",\"table\":\"t\",\"owner\":\"alice\",\"params\":\"\","
                           "\"file_path\":\"x\",\"sha256\":\"00\",\"enabled\":false,\"valid\":"
                           "false,\"status\":\"DISABLED\",\"created_at\":5,\"updated_at\":0}"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("\"status\":\"PATH_MISMATCH\""), std::string::npos);
    EXPECT_EQ(load("h"), "ERR: procedure catalog row is corrupt");
    EXPECT_EQ(load("m"), "ERR: procedure catalog path mismatch");
}

TEST_F(SpCatalog, FileHelpers) {
    char out[512], err[256];
    EXPECT_EQ(sp_make_file_path("a", "default", "t", "p.q", out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "procedure metadata contains unsafe identifier");
    EXPECT_EQ(sp_make_proc_key("", "p", out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid procedure key");
    EXPECT_EQ(
        sp_write_file_atomic("./f.sp", std::string(SP_FILE_MAX + 1, 'x').c_str(), err, sizeof err),
        -1);
    EXPECT_STREQ(err, "procedure body too large");

    ASSERT_EQ(sp_write_file_atomic("./f.sp", "abc", err, sizeof err), 0) << err;
    char* body = nullptr;
    char hex[65], hex2[65];
    ASSERT_EQ(sp_read_file_body_checked("./f.sp", &body, hex, err, sizeof err), 0) << err;
    EXPECT_STREQ(body, "abc");
    free(body);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_EQ(sp_sha256_hex_file("./f.sp", hex2, err, sizeof err), 0);
    EXPECT_STREQ(hex, hex2);

    kt::write_file("./nul.sp", std::string("a\0b", 3));
    EXPECT_EQ(sp_read_file_body_checked("./nul.sp", &body, hex, err, sizeof err), -1);
    EXPECT_STREQ(err, "procedure file contains a NUL byte");
    EXPECT_EQ(sp_read_file_body_checked("./kyreldb_data", &body, hex, err, sizeof err), -1);
    EXPECT_STREQ(err, "procedure path is not a regular file");
}

// The temporary file of a procedure write is new under a name nobody could
// plant beforehand: links put in place under the names a pid and a clock
// would give redirect nothing.
TEST_F(SpCatalog, ProcedureWriteIgnoresPlantedTemporaryNames) {
    kt::write_file("./victim", "keep");
    const unsigned long long now = now_unix_ts();
    for (unsigned long long t = now - 1; t <= now + 2; ++t) {
        std::string planted =
            "./g.sp.tmp." + std::to_string(static_cast<long>(getpid())) + "." + std::to_string(t);
        ASSERT_EQ(link("./victim", planted.c_str()), 0) << planted;
    }
    char err[256];
    ASSERT_EQ(sp_write_file_atomic("./g.sp", "body", err, sizeof err), 0) << err;
    EXPECT_EQ(kt::read_file("./g.sp"), "body");
    EXPECT_EQ(kt::read_file("./victim"), "keep");
    struct stat st {};
    ASSERT_EQ(stat("./g.sp", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
