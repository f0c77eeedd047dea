// An ordered tree over map entries that carry a text (a primary key, an
// index value), keyed by that text under a column type's comparison exactly
// as the comparison of row values reads it (compare_json_values): int and
// timestamp by their integer, bool false before true, double by its number,
// string byte-wise. Used by the primary-key order (pk_order.cpp) and the
// index-value order (sec_order.cpp). No lock of its own.
#pragma once

#include <strings.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "storage/ident.h"
#include "storage/row_version.h"

// One condition on the ordered text: op is "=", "<", "<=", ">" or ">="; the
// operand is the statement's value text (quoted or not).
struct OrderBound {
    const char* op;
    const char* operand;
};

// Results of OrderTree::visit besides fn's own.
constexpr int ORDER_VISIT_CANNOT_SERVE = 2;  // a bound no order can answer (NaN)

template <typename E, char* E::*Text>
class OrderTree {
  public:
    // quoted: the texts are JSON strings, compared by what is between the quotes.
    OrderTree(int type, bool quoted) : type_(type), quoted_(quoted), items_(Less{this}) {}
    OrderTree(const OrderTree&) = delete;
    OrderTree& operator=(const OrderTree&) = delete;

    static bool supported(int type) {
        return type == COL_TYPE_INT || type == COL_TYPE_TIMESTAMP || type == COL_TYPE_BOOL ||
               type == COL_TYPE_STRING || type == COL_TYPE_DOUBLE;
    }
    int type() const { return type_; }
    size_t size() const { return items_.size(); }
    // Neither a failed addition nor two texts that compare equal.
    bool usable() const { return !off_ && ties_ == 0; }

    void add(E* e) {
        if (off_) return;
        try {
            auto [it, added] = items_.insert(item_of(e));
            if (!added) return;
            auto next = std::next(it);
            if ((next != items_.end() && compare(*it, *next) == 0) ||
                (it != items_.begin() && compare(*it, *std::prev(it)) == 0))
                ++ties_;
        } catch (...) {
            off_ = true;
            items_.clear();
        }
    }
    void remove(E* e) {
        if (!off_) items_.erase(item_of(e));
    }

    // Calls fn for every entry whose text satisfies all bounds, in order
    // (descending when desc). fn returns 0 to go on, 1 to stop, -1 for an
    // error; the result is fn's last non-zero answer, else 0, or
    // ORDER_VISIT_CANNOT_SERVE before anything is visited.
    int visit(const OrderBound* bounds, int n, bool desc, const std::function<int(E*)>& fn) const {
        using Iter = typename std::set<Item, Less>::const_iterator;
        const Iter end = items_.end();
        const auto& less = items_.key_comp();
        auto later = [&](Iter a, Iter b) {
            return a == end ? a : b == end ? b : less(*a, *b) ? b : a;
        };
        auto earlier = [&](Iter a, Iter b) {
            return a == end ? b : b == end ? a : less(*a, *b) ? a : b;
        };
        // The range is [lo, hi): each lower bound moves lo up, each upper one hi down.
        Iter lo = items_.begin(), hi = end;
        for (int i = 0; i < n; ++i) {
            const OrderBound& b = bounds[i];
            // A null operand makes every comparison false.
            if (is_json_null_token(b.operand)) return 0;
            std::string s = b.operand;
            strip_sql_or_json_quotes(s.data());
            s.resize(strlen(s.c_str()));
            Probe v{number_of(s.c_str()), real_of(s.c_str()), s.c_str(), s.size()};
            // NaN compares equal to everything: no range holds those rows.
            if (type_ == COL_TYPE_DOUBLE && std::isnan(v.real)) return ORDER_VISIT_CANNOT_SERVE;
            if (!strcmp(b.op, "=")) {
                lo = later(lo, items_.lower_bound(v));
                hi = earlier(hi, items_.upper_bound(v));
            } else if (!strcmp(b.op, ">=")) {
                lo = later(lo, items_.lower_bound(v));
            } else if (!strcmp(b.op, ">")) {
                lo = later(lo, items_.upper_bound(v));
            } else if (!strcmp(b.op, "<=")) {
                hi = earlier(hi, items_.upper_bound(v));
            } else if (!strcmp(b.op, "<")) {
                hi = earlier(hi, items_.lower_bound(v));
            }
        }
        if (lo == end || (hi != end && !less(*lo, *hi))) return 0;
        if (!desc) {
            for (Iter it = lo; it != hi; ++it)
                if (int r = fn(it->e)) return r;
        } else {
            for (Iter it = hi; it != lo;) {
                --it;
                if (int r = fn(it->e)) return r;
            }
        }
        return 0;
    }

  private:
    struct Item {
        long num;
        double real;
        E* e;
    };
    // A bound's value as the comparison reads it.
    struct Probe {
        long num;
        double real;
        const char* text;
        size_t len;
    };
    struct Less {
        using is_transparent = void;
        const OrderTree* tree;
        bool operator()(const Item& a, const Item& b) const {
            int c = tree->compare(a, b);
            // Texts that compare equal (counted as ties) both keep a place.
            return c != 0 ? c < 0 : strcmp(a.e->*Text, b.e->*Text) < 0;
        }
        bool operator()(const Item& a, const Probe& b) const { return tree->compare(a, b) < 0; }
        bool operator()(const Probe& a, const Item& b) const { return tree->compare(b, a) > 0; }
    };

    long number_of(const char* s) const {
        if (type_ == COL_TYPE_BOOL) return (!strcasecmp(s, "true") || !strcmp(s, "1")) ? 1 : 0;
        if (type_ == COL_TYPE_INT || type_ == COL_TYPE_TIMESTAMP) return strtol(s, nullptr, 10);
        return 0;
    }
    double real_of(const char* s) const {
        return type_ == COL_TYPE_DOUBLE ? strtod(s, nullptr) : 0.0;
    }
    // The compared part of an entry's text: without the quotes of a JSON string.
    void text_of(const E* e, const char** s, size_t* len) const {
        const char* t = e->*Text;
        size_t n = strlen(t);
        if (quoted_ && n >= 2) {
            ++t;
            n -= 2;
        }
        *s = t;
        *len = n;
    }
    Item item_of(E* e) const {
        const char* t = e->*Text;
        return Item{number_of(t), real_of(t), e};
    }
    static int bytes(const char* a, size_t an, const char* b, size_t bn) {
        int c = memcmp(a, b, an < bn ? an : bn);
        if (c == 0) c = an < bn ? -1 : (an > bn ? 1 : 0);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    int compare(const Item& a, const Item& b) const {
        switch (type_) {
        case COL_TYPE_STRING: {
            const char *x, *y;
            size_t xn, yn;
            text_of(a.e, &x, &xn);
            text_of(b.e, &y, &yn);
            return bytes(x, xn, y, yn);
        }
        case COL_TYPE_DOUBLE: return a.real < b.real ? -1 : (a.real > b.real ? 1 : 0);
        default: return a.num < b.num ? -1 : (a.num > b.num ? 1 : 0);
        }
    }
    int compare(const Item& a, const Probe& b) const {
        switch (type_) {
        case COL_TYPE_STRING: {
            const char* x;
            size_t xn;
            text_of(a.e, &x, &xn);
            return bytes(x, xn, b.text, b.len);
        }
        case COL_TYPE_DOUBLE: return a.real < b.real ? -1 : (a.real > b.real ? 1 : 0);
        default: return a.num < b.num ? -1 : (a.num > b.num ? 1 : 0);
        }
    }

    int type_;
    bool quoted_;
    std::set<Item, Less> items_;
    uint64_t ties_ = 0;  // entries added next to one that compares equal
    bool off_ = false;   // an addition failed: the tree misses entries
};
