// DDL parsers: CREATE INDEX records and options, DROP TABLE / DROP INDEX,
// ALTER TABLE commands, DEFAULT conversion, and every refusal message.
#include <gtest/gtest.h>

#include <string>

#include "query/ddl_parse.h"
#include "storage/ident.h"
#include "storage/row_changes.h"
#include "storage/row_version.h"
#include "table_fixture.h"

namespace {

struct Fail {
    const char* sql;
    const char* message;
};

TEST(CreateIndexParse, FullStatementFillsEveryField) {
    IndexDef d;
    char table[64];
    int ine = -1;
    char err[256] = {0};
    ASSERT_EQ(parse_create_index_def(
                  "CREATE UNIQUE INDEX IF NOT EXISTS ix ON t USING BTREE "
                  "(a DESC NULLS FIRST, b) WITH (fillfactor = 70, deduplicate_items = off)",
                  table, sizeof table, &d, &ine, err, sizeof err),
              0)
        << err;
    EXPECT_STREQ(table, "t");
    EXPECT_STREQ(d.name, "ix");
    EXPECT_EQ(d.unique, 1);
    EXPECT_EQ(ine, 1);
    EXPECT_STREQ(d.method, "btree");
    ASSERT_EQ(d.column_count, 2);
    EXPECT_STREQ(d.column, "a");
    EXPECT_STREQ(d.columns[0].name, "a");
    EXPECT_EQ(d.columns[0].ascending, 0);
    EXPECT_EQ(d.columns[0].nulls_first, 1);
    EXPECT_STREQ(d.columns[1].name, "b");
    EXPECT_EQ(d.columns[1].ascending, 1);
    EXPECT_EQ(d.columns[1].nulls_first, 0);
    EXPECT_EQ(d.fillfactor, 70);
    EXPECT_EQ(d.deduplicate_items, 0);
}

TEST(CreateIndexParse, DefaultsAndAcceptedForms) {
    struct Ok {
        const char* sql;
        int fillfactor, dedup, unique, ascending0;
    } cases[] = {
        {"create index ix on t (a)", 100, 1, 0, 1},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = '50')", 50, 1, 0, 1},
        {"CREATE INDEX ix ON t (a DESC ASC) WITH (DEDUPLICATE_ITEMS=yes, fillfactor=1)", 1, 1, 0,
         1},
        {"CREATE UNIQUE INDEX ix ON t(a desc);", 100, 1, 1, 0},
        {"CREATE INDEX ix ON t (a) WITH (deduplicate_items = 0, fillfactor = 100)", 100, 0, 0, 1},
    };
    for (const auto& c : cases) {
        IndexDef d;
        char table[64], err[256] = {0};
        int ine = -1;
        ASSERT_EQ(parse_create_index_def(c.sql, table, sizeof table, &d, &ine, err, sizeof err), 0)
            << c.sql << ": " << err;
        EXPECT_STREQ(d.method, "btree") << c.sql;
        EXPECT_EQ(d.fillfactor, c.fillfactor) << c.sql;
        EXPECT_EQ(d.deduplicate_items, c.dedup) << c.sql;
        EXPECT_EQ(d.unique, c.unique) << c.sql;
        EXPECT_EQ(d.columns[0].ascending, c.ascending0) << c.sql;
        EXPECT_EQ(ine, 0) << c.sql;
    }

    char ix[64], tb[64], col[64], err[256] = {0};
    ASSERT_EQ(parse_create_index_sql("CREATE INDEX byname ON people (surname, given)", ix,
                                     sizeof ix, tb, sizeof tb, col, sizeof col, err, sizeof err),
              0)
        << err;
    EXPECT_STREQ(ix, "byname");
    EXPECT_STREQ(tb, "people");
    EXPECT_STREQ(col, "surname");
}

TEST(CreateIndexParse, RefusalsCarryTheirMessage) {
    const Fail cases[] = {
        {"CREATE INDEX ix ON t USING hash (a)",
         "unsupported index method; only btree is supported"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 0)", "fillfactor must be between 1 and 100"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 101)",
         "fillfactor must be between 1 and 100"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 5x)", "fillfactor must be between 1 and 100"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 99999999999999999999)",
         "fillfactor must be between 1 and 100"},
        {"CREATE INDEX ix ON t (a,b,c,d,e,f,g,h,i)", "too many index columns"},
        {"CREATE INDEX ix ON t (DESC)", "missing column name in index column definition"},
        {"CREATE INDEX ix ON t (a NULLS MIDDLE)", "NULLS must be FIRST or LAST"},
        {"CREATE INDEX ix ON t (a NULLS)", "missing NULLS option"},
        {"CREATE INDEX ix ON t (a) extra", "unexpected text after CREATE INDEX"},
        {"CREATE INDEX ix ON t (a))", "unexpected text after CREATE INDEX"},
        {"CREATE INDEX ix ON t (a, 'b)", "missing index column list"},
        {"CREATE INDEX ix ON t (a, (b)", "missing index column list"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 5) x", "unexpected text after CREATE INDEX"},
        {"CREATE INDEX IF EXISTS ix ON t (a)", "expected IF NOT EXISTS"},
        {"CREATE INDEX ix t (a)", "missing ON"},
        {"CREATE TABLE ix ON t (a)", "invalid CREATE INDEX"},
        {"CREATE UNIQUE ix ON t (a)", "invalid CREATE INDEX"},
        {"CREATE INDEX ix ON t", "missing index column list"},
        {"CREATE INDEX ix ON t (a", "missing index column list"},
        {"CREATE INDEX ix ON t ()", "missing index column"},
        {"CREATE INDEX ix ON t (a,)", "empty index column definition"},
        {"CREATE INDEX ix ON t (a sideways)", "unknown index column option 'sideways'"},
        {"CREATE INDEX ix ON t (a) WITH fillfactor = 5", "WITH requires option list"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 5", "unterminated WITH option list"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor = 5,)", "empty index option"},
        {"CREATE INDEX ix ON t (a) WITH (fillfactor)", "index option requires ="},
        {"CREATE INDEX ix ON t (a) WITH (deduplicate_items = maybe)",
         "deduplicate_items must be true or false"},
        {"CREATE INDEX ix ON t (a) WITH (pages = 3)", "unsupported index option 'pages'"},
        {"CREATE INDEX ix ON t (a) WITH (nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
         "nnnnnnnnnnnnnnnnn = 3)",
         "index option name too long"},
        {"CREATE INDEX ix ON", "missing table name"},
        {"CREATE INDEX", "missing index name"},
        {"CREATE INDEX ix ON t USING (a)", "missing index method"},
        {"CREATE INDEX ix ON t USING averyveryverylongmethod (a)", "index method too long"},
        {"CREATE INDEX ix ON a__b (a)", "invalid table name"},
        {"CREATE INDEX ../x ON t (a)", "invalid index name"},
        {"", "empty SQL"},
    };
    for (const auto& c : cases) {
        IndexDef d;
        char table[64], err[256] = {0};
        int ine = 0;
        EXPECT_EQ(parse_create_index_def(c.sql, table, sizeof table, &d, &ine, err, sizeof err), -1)
            << c.sql;
        EXPECT_STREQ(err, c.message) << c.sql;
    }
}

TEST(CreateIndexParse, SizeLimits) {
    IndexDef d;
    char table[64], err[256] = {0};
    int ine = 0;
    std::string big = "CREATE INDEX ix ON t (a)" + std::string(4100, ' ');
    EXPECT_EQ(parse_create_index_def(big.c_str(), table, sizeof table, &d, &ine, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "CREATE INDEX statement too long");

    std::string name(64, 'x');
    std::string sql = "CREATE INDEX " + name + " ON t (a)";
    EXPECT_EQ(parse_create_index_def(sql.c_str(), table, sizeof table, &d, &ine, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "index name too long");

    sql = "CREATE INDEX ix ON t (a" + std::string(2100, ' ') + ")";
    EXPECT_EQ(parse_create_index_def(sql.c_str(), table, sizeof table, &d, &ine, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "index column list too long");

    sql = "CREATE INDEX ix ON t (a) WITH (fillfactor = 5" + std::string(1100, ' ') + ")";
    EXPECT_EQ(parse_create_index_def(sql.c_str(), table, sizeof table, &d, &ine, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "index options too long");
}

TEST(DropParse, TableAndIndexForms) {
    char t[64], ix[64], err[256] = {0};
    int ie = -1;
    ASSERT_EQ(parse_drop_table_sql("DROP TABLE IF EXISTS t", t, sizeof t, &ie, err, sizeof err), 0);
    EXPECT_STREQ(t, "t");
    EXPECT_EQ(ie, 1);
    ASSERT_EQ(parse_drop_table_sql("drop table Orders;", t, sizeof t, &ie, err, sizeof err), 0);
    EXPECT_STREQ(t, "Orders");
    EXPECT_EQ(ie, 0);

    ASSERT_EQ(parse_drop_index_sql("DROP INDEX ix ON t", ix, sizeof ix, t, sizeof t, &ie, err,
                                   sizeof err),
              0);
    EXPECT_STREQ(ix, "ix");
    EXPECT_STREQ(t, "t");
    EXPECT_EQ(ie, 0);
    ASSERT_EQ(parse_drop_index_sql("DROP INDEX IF EXISTS ix", ix, sizeof ix, t, sizeof t, &ie, err,
                                   sizeof err),
              0);
    EXPECT_STREQ(ix, "ix");
    EXPECT_STREQ(t, "");
    EXPECT_EQ(ie, 1);

    const Fail tables[] = {
        {"DROP TABLE t u", "unexpected text after DROP TABLE"},
        {"DROP TABLE", "missing table name"},
        {"DROP INDEX t", "invalid DROP TABLE"},
        {"DROP TABLE IF t", "expected IF EXISTS"},
        {"DROP TABLE db__t", "invalid table name"},
    };
    for (const auto& c : tables) {
        EXPECT_EQ(parse_drop_table_sql(c.sql, t, sizeof t, &ie, err, sizeof err), -1) << c.sql;
        EXPECT_STREQ(err, c.message) << c.sql;
    }
    const Fail indexes[] = {
        {"DROP INDEX ix ON t extra", "unexpected text after DROP INDEX"},
        {"DROP INDEX ix extra", "unexpected text after DROP INDEX"},
        {"DROP INDEX", "missing index name"},
        {"DROP INDEX ix ON", "missing table name"},
        {"DROP TABLE ix", "invalid DROP INDEX"},
        {"DROP INDEX IF NOT EXISTS ix", "expected IF EXISTS"},
    };
    for (const auto& c : indexes) {
        EXPECT_EQ(parse_drop_index_sql(c.sql, ix, sizeof ix, t, sizeof t, &ie, err, sizeof err), -1)
            << c.sql;
        EXPECT_STREQ(err, c.message) << c.sql;
    }
}

TEST(AlterParse, AddDropRenameRecords) {
    AlterTableCmd cmd;
    char err[256] = {0};
    ASSERT_EQ(parse_alter_table_sql("ALTER TABLE t ADD COLUMN note varchar(40) DEFAULT 'n/a'", &cmd,
                                    err, sizeof err),
              0)
        << err;
    EXPECT_EQ(cmd.op, ALTER_OP_ADD_COLUMN);
    EXPECT_STREQ(cmd.table, "t");
    EXPECT_STREQ(cmd.column.name, "note");
    EXPECT_EQ(cmd.column.type, COL_TYPE_STRING);
    EXPECT_EQ(cmd.column.max_length, 40);
    EXPECT_EQ(cmd.column.is_primary_key, 0);
    EXPECT_EQ(cmd.has_default, 1);
    EXPECT_STREQ(cmd.default_json, "\"n/a\"");

    struct Add {
        const char* sql;
        int type, max_length, has_default;
        const char* default_json;
    } adds[] = {
        {"ALTER TABLE t ADD age int DEFAULT 5", COL_TYPE_INT, 0, 1, "5"},
        {"ALTER TABLE t ADD COLUMN ok bool DEFAULT TRUE", COL_TYPE_BOOL, 0, 1, "TRUE"},
        {"ALTER TABLE t ADD COLUMN price double DEFAULT -1.5e3", COL_TYPE_DOUBLE, 0, 1, "-1.5e3"},
        {"ALTER TABLE t ADD COLUMN s text", COL_TYPE_STRING, 2047, 0, ""},
        {"ALTER TABLE t ADD COLUMN s varchar(5000)", COL_TYPE_STRING, 2047, 0, ""},
        {"ALTER TABLE t ADD COLUMN s varchar(0)", COL_TYPE_STRING, 2047, 0, ""},
        {"ALTER TABLE t ADD COLUMN s varchar(-1)", COL_TYPE_STRING, 2047, 0, ""},
        {"ALTER TABLE t ADD COLUMN s varchar(4294967297)", COL_TYPE_STRING, 2047, 0, ""},
        {"ALTER TABLE t ADD COLUMN at timestamp DEFAULT 1700000000", COL_TYPE_TIMESTAMP, 0, 1,
         "1700000000"},
        {"alter table t add column s string default \"it's\"", COL_TYPE_STRING, 2047, 1,
         "\"it's\""},
    };
    for (const auto& a : adds) {
        ASSERT_EQ(parse_alter_table_sql(a.sql, &cmd, err, sizeof err), 0) << a.sql << ": " << err;
        EXPECT_EQ(cmd.op, ALTER_OP_ADD_COLUMN) << a.sql;
        EXPECT_EQ(cmd.column.type, a.type) << a.sql;
        EXPECT_EQ(cmd.column.max_length, a.max_length) << a.sql;
        EXPECT_EQ(cmd.has_default, a.has_default) << a.sql;
        EXPECT_STREQ(cmd.default_json, a.default_json) << a.sql;
    }

    for (const char* sql : {"ALTER TABLE t DROP COLUMN age", "ALTER TABLE t DROP age"}) {
        ASSERT_EQ(parse_alter_table_sql(sql, &cmd, err, sizeof err), 0) << sql;
        EXPECT_EQ(cmd.op, ALTER_OP_DROP_COLUMN);
        EXPECT_STREQ(cmd.old_name, "age");
    }
    ASSERT_EQ(parse_alter_table_sql("ALTER TABLE t RENAME COLUMN a TO b", &cmd, err, sizeof err),
              0);
    EXPECT_EQ(cmd.op, ALTER_OP_RENAME_COLUMN);
    EXPECT_STREQ(cmd.old_name, "a");
    EXPECT_STREQ(cmd.new_name, "b");
}

TEST(AlterParse, RefusalsCarryTheirMessage) {
    const Fail cases[] = {
        {"ALTER TABLE t ADD age int DEFAULT x", "bad integer default"},
        {"ALTER TABLE t ADD age int DEFAULT 5 5", "bad integer default"},
        {"ALTER TABLE t ADD age int DEFAULT 99999999999999999999", "bad integer default"},
        {"ALTER TABLE t ADD ok bool DEFAULT maybe", "bad boolean default"},
        {"ALTER TABLE t ADD s text DEFAULT abc", "bad string default literal"},
        {"ALTER TABLE t ADD s text DEFAULT 'a' 'b'", "bad string default literal"},
        {"ALTER TABLE t ADD s text DEFAULT 'x)", "bad string default literal"},
        {"ALTER TABLE t ADD s varchar(10 DEFAULT 'x'", "unsupported type"},
        {"ALTER TABLE t ADD age int DEFAULT 5)", "bad integer default"},
        {"ALTER TABLE t ADD d double DEFAULT abc", "bad double default"},
        {"ALTER TABLE t ADD d double DEFAULT nan", "bad double default"},
        {"ALTER TABLE t ADD d double DEFAULT inf", "bad double default"},
        {"ALTER TABLE t ADD d double DEFAULT 0x10", "bad double default"},
        {"ALTER TABLE t ADD d double DEFAULT", "missing DEFAULT value"},
        {"ALTER TABLE t ADD age blob", "unsupported type"},
        {"ALTER TABLE t ADD age", "missing column type"},
        {"ALTER TABLE t ADD", "missing column name"},
        {"ALTER TABLE t ADD age int NOT NULL", "unexpected text after ALTER TABLE ADD COLUMN"},
        {"ALTER TABLE t DROP COLUMN a b", "unexpected text after ALTER TABLE DROP COLUMN"},
        {"ALTER TABLE t DROP COLUMN", "missing column name"},
        {"ALTER TABLE t RENAME a TO b", "expected COLUMN after RENAME"},
        {"ALTER TABLE t RENAME COLUMN a b", "expected TO in RENAME COLUMN"},
        {"ALTER TABLE t RENAME COLUMN a TO", "missing new column name"},
        {"ALTER TABLE t RENAME COLUMN a TO b c", "unexpected text after ALTER TABLE RENAME COLUMN"},
        {"ALTER TABLE t RENAME COLUMN a TO b/c", "invalid new column name"},
        {"ALTER TABLE t MODIFY a int", "unsupported ALTER TABLE operation"},
        {"ALTER TABLE t", "unsupported ALTER TABLE operation"},
        {"ALTER VIEW t ADD a int", "invalid ALTER TABLE"},
        {"ALTER TABLE", "missing table name"},
        {"ALTER TABLE x__y ADD a int", "invalid table name"},
    };
    for (const auto& c : cases) {
        AlterTableCmd cmd;
        char err[256] = {0};
        EXPECT_EQ(parse_alter_table_sql(c.sql, &cmd, err, sizeof err), -1) << c.sql;
        EXPECT_STREQ(err, c.message) << c.sql;
    }
}

TEST(DefaultValues, ConversionAndChecks) {
    char out[2048], err[256] = {0};
    EXPECT_EQ(ddl_sql_value_to_json(COL_TYPE_STRING, "  'x'  ", out, sizeof out, err, sizeof err),
              0);
    EXPECT_STREQ(out, "\"x\"");
    EXPECT_EQ(ddl_sql_value_to_json(COL_TYPE_BOOL, "0", out, sizeof out, err, sizeof err), 0);
    EXPECT_EQ(ddl_sql_value_to_json(COL_TYPE_INT, nullptr, out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "missing value");
    std::string big(2048, '1');
    EXPECT_EQ(ddl_sql_value_to_json(COL_TYPE_INT, big.c_str(), out, sizeof out, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "value too long");
    char small[4];
    EXPECT_EQ(ddl_sql_value_to_json(COL_TYPE_INT, "12345", small, sizeof small, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "default value too long");

    EXPECT_EQ(ddl_validate_raw_for_type(COL_TYPE_STRING, "x", err, sizeof err), -1);
    EXPECT_STREQ(err, "string default must be quoted");
    EXPECT_EQ(ddl_validate_raw_for_type(COL_TYPE_UNKNOWN, "1", err, sizeof err), -1);
    EXPECT_STREQ(err, "unsupported default type");
    EXPECT_EQ(ddl_validate_raw_for_type(COL_TYPE_INT, "12  ", err, sizeof err), 0);
    EXPECT_EQ(ddl_validate_raw_for_type(COL_TYPE_DOUBLE, "3.25", err, sizeof err), 0);
}

TEST(KeywordScanner, TokensAndKeywords) {
    char text[] = "  select(x) selected";
    char* cur = text;
    EXPECT_EQ(sql_consume_keyword_mut(&cur, "SELECT"), 1);
    EXPECT_EQ(*cur, '(');
    char* before = cur + 4;  // " selected"
    cur = before;
    EXPECT_EQ(sql_consume_keyword_mut(&cur, "select"), 0);
    EXPECT_EQ(cur, before);
    char tok[4], err[64];
    EXPECT_EQ(sql_read_simple_token(&cur, tok, sizeof tok, nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "token too long");
    const char* s = "(a, ')', (b))x";
    EXPECT_EQ(sql_find_matching_rparen(s), s + 12);
    EXPECT_EQ(sql_find_matching_rparen("(a"), nullptr);
}

// ddl_alter_table_from_sql is what WAL replay runs: a second application of the
// same statement must be tolerated while replaying and refused otherwise.
class AlterApply : public TableFixture {};

TEST_F(AlterApply, AppliesAndToleratesReplayOfAppliedChanges) {
    std::string name;
    Table* t = make_table({{"id", COL_TYPE_INT, true}, {"a", COL_TYPE_INT, false}}, &name);
    ASSERT_NE(t, nullptr);
    char e[256] = "";
    ASSERT_EQ(table_apply_insert(name.c_str(), 1, "{\"id\":1,\"a\":7}", e, sizeof e), 0) << e;

    const std::string add = "ALTER TABLE x ADD COLUMN note string DEFAULT 'n'";
    ASSERT_EQ(ddl_alter_table_from_sql(name.c_str(), add.c_str(), 0, e, sizeof e), 0) << e;
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), add.c_str(), 0, e, sizeof e), -1);
    EXPECT_STREQ(e, "column already exists");
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), add.c_str(), 1, e, sizeof e), 0) << e;

    const std::string ren = "ALTER TABLE x RENAME COLUMN a TO b";
    ASSERT_EQ(ddl_alter_table_from_sql(name.c_str(), ren.c_str(), 0, e, sizeof e), 0) << e;
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), ren.c_str(), 1, e, sizeof e), 0) << e;
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), ren.c_str(), 0, e, sizeof e), -1);
    EXPECT_STREQ(e, "column not found");

    const std::string drop = "ALTER TABLE x DROP COLUMN note";
    ASSERT_EQ(ddl_alter_table_from_sql(name.c_str(), drop.c_str(), 0, e, sizeof e), 0) << e;
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), drop.c_str(), 1, e, sizeof e), 0) << e;

    {
        RwReadGuard g(&t->lock);
        ASSERT_EQ(t->schema.column_count, 2);
        EXPECT_STREQ(t->schema.columns[1].name, "b");
        char* row = nullptr;
        int deleted = 0;
        ASSERT_EQ(versioned_get_latest_json(t, "1", &row, nullptr, &deleted), 0);
        EXPECT_STREQ(row, "{\"id\":1,\"b\":7}");
        free(row);
    }

    // A missing table is tolerated only during replay; parse errors come back unchanged.
    EXPECT_EQ(ddl_alter_table_from_sql("nosuch", add.c_str(), 1, e, sizeof e), 0);
    EXPECT_EQ(ddl_alter_table_from_sql("nosuch", add.c_str(), 0, e, sizeof e), -1);
    EXPECT_STREQ(e, "table not found");
    EXPECT_EQ(ddl_alter_table_from_sql(name.c_str(), "ALTER TABLE x MODIFY a int", 1, e, sizeof e),
              -1);
    EXPECT_STREQ(e, "unsupported ALTER TABLE operation");
}

}  // namespace
