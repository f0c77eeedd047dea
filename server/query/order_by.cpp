// ORDER BY sorting: one typed key per row, a bottom-up merge sort over the
// keys, then one permutation of the collected rows.
#include "query/order_by.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/err.h"
#include "base/json_text.h"
#include "base/text_util.h"
#include "storage/ident.h"
#include "storage/row_version.h"
#include "storage/table.h"

namespace {

void free_items(std::vector<SortItem>& items) {
    for (SortItem& it : items) select_sort_key_free(&it.key);
}

// One merge pass over runs of `width` items from src into dst.
void merge_pass(const SortItem* src, SortItem* dst, int n, int width, int type, int desc) {
    for (int lo = 0; lo < n; lo += 2 * width) {
        int mid = lo + width < n ? lo + width : n;
        int hi = lo + 2 * width < n ? lo + 2 * width : n;
        int i = lo, j = mid, k = lo;
        while (i < mid && j < hi) {
            if (select_sort_key_compare(&src[j].key, &src[i].key, type, desc) < 0)
                dst[k++] = src[j++];
            else
                dst[k++] = src[i++];
        }
        while (i < mid) dst[k++] = src[i++];
        while (j < hi) dst[k++] = src[j++];
    }
}

}  // namespace

void select_sort_key_from_text(int type, char* text, int position, SortKey* out) {
    *out = SortKey{};
    out->position = position;
    if (is_json_null_token(text)) {
        out->is_null = 1;
        return;
    }
    strip_sql_or_json_quotes(text);
    switch (type) {
    case COL_TYPE_STRING: out->text = text; break;
    case COL_TYPE_BOOL:
        out->bool_value = (strcasecmp(text, "true") == 0 || strcmp(text, "1") == 0) ? 1 : 0;
        break;
    case COL_TYPE_DOUBLE: out->real_value = strtold(text, nullptr); break;
    default: out->int_value = static_cast<int64_t>(strtol(text, nullptr, 10)); break;
    }
}

int select_sort_key_from_raw(int type, const char* raw, int position, SortKey* out, char* err,
                             size_t errlen) {
    if (!out) return -1;
    *out = SortKey{};
    out->position = position;
    char* copy = xstrdup(raw ? raw : "null");
    if (!copy) {
        set_err(err, errlen, "oom");
        return -1;
    }
    trim_ws(copy);
    select_sort_key_from_text(type, copy, position, out);
    if (out->text != copy) free(copy);  // a string key owns its text
    return 0;
}

int select_sort_key_from_row_json(const char* row_json, const char* column, int type, int position,
                                  SortKey* out, char* err, size_t errlen) {
    char* raw = nullptr;
    if (json_extract_raw(row_json, column, &raw) != 0) raw = nullptr;
    int rc = select_sort_key_from_raw(type, raw, position, out, err, errlen);
    free(raw);
    return rc;
}

int select_sort_key_compare(const SortKey* a, const SortKey* b, int type, int desc) {
    bool an = !a || a->is_null, bn = !b || b->is_null;
    int c = 0;
    if (an && bn) {
        c = 0;
    } else if (an) {
        c = 1;
    } else if (bn) {
        c = -1;
    } else {
        switch (type) {
        case COL_TYPE_STRING: c = strcmp(a->text ? a->text : "", b->text ? b->text : ""); break;
        case COL_TYPE_BOOL:
            c = (a->bool_value > b->bool_value) - (a->bool_value < b->bool_value);
            break;
        case COL_TYPE_DOUBLE:
            c = (a->real_value > b->real_value) - (a->real_value < b->real_value);
            break;
        default: c = (a->int_value > b->int_value) - (a->int_value < b->int_value); break;
        }
    }
    if (desc && c != 0) c = -c;
    if (c == 0) {
        int pa = a ? a->position : 0, pb = b ? b->position : 0;
        c = (pa > pb) - (pa < pb);
    }
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void select_sort_key_free(SortKey* key) {
    if (!key) return;
    free(key->text);
    key->text = nullptr;
}

int select_sort_rows_by_order(const TableSchema* schema, const SelectQuery* query, SelectRow* rows,
                              int count, char* err, size_t errlen) {
    if (!schema || !query || !rows || count < 2 || query->order_by[0] == '\0') return 0;
    int col = schema_get_col_ci(schema, query->order_by);
    if (col < 0) {
        set_err(err, errlen, "unknown ORDER BY column");
        return -1;
    }
    const int type = schema->columns[col].type;
    const char* name = schema->columns[col].name;
    const int desc = query->order_desc ? 1 : 0;
    std::vector<SortItem> a, b;
    std::vector<int32_t> target;
    SelectRow* tmp = nullptr;
    // Every merge pass writes all n items, so `a` always holds each key exactly
    // once: freeing the keys of `a` releases every text once.
    struct KeyGuard {
        std::vector<SortItem>& items;
        SelectRow*& tmp;
        ~KeyGuard() {
            free_items(items);
            delete tmp;
        }
    } guard{a, tmp};
    try {
        a.resize(static_cast<size_t>(count));
        b.resize(static_cast<size_t>(count));
        target.resize(static_cast<size_t>(count));
        tmp = new SelectRow;
    } catch (...) {
        set_err(err, errlen, "oom");
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        a[i].row_index = i;
        if (select_sort_key_from_row_json(rows[i].row_json, name, type, i, &a[i].key, err,
                                          errlen) != 0)
            return -1;
    }
    SortItem* src = a.data();
    SortItem* dst = b.data();
    for (int width = 1; width < count; width *= 2) {
        merge_pass(src, dst, count, width, type, desc);
        SortItem* t = src;
        src = dst;
        dst = t;
        if (width > count / 2) break;  // keeps width * 2 from overflowing
    }
    // rows[k] becomes the old rows[src[k].row_index]; the permutation is applied
    // in place by following its cycles with one spare row.
    for (int k = 0; k < count; ++k) target[k] = src[k].row_index;
    for (int k = 0; k < count; ++k) {
        if (target[k] < 0 || target[k] == k) continue;
        *tmp = rows[k];
        int cur = k;
        while (true) {
            int from = target[cur];
            target[cur] = -1;
            if (from == k) {
                rows[cur] = *tmp;
                break;
            }
            rows[cur] = rows[from];
            cur = from;
        }
    }
    return 0;
}
