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

TEST_F(Catalog, LoaderSkipsCutAndMalformedBlocks) {
    write_file("kyreldb_data/databases/default/catalog.meta",
               "COL stray int 0 0\nEND\n"
               "TABLE a PK -\nCOL onlyname\nEND\n"
               "TABLE cut PK id\nCOL id int 0 1\n");
    drop_and_load();
    Table* a = table("a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->schema.column_count, 1);
    EXPECT_EQ(a->schema.columns[0].type, 0);
    EXPECT_EQ(a->schema.columns[0].max_length, 0);
    EXPECT_EQ(table("cut"), nullptr);
    EXPECT_EQ(table("stray"), nullptr);
}

TEST_F(Catalog, LegacyCatalogUsedOnlyWhenNoDatabaseHasOne) {
    write_file("kyreldb_data/catalog.meta", "TABLE old_t PK id\nCOL id int 0 1\nEND\n");
    drop_and_load();
    EXPECT_NE(table("old_t"), nullptr);
}

}  // namespace
