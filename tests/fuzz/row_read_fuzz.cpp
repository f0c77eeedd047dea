// Fuzz target: stored rows read in place. Over an arbitrary row text, the
// one-walk member finder must find exactly what json_extract_raw finds, and
// the prepared WHERE must decide exactly as select_row_matches_where, for
// every operator and the predicate values the input carries.
//
// Input: parts split at byte 0x01; the first is the row text, the others are
// predicate values (and member names for the finder).
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json_text.h"
#include "base/text_util.h"
#include "fuzz_input.h"
#include "query/row_read.h"
#include "query/select_parse.h"
#include "query/select_plan.h"
#include "storage/ident.h"
#include "storage/table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = kyrel_fuzz::parts(data, size, 2);
    const char* row = parts[0].c_str();

    static const char* kNames[] = {"a", "b", "s", "d", "t", ""};
    RowFields fields;
    std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    for (size_t i = 1; i < parts.size() && i < 4; ++i) names.push_back(parts[i]);
    std::vector<int> idx;
    for (const std::string& n : names) idx.push_back(fields.add(n.c_str()));
    fields.read(row);
    for (size_t i = 0; i < names.size(); ++i) {
        char* raw = nullptr;
        bool want = json_extract_raw(row, names[i].c_str(), &raw) == 0;
        if (fields.present(idx[i]) != want) abort();
        if (want) {
            if (strcmp(fields.raw(idx[i]), raw) != 0) abort();
            trim_ws(raw);
            if (strcmp(fields.trimmed(idx[i]), raw) != 0) abort();
        }
        free(raw);
    }

    static TableSchema schema = [] {
        TableSchema s{};
        const char* cols[] = {"a", "b", "s", "d", "t", "u"};
        const int types[] = {COL_TYPE_INT,    COL_TYPE_BOOL,      COL_TYPE_STRING,
                             COL_TYPE_DOUBLE, COL_TYPE_TIMESTAMP, 0};
        for (int i = 0; i < 6; ++i) {
            snprintf(s.columns[i].name, sizeof s.columns[i].name, "%s", cols[i]);
            s.columns[i].type = types[i];
        }
        s.column_count = 6;
        return s;
    }();
    static SelectQuery q;
    for (size_t v = 1; v < parts.size() && v < 4; ++v) {
        for (const char* col : {"a", "b", "s", "d", "t", "u", "A"}) {
            for (const char* op : {"=", "!=", "<>", "<", "<=", ">", ">="}) {
                q = SelectQuery{};
                q.has_where = 1;
                q.pred_count = 1;
                snprintf(q.pred_col[0], sizeof q.pred_col[0], "%s", col);
                snprintf(q.pred_op[0], sizeof q.pred_op[0], "%s", op);
                snprintf(q.pred_value[0], sizeof q.pred_value[0], "%s", parts[v].c_str());
                RowFields f;
                WherePlan plan;
                plan.prepare(&schema, &q, &f);
                f.read(row);
                char e1[64] = "", e2[64] = "";
                if (plan.match(f, e2, sizeof e2) !=
                    select_row_matches_where(&schema, &q, row, e1, sizeof e1))
                    abort();
                if (strcmp(e1, e2) != 0) abort();
            }
        }
    }
    return 0;
}
