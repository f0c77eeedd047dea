//~ One part of the runtime text: kylang_runtime.c includes it and the build
//~ splices it in place of that include line, dropping these //~ lines, so a
//~ generated program carries the same text as before the runtime was split.
//~ Values: construction, ownership, text and numeric forms, arithmetic,
//~ comparison, logic, CHAR, indexing and the runtime error line.
/* ======================================================================
 * 2. Values
 * ====================================================================== */

void ky_value_free(KYValue* v);

KYValue ky_null(void) {
    KYValue v;
    memset(&v, 0, sizeof v);
    v.type = KY_NULL;
    return v;
}

KYValue ky_int(long long i) {
    KYValue v = ky_null();
    v.type = KY_INT;
    v.as.i = i;
    return v;
}

KYValue ky_double(double d) {
    KYValue v = ky_null();
    v.type = KY_DOUBLE;
    v.as.d = d;
    return v;
}

KYValue ky_bool(int b) {
    KYValue v = ky_null();
    v.type = KY_BOOL;
    v.as.b = b ? 1 : 0;
    return v;
}

static char* ky_strdup(const char* s) {
    size_t n = strlen(s);
    char* out = (char*)malloc(n + 1);
    if (out) memcpy(out, s, n + 1);
    return out;
}

/* Takes ownership of an allocated text; NULL (no memory) gives null. */
static KYValue ky_string_take(char* s) {
    KYValue v = ky_null();
    if (!s) return v;
    v.type = KY_STRING;
    v.as.s = s;
    return v;
}

KYValue ky_string(const char* s) { return ky_string_take(ky_strdup(s ? s : "")); }

void ky_connection_retain(KYConnection* c) {
    if (c) c->refcount++;
}

void ky_connection_release(KYConnection* c) {
    if (!c || --c->refcount > 0) return;
    if (c->fd >= 0) close(c->fd);
    free(c);
}

void ky_recordset_retain(KYRecordSet* rs) {
    if (rs) rs->refcount++;
}

void ky_recordset_release(KYRecordSet* rs) {
    int r, f;
    if (!rs || --rs->refcount > 0) return;
    for (r = 0; r < rs->row_count; r++) {
        KYRow* row = &rs->rows[r];
        for (f = 0; f < row->field_count; f++) {
            free(row->fields[f].name);
            ky_value_free(&row->fields[f].value);
        }
        free(row->fields);
    }
    free(rs->rows);
    free(rs);
}

void ky_rowref_retain(KYRowRef* r) {
    if (r) r->refcount++;
}

void ky_rowref_release(KYRowRef* r) {
    if (!r || --r->refcount > 0) return;
    ky_recordset_release(r->rs);
    free(r);
}

/* A row value for row i of rs (retains rs); null when out of range. */
KYValue ky_row_value(KYRecordSet* rs, long long i) {
    KYValue v = ky_null();
    KYRowRef* r;
    if (!rs || i < 0 || i >= rs->row_count) return v;
    r = (KYRowRef*)malloc(sizeof *r);
    if (!r) return v;
    r->refcount = 1;
    r->rs = rs;
    r->row_index = (int)i;
    ky_recordset_retain(rs);
    v.type = KY_ROW;
    v.as.row = r;
    return v;
}

KYValue ky_value_clone(const KYValue* v) {
    KYValue out = ky_null();
    if (!v) return out;
    switch (v->type) {
    case KY_STRING: return ky_string(v->as.s);
    case KY_CONNECTION: ky_connection_retain(v->as.conn); return *v;
    case KY_RECORDSET: ky_recordset_retain(v->as.rs); return *v;
    case KY_ROW: ky_rowref_retain(v->as.row); return *v;
    default: return *v;
    }
}

void ky_value_free(KYValue* v) {
    if (!v) return;
    switch (v->type) {
    case KY_STRING: free(v->as.s); break;
    case KY_CONNECTION: ky_connection_release(v->as.conn); break;
    case KY_RECORDSET: ky_recordset_release(v->as.rs); break;
    case KY_ROW: ky_rowref_release(v->as.row); break;
    default: break;
    }
    *v = ky_null();
}

void ky_value_move_assign(KYValue* dst, KYValue* src) {
    KYValue moved;
    if (!dst || !src || dst == src) return;
    moved = *src;
    *src = ky_null();
    ky_value_free(dst);
    *dst = moved;
}

static char* ky_format_alloc(const char* fmt, ...) {
    char buf[64];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return ky_strdup(buf);
}

/* Text form of a value: a new text that the caller frees (NULL only when
 * memory is exhausted). */
char* ky_value_to_string_alloc(const KYValue* v) {
    if (!v) return ky_strdup("");
    switch (v->type) {
    case KY_INT: return ky_format_alloc("%lld", v->as.i);
    case KY_DOUBLE: return ky_format_alloc("%.15g", v->as.d);
    case KY_BOOL: return ky_strdup(v->as.b ? "true" : "false");
    case KY_STRING: return ky_strdup(v->as.s ? v->as.s : "");
    case KY_CONNECTION:
        return ky_strdup(v->as.conn && v->as.conn->fd >= 0 ? "[KyrelDB Connection]"
                                                           : "[KyrelDB Connection closed]");
    case KY_RECORDSET:
        return ky_format_alloc("[RecordSet rows=%d]", v->as.rs ? v->as.rs->row_count : 0);
    case KY_ROW: return ky_strdup("[RecordSet Row]");
    default: return ky_strdup("");
    }
}

/* Double to 64-bit integer, truncating toward zero; NaN gives 0 and values
 * beyond the range saturate instead of being undefined behaviour. */
static long long ky_double_to_ll(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return LLONG_MAX;
    if (d <= -9223372036854775808.0) return LLONG_MIN;
    return (long long)d;
}

static long long ky_numeric_ll(const KYValue* v) {
    switch (v->type) {
    case KY_INT: return v->as.i;
    case KY_DOUBLE: return ky_double_to_ll(v->as.d);
    case KY_BOOL: return v->as.b;
    case KY_STRING: {
        long long r;
        errno = 0;
        r = strtoll(v->as.s ? v->as.s : "", NULL, 10);
        return r;
    }
    default: return 0;
    }
}

static double ky_numeric_double(const KYValue* v) {
    switch (v->type) {
    case KY_INT: return (double)v->as.i;
    case KY_DOUBLE: return v->as.d;
    case KY_BOOL: return (double)v->as.b;
    case KY_STRING: return strtod(v->as.s ? v->as.s : "", NULL);
    default: return 0.0;
    }
}

long long ky_value_to_int(KYValue v) {
    long long r = ky_numeric_ll(&v);
    ky_value_free(&v);
    return r;
}

double ky_value_to_double(KYValue v) {
    double r = ky_numeric_double(&v);
    ky_value_free(&v);
    return r;
}

void ky_error(const char* msg) {
    printf("\033[%d;1H\033[97;41mKyrel Language runtime error: %s\033[0m", g_rows,
           msg ? msg : "error");
    fflush(stdout);
}

/* 64-bit integer arithmetic wraps around instead of overflowing. */
static long long ky_wrap_add(long long a, long long b) {
    return (long long)((unsigned long long)a + (unsigned long long)b);
}
static long long ky_wrap_sub(long long a, long long b) {
    return (long long)((unsigned long long)a - (unsigned long long)b);
}
static long long ky_wrap_mul(long long a, long long b) {
    return (long long)((unsigned long long)a * (unsigned long long)b);
}

KYValue ky_add(KYValue a, KYValue b) {
    KYValue r;
    if (a.type == KY_STRING || b.type == KY_STRING) {
        char* ta = ky_value_to_string_alloc(&a);
        char* tb = ky_value_to_string_alloc(&b);
        char* joined = NULL;
        if (ta && tb) {
            size_t la = strlen(ta), lb = strlen(tb);
            joined = (char*)malloc(la + lb + 1);
            if (joined) {
                memcpy(joined, ta, la);
                memcpy(joined + la, tb, lb + 1);
            }
        }
        free(ta);
        free(tb);
        r = ky_string_take(joined);
    } else if (a.type == KY_DOUBLE || b.type == KY_DOUBLE) {
        r = ky_double(ky_numeric_double(&a) + ky_numeric_double(&b));
    } else {
        r = ky_int(ky_wrap_add(ky_numeric_ll(&a), ky_numeric_ll(&b)));
    }
    ky_value_free(&a);
    ky_value_free(&b);
    return r;
}

KYValue ky_sub(KYValue a, KYValue b) {
    KYValue r;
    if (a.type == KY_DOUBLE || b.type == KY_DOUBLE)
        r = ky_double(ky_numeric_double(&a) - ky_numeric_double(&b));
    else
        r = ky_int(ky_wrap_sub(ky_numeric_ll(&a), ky_numeric_ll(&b)));
    ky_value_free(&a);
    ky_value_free(&b);
    return r;
}

KYValue ky_mul(KYValue a, KYValue b) {
    KYValue r;
    if (a.type == KY_DOUBLE || b.type == KY_DOUBLE)
        r = ky_double(ky_numeric_double(&a) * ky_numeric_double(&b));
    else
        r = ky_int(ky_wrap_mul(ky_numeric_ll(&a), ky_numeric_ll(&b)));
    ky_value_free(&a);
    ky_value_free(&b);
    return r;
}

KYValue ky_div(KYValue a, KYValue b) {
    double x = ky_numeric_double(&a), y = ky_numeric_double(&b);
    ky_value_free(&a);
    ky_value_free(&b);
    if (y == 0.0) {
        ky_error("division by zero");
        return ky_null();
    }
    return ky_double(x / y);
}

KYValue ky_char(KYValue v) {
    long long c = ky_value_to_int(v);
    char buf[2];
    if (c < 0 || c > 255) {
        ky_error("CHAR value must be between 0 and 255");
        return ky_null();
    }
    buf[0] = (char)c;
    buf[1] = '\0';
    return ky_string(buf);
}

static int ky_truth_of(const KYValue* v) {
    switch (v->type) {
    case KY_BOOL: return v->as.b != 0;
    case KY_INT: return v->as.i != 0;
    case KY_DOUBLE: return v->as.d != 0.0;
    case KY_STRING: return v->as.s && v->as.s[0] != '\0';
    default: return 0;
    }
}

int ky_truth_value(KYValue v) {
    int t = ky_truth_of(&v);
    ky_value_free(&v);
    return t;
}

static int ky_is_number_like(KYType t) { return t == KY_INT || t == KY_DOUBLE || t == KY_BOOL; }

/* Three-way comparison: both null are equal; numbers (and booleans) compare
 * as doubles; everything else compares by text form, bytewise. */
static int ky_compare(const KYValue* a, const KYValue* b) {
    if (a->type == KY_NULL && b->type == KY_NULL) return 0;
    if (ky_is_number_like(a->type) && ky_is_number_like(b->type)) {
        double x = ky_numeric_double(a), y = ky_numeric_double(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    } else {
        char* ta = ky_value_to_string_alloc(a);
        char* tb = ky_value_to_string_alloc(b);
        int c = strcmp(ta ? ta : "", tb ? tb : "");
        free(ta);
        free(tb);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
}

static KYValue ky_cmp_result(KYValue* a, KYValue* b, int want_lt, int want_eq, int want_gt) {
    int c = ky_compare(a, b);
    ky_value_free(a);
    ky_value_free(b);
    return ky_bool(c < 0 ? want_lt : (c == 0 ? want_eq : want_gt));
}

KYValue ky_cmp_eq(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 0, 1, 0); }
KYValue ky_cmp_ne(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 1, 0, 1); }
KYValue ky_cmp_lt(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 1, 0, 0); }
KYValue ky_cmp_le(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 1, 1, 0); }
KYValue ky_cmp_gt(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 0, 0, 1); }
KYValue ky_cmp_ge(KYValue a, KYValue b) { return ky_cmp_result(&a, &b, 0, 1, 1); }

KYValue ky_and(KYValue a, KYValue b) {
    int x = ky_truth_value(a), y = ky_truth_value(b);
    return ky_bool(x && y);
}

KYValue ky_or(KYValue a, KYValue b) {
    int x = ky_truth_value(a), y = ky_truth_value(b);
    return ky_bool(x || y);
}

KYValue ky_not(KYValue a) { return ky_bool(!ky_truth_value(a)); }

static int ky_ascii_casecmp(const char* a, const char* b) {
    for (;; a++, b++) {
        int ca = tolower((unsigned char)*a), cb = tolower((unsigned char)*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

KYValue ky_index(KYValue base, KYValue key) {
    KYValue r = ky_null();
    if (base.type == KY_RECORDSET) {
        r = ky_row_value(base.as.rs, ky_numeric_ll(&key));
    } else if (base.type == KY_ROW && base.as.row && base.as.row->rs) {
        KYRowRef* ref = base.as.row;
        char* name = ky_value_to_string_alloc(&key);
        if (name && ref->row_index >= 0 && ref->row_index < ref->rs->row_count) {
            const KYRow* row = &ref->rs->rows[ref->row_index];
            int f;
            for (f = 0; f < row->field_count; f++) {
                if (row->fields[f].name && ky_ascii_casecmp(row->fields[f].name, name) == 0) {
                    r = ky_value_clone(&row->fields[f].value);
                    break;
                }
            }
        }
        free(name);
    } else if (base.type == KY_STRING && base.as.s) {
        long long i = ky_numeric_ll(&key);
        if (i >= 0 && (unsigned long long)i < (unsigned long long)strlen(base.as.s)) {
            char buf[2];
            buf[0] = base.as.s[i];
            buf[1] = '\0';
            r = ky_string(buf);
        }
    }
    ky_value_free(&base);
    ky_value_free(&key);
    return r;
}
