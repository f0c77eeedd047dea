// Base of test suites that share one temporary data directory (the working
// directory while the suite runs, with the database registry loaded) and
// create their tables in it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "base/config.h"
#include "storage/db_registry.h"
#include "storage/paths.h"
#include "storage/row_changes.h"
#include "storage/table.h"
#include "storage/wal.h"

struct SuiteColumn {
    const char* name;
    int type;
};

class SuiteDataDir : public ::testing::Test {
  protected:
    // pattern is a mkdtemp template such as "/tmp/kyrel_x_XXXXXX".
    static void enter_data_dir(const char* pattern) {
        std::string tmpl = pattern;
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = new std::string(tmpl);
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(tmpl.c_str()), 0);
        config_reset_defaults();
        ensure_parent_dirs();
        char e[256];
        ASSERT_EQ(databases_load(e, sizeof e), 0) << e;
    }
    static void leave_data_dir() {
        wal_writer_close();
        if (chdir(old_cwd_) != 0) ADD_FAILURE() << "chdir back failed";
        char e[256];
        remove_path_recursive(dir_->c_str(), e, sizeof e);
        delete dir_;
    }
    // A table whose first column is the primary key.
    static void create_table(const char* name, std::initializer_list<SuiteColumn> cols) {
        TableSchema s{};
        snprintf(s.name, sizeof s.name, "%s", name);
        for (const SuiteColumn& c : cols) {
            ColumnDef& d = s.columns[s.column_count++];
            snprintf(d.name, sizeof d.name, "%s", c.name);
            d.type = c.type;
        }
        s.columns[0].is_primary_key = 1;
        snprintf(s.primary_key, sizeof s.primary_key, "%s", s.columns[0].name);
        char e[256] = "";
        ASSERT_EQ(table_create(name, &s, e, sizeof e), 0) << e;
    }
    static void insert_row(const char* table, const char* row) {
        char e[256] = "";
        ASSERT_EQ(table_apply_insert(table, ++seq_, row, e, sizeof e), 0) << e;
    }

    static inline std::string* dir_ = nullptr;
    static inline char old_cwd_[1024];
    static inline uint64_t seq_ = 0;
};
