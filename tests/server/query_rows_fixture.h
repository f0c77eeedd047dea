// Shared helpers for the query-engine unit tests: a schema built in the test
// and a SelectRow array owning copies of given row texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/text_util.h"
#include "query/json_buf.h"
#include "query/select_parse.h"
#include "storage/ident.h"
#include "storage/table.h"

inline TableSchema make_schema(const std::vector<std::pair<const char*, int>>& cols) {
    TableSchema s{};
    snprintf(s.name, sizeof s.name, "default__t");
    for (const auto& c : cols) {
        ColumnDef& d = s.columns[s.column_count++];
        snprintf(d.name, sizeof d.name, "%s", c.first);
        d.type = c.second;
    }
    return s;
}

// Rows r0, r1, ... holding the given JSON texts; frees them on destruction.
struct RowSet {
    std::vector<SelectRow> rows;
    explicit RowSet(const std::vector<std::string>& jsons) : rows(jsons.size()) {
        for (size_t i = 0; i < jsons.size(); ++i) {
            snprintf(rows[i].key, sizeof rows[i].key, "r%zu", i);
            rows[i].row_json = xstrdup(jsons[i].c_str());
        }
    }
    ~RowSet() {
        for (SelectRow& r : rows) free(r.row_json);
    }
    RowSet(const RowSet&) = delete;
    RowSet& operator=(const RowSet&) = delete;
    SelectRow* data() { return rows.data(); }
    int size() const { return static_cast<int>(rows.size()); }
    std::string keys() const {
        std::string k;
        for (const SelectRow& r : rows) k += std::string(k.empty() ? "" : ",") + r.key;
        return k;
    }
};

// Parses a SELECT with the real parser (the table name is discarded).
inline SelectQuery parse_query(const char* sql) {
    SelectQuery q{};
    char table[256];
    char err[256] = {0};
    if (parse_select_sql(sql, table, sizeof table, &q, err, sizeof err) != 0) {
        ADD_FAILURE() << "parse failed: " << sql << ": " << err;
    }
    return q;
}

// Owns a heap reply text.
inline std::string take(char* text) {
    std::string s = text ? text : "";
    free(text);
    return s;
}
