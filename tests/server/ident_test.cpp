// Identifier canonicalisation, the client name rules, type names and lookups.
#include "storage/ident.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/table.h"

namespace {

std::string canon(const char* in) {
    char buf[600];
    snprintf(buf, sizeof buf, "%s", in);
    canonicalize_ident(buf);
    return buf;
}

TEST(Ident, Canonicalize) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"  \"orders\" ;", "orders"},  // quotes, blanks and semicolon go
        {"'Sales'", "Sales"},          // case kept
        {"\"mixed'", "\"mixed'"},      // unmatched quote pair stays
        {"\"\"", ""},
        {"\" padded \"", "padded"},  // trimmed again after unquoting
        {"\"a\"b\"", "a\"b"},        // one pair only, nothing unescaped
    };
    for (const auto& c : cases) EXPECT_EQ(canon(c.in), c.out) << c.in;
}

TEST(Ident, CopyCheckedErrorsAndLengths) {
    char dest[64], err[256];
    EXPECT_EQ(copy_ident_checked(dest, sizeof dest, "\"\"", nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid identifier");
    EXPECT_EQ(copy_ident_checked(dest, sizeof dest, nullptr, "database name", err, sizeof err), -1);
    EXPECT_STREQ(err, "missing database name");
    EXPECT_EQ(copy_ident_checked(nullptr, 0, "x", nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "internal identifier error");

    std::string n63(63, 'a'), n64(64, 'a'), n512(512, 'a');
    EXPECT_EQ(copy_ident_checked(dest, sizeof dest, n63.c_str(), "table name", err, sizeof err), 0);
    EXPECT_EQ(std::string(dest), n63);
    EXPECT_EQ(copy_ident_checked(dest, sizeof dest, n64.c_str(), "table name", err, sizeof err),
              -1);
    EXPECT_STREQ(err, "table name too long");
    char big[600];
    EXPECT_EQ(copy_ident_checked(big, sizeof big, n512.c_str(), "column name", err, sizeof err),
              -1);
    EXPECT_STREQ(err, "column name too long");
}

TEST(Ident, ClientNameRefusals) {
    struct Case {
        const char *name, *label;
        bool ok;
    } cases[] = {
        {"orders", "table name", true},
        {"config_db__kyreldb_users", "table name", false},  // reaches another database
        {"a__b", "database name", false},
        {"sales_", "database name", false},
        {"sales_", "table name", true},  // only databases end-checked
        {"..", "table name", false},
        {".", "database name", false},
        {"../../x", "table name", false},
        {"a b", "column name", false},
        {"a\nb", "index name", false},
        {"a\x7f", "column name", false},
        {"a\\b", "table name", false},
        {"a`b", "table name", false},
        {"a@b", "database name", false},
        {"a'b", "index name", false},
        {"caf\xc3\xa9", "table name", true},  // UTF-8 bytes are fine
        {"x__y", "column name", true},        // "__" only matters for db/table
        {"bob@host", "user name", true},      // other labels unrestricted
    };
    for (const auto& c : cases) {
        char dest[64], err[256] = "";
        int rc = copy_ident_checked(dest, sizeof dest, c.name, c.label, err, sizeof err);
        EXPECT_EQ(rc, c.ok ? 0 : -1) << c.name << " / " << c.label;
        if (!c.ok) {
            EXPECT_EQ(std::string(err), std::string("invalid ") + c.label);
        }
        // Names read back from the server's own files are not held to these rules.
        EXPECT_EQ(copy_ident_stored(dest, sizeof dest, c.name, c.label, err, sizeof err), 0)
            << c.name;
    }
}

TEST(Ident, TypeNames) {
    struct Case {
        const char* word;
        int type;
    } cases[] = {
        {"BIGINT", 1},  {"long", 1},         {"int", 1},       {"integer", 0},
        {"Float", 2},   {"VarChar(255)", 3}, {"VARCHARX", 3},  {"text", 3},
        {"boolean", 4}, {"DATE", 5},         {"timestamp", 5}, {"blob", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_type_name(c.word), c.type) << c.word;
    EXPECT_EQ(parse_type_name(nullptr), 0);
    EXPECT_STREQ(type_name(3), "string");
    EXPECT_STREQ(type_name(99), "unknown");
}

TEST(Ident, SchemaColumnLookup) {
    TableSchema s{};
    s.column_count = 2;
    snprintf(s.columns[0].name, 64, "Id");
    snprintf(s.columns[1].name, 64, "name");
    EXPECT_EQ(schema_get_col(&s, "Id"), 0);
    EXPECT_EQ(schema_get_col(&s, "id"), -1);
    EXPECT_EQ(schema_get_col_ci(&s, "id"), 0);
    EXPECT_EQ(schema_get_col_ci(&s, "NAME"), 1);
}

TEST(Ident, DroppedTableIsFoundInItsNewSlot) {
    TableSchema s{};
    char err[256];
    ASSERT_EQ(table_create("t", &s, err, sizeof err), 0);
    int first = table_find_index("T");
    ASSERT_GE(first, 0);
    {
        RwWriteGuard g(&g_tables.lock);
        g_tables.slots[first].dropped = 1;
        g_tables.slots[first].schema.name[0] = '\0';
    }
    EXPECT_EQ(table_find_index("t"), -1);
    ASSERT_EQ(table_create("t", &s, err, sizeof err), 0);
    EXPECT_GT(table_find_index(" 't' "), first);
}

}  // namespace
