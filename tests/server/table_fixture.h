// Test fixture for storage tests that need live tables: a temporary data
// directory as working directory, the database registry, and helpers to
// create a table and attach indexes to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "storage/db_registry.h"
#include "storage/index_values.h"
#include "storage/paths.h"
#include "storage/sec_index.h"
#include "storage/table.h"
#include "storage/wal.h"

struct ColSpec {
    const char* name;
    int type;
    bool pk;
};

class TableFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kyrel_tables_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        config_reset_defaults();
        ensure_parent_dirs();
        char e[256];
        ASSERT_EQ(databases_load(e, sizeof e), 0) << e;
    }
    void TearDown() override {
        wal_writer_close();
        ASSERT_EQ(chdir(old_cwd_), 0);
        char e[256];
        remove_path_recursive(dir_.c_str(), e, sizeof e);
    }

    // Creates a table with a name unique in this process (slots are never
    // reused) and returns it.
    Table* make_table(const std::vector<ColSpec>& cols, std::string* name_out = nullptr) {
        static int counter = 0;
        std::string name = "t" + std::to_string(++counter);
        TableSchema s{};
        snprintf(s.name, sizeof s.name, "%s", name.c_str());
        for (const ColSpec& c : cols) {
            ColumnDef& d = s.columns[s.column_count++];
            snprintf(d.name, sizeof d.name, "%s", c.name);
            d.type = c.type;
            d.is_primary_key = c.pk ? 1 : 0;
            if (c.pk) snprintf(s.primary_key, sizeof s.primary_key, "%s", c.name);
        }
        char e[256] = "";
        EXPECT_EQ(table_create(name.c_str(), &s, e, sizeof e), 0) << e;
        if (name_out) *name_out = name;
        int idx = table_find_index(name.c_str());
        EXPECT_GE(idx, 0);
        return idx >= 0 ? &g_tables.slots[idx] : nullptr;
    }

    // Appends an index over the columns and rebuilds the table's maps.
    int add_index(Table* t, const char* name, std::vector<const char*> cols, bool unique) {
        RwWriteGuard g(&t->lock);
        IndexDef& d = t->indexes[t->index_count];
        indexdef_init(&d);
        snprintf(d.name, sizeof d.name, "%s", name);
        d.column_count = (int)cols.size();
        for (size_t i = 0; i < cols.size(); i++)
            snprintf(d.columns[i].name, sizeof d.columns[i].name, "%s", cols[i]);
        d.unique = unique ? 1 : 0;
        indexdef_ensure_defaults(&d);
        t->index_count++;
        sec_index_rebuild_all(t);
        return t->index_count - 1;
    }

    std::string dir_;
    char old_cwd_[1024];
    char err_[256] = "";
};
