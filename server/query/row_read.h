// Stored rows read in place: the members a statement needs, found in one walk
// of the row text (RowFields), and its WHERE clause prepared once for every
// row (WherePlan).
//
// Both give exactly what the per-member readers give on a copy of the row:
// a member is the first quoted name equal to it and followed by ':' at any
// depth (json_find_key), its value runs from the first non-blank after ':' to
// the end scan_json_value_end finds; a member whose value does not end is
// absent. Nothing is allocated per row once the scratch texts have grown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "query/select_plan.h"

struct TableSchema;
struct SelectQuery;

class RowFields {
  public:
    // Index of member `name`, added once (exact text). Names longer than 124
    // bytes are never found, as with json_find_key.
    int add(const char* name);
    int count() const { return static_cast<int>(names_.size()); }

    // Starts on a row text (NULL: no member is present). The text is walked
    // only as far as the members asked for so far need, and never twice.
    void read(const char* json);
    bool present(int f) {
        if (f < 0) return false;
        while (state_[f] == UNSEEN) step();
        return state_[f] == FOUND;
    }
    // For a present member only: the value as json_extract_raw copies it,
    // [*begin, *begin + *len), untrimmed.
    void raw_span(int f, const char** begin, size_t* len) const;
    // NUL-terminated copy of the raw value; valid until the next read().
    const char* raw(int f);
    // The raw value trimmed by trim_ws; valid until the next read().
    const char* trimmed(int f);

  private:
    enum State : unsigned char { UNSEEN, FOUND, ABSENT };
    // Walks on to the next string of the text; at the end every member not
    // yet seen is absent.
    void step();
    const char* p_ = nullptr;
    std::vector<std::string> names_;
    std::vector<const char*> begin_, end_;
    std::vector<State> state_;
    std::vector<std::string> raw_, trim_;
    std::vector<unsigned char> have_raw_, have_trim_;
};

// The WHERE clause of one statement against one schema: predicate columns
// resolved, predicate values unquoted and converted once. Matching a row
// gives what select_row_matches_where gives for it.
class WherePlan {
  public:
    // Registers the predicate columns in fields. Never fails: a column the
    // schema lacks is reported by match() when a row reaches it.
    void prepare(const TableSchema* schema, const SelectQuery* query, RowFields* fields);
    bool active() const { return active_; }
    // True when some row could end the statement with "unknown WHERE
    // column"; otherwise no row can.
    bool may_fail() const { return may_fail_; }
    // For the row last read into fields.
    SelectMatch match(RowFields& fields, char* err, size_t errlen);

  private:
    struct Pred {
        bool known = false;
        int field = -1;
        int type = 0;
        int op = 0;               // index into the operator table; 0 never holds
        bool value_null = false;  // the predicate value is JSON null: never holds
        std::string value;        // unquoted value
        double real = 0;
        long integer = 0;
        int truth = 0;
    };
    bool active_ = false;
    bool may_fail_ = false;
    std::vector<Pred> preds_;
    std::string work_;
};
