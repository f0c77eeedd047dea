// catalog.meta: exact bytes written, and what the loader registers.
#include "storage_fixture.h"

namespace {

using kt::read_file;
using kt::write_file;

class Catalog : public kt::StorageTest {};

TEST_F(Catalog, WritesExactLinesAndReadsThemBack) {
    char err[256];
    ASSERT_EQ(database_create("sales", err, sizeof err), 0) << err;
    create_table("sales__t", "CREATE TABLE t (id int PRIMARY KEY, name varchar(32))");
    TableSchema nopk;
    memset(&nopk, 0, sizeof nopk);
    nopk.column_count = 1;
    snprintf(nopk.columns[0].name, sizeof nopk.columns[0].name, "v");
    nopk.columns[0].type = 2;
    ASSERT_EQ(table_create("sales__nopk", &nopk, err, sizeof err), 0) << err;
    ASSERT_EQ(catalog_save_db("sales", err, sizeof err), 0) << err;
    const std::string path = "kyreldb_data/databases/sales/catalog.meta";
    EXPECT_EQ(read_file(path),
              "TABLE t PK id\nCOL id int 0 1\nCOL name string 32 0\nEND\n"
              "TABLE nopk PK -\nCOL v double 0 0\nEND\n");
    EXPECT_FALSE(kt::file_exists(path + ".tmp"));

    kt::restart();
    Table* t = table("sales__t");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->schema.name, "sales__t");
    EXPECT_STREQ(t->schema.primary_key, "id");
    ASSERT_EQ(t->schema.column_count, 2);
    EXPECT_EQ(t->schema.columns[1].max_length, 32);
    EXPECT_EQ(t->schema.columns[1].type, 3);
    Table* n = table("sales__nopk");
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->schema.primary_key, "");
}

TEST_F(Catalog, ShortColumnLineKeepsItsDefaults) {
    write_file("kyreldb_data/databases/default/catalog.meta", "TABLE a PK -\nCOL onlyname\nEND\n");
    drop_and_load();
    Table* a = table("a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->schema.column_count, 1);
    EXPECT_EQ(a->schema.columns[0].type, 0);
    EXPECT_EQ(a->schema.columns[0].max_length, 0);
}

// A damaged catalog would lose tables or columns without a word: loading
// refuses it, naming the file, the line and what is wrong.
TEST_F(Catalog, DamagedCatalogIsRefusedWithItsName) {
    std::string many;
    for (int i = 0; i < 130; ++i)
        many += "TABLE t" + std::to_string(i) + " PK -\nCOL v int 0 0\nEND\n";
    const std::string good = "TABLE a PK id\nCOL id int 0 1\nEND\n";
    const struct {
        std::string text;
        const char* what;
    } cases[] = {
        {good + "TABLE cut PK id\nCOL id int 0 1\n", "line 4: table cut has no END line"},
        {good + "TABLE cut PK id\nCOL id int 0", "cut short"},
        {"COL stray int 0 0\n" + good, "line 1: COL line outside a table"},
        {good + "END\n", "line 4: END line outside a table"},
        {good + "TABLE b PK id\nTABLE c PK id\n", "line 4: table b has no END line"},
        {"TABLE a PK id\nCOL id int 0 1\nCOL v inu 0 0\nEND\n", "line 3: unknown column type"},
        {"TABLE a PK id\nCOL id int x 1\nEND\n", "line 2: malformed COL line"},
        {"TABLE a PK ie\nCOL id int 0 0\nEND\n", "line 3: the primary key is not a column"},
        {"TABLE a PK id\nCOL id int 0 1\nCOL ID int 0 0\nEND\n", "line 3: column listed twice"},
        {good + good, "line 6: table listed twice"},
        {good + "TABL b PK id\n", "line 4: not a catalog line"},
        {many, "too many tables"},
    };
    for (const auto& c : cases) {
        write_file("kyreldb_data/databases/default/catalog.meta", c.text);
        kt::drop_memory_state();
        char err[512] = "";
        ASSERT_EQ(databases_load(err, sizeof err), 0) << err;
        EXPECT_EQ(catalog_load(err, sizeof err), -1) << c.text;
        EXPECT_NE(strstr(err, "kyreldb_data/databases/default/catalog.meta: "), nullptr) << err;
        EXPECT_NE(strstr(err, c.what), nullptr) << c.text << " -> " << err;
    }
}

TEST_F(Catalog, LegacyCatalogUsedOnlyWhenNoDatabaseHasOne) {
    write_file("kyreldb_data/catalog.meta", "TABLE old_t PK id\nCOL id int 0 1\nEND\n");
    drop_and_load();
    EXPECT_NE(table("old_t"), nullptr);
}

}  // namespace
