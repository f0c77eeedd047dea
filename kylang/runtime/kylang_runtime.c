/*
 * Embedded Kyrel Language Runtime
 *
 * The kylang compiler copies this whole text to the head of every C file it
 * generates, so generated programs do not require runtime/kylang_runtime.c
 * (or anything but the C library, the maths library, POSIX sockets and
 * termios) when they are built or run. The runtime is single-threaded.
 *
 * Sections, in order:
 *   1. Types and constants shared by every section.
 *   2. Values: construction, ownership, text and numeric forms, arithmetic,
 *      comparison, logic, CHAR, indexing and the runtime error line.
 *   3. Screen, forms and menus: terminal output, GET fields, menu loop.
 *   4. Database client: connections, requests and record sets.
 *
 * Ownership: a function that takes a KYValue by value consumes it on every
 * path; one that takes a pointer only reads it. Strings own their text;
 * connections, record sets and row references are reference counted, so
 * copying retains and freeing releases. ky_value_free leaves KY_NULL.
 */
#if defined(__APPLE__) && !defined(_DARWIN_C_SOURCE)
#define _DARWIN_C_SOURCE 1
#endif
#ifndef _XOPEN_SOURCE
#define _XOPEN_SOURCE 700
#endif

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* ======================================================================
 * 1. Types and constants
 * ====================================================================== */

typedef enum {
    KY_NULL,
    KY_INT,
    KY_DOUBLE,
    KY_BOOL,
    KY_STRING,
    KY_CONNECTION,
    KY_RECORDSET,
    KY_ROW
} KYType;

typedef struct KYConnection KYConnection;
typedef struct KYRecordSet KYRecordSet;
typedef struct KYRowRef KYRowRef;

typedef struct {
    KYType type;
    union {
        long long i;
        double d;
        int b;
        char *s;
        KYConnection *conn;
        KYRecordSet *rs;
        KYRowRef *row;
    } as;
} KYValue;

typedef void (*KYCallback)(void);
typedef void (*KYMenuCallback)(void);

#define KY_GET_PREV (-2)
#define KY_GET_EXIT (-3)
#define KY_GET_NEXT (-4)

#define KY_BORDER_SINGLE 1
#define KY_BORDER_DOUBLE 2

/* A database connection; fd is -1 once closed. */
struct KYConnection {
    int refcount;
    int fd;
    char host[128];
    int port;
};

typedef struct {
    char *name;
    KYValue value;
} KYField;

typedef struct {
    int field_count;
    KYField *fields;
} KYRow;

struct KYRecordSet {
    int refcount;
    int row_count;
    KYRow *rows;
};

/* A row value: a reference into a record set that it keeps alive. */
struct KYRowRef {
    int refcount;
    KYRecordSet *rs;
    int row_index;
};

/* Screen size, process-wide; the runtime error line uses the last row. */
static int g_rows = 24;
static int g_cols = 80;

/* ======================================================================
 * 2. Values
 * ====================================================================== */

void ky_value_free(KYValue *v);

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

static char *ky_strdup(const char *s) {
    size_t n = strlen(s);
    char *out = (char *)malloc(n + 1);
    if (out) memcpy(out, s, n + 1);
    return out;
}

/* Takes ownership of an allocated text; NULL (no memory) gives null. */
static KYValue ky_string_take(char *s) {
    KYValue v = ky_null();
    if (!s) return v;
    v.type = KY_STRING;
    v.as.s = s;
    return v;
}

KYValue ky_string(const char *s) { return ky_string_take(ky_strdup(s ? s : "")); }

void ky_connection_retain(KYConnection *c) {
    if (c) c->refcount++;
}

void ky_connection_release(KYConnection *c) {
    if (!c || --c->refcount > 0) return;
    if (c->fd >= 0) close(c->fd);
    free(c);
}

void ky_recordset_retain(KYRecordSet *rs) {
    if (rs) rs->refcount++;
}

void ky_recordset_release(KYRecordSet *rs) {
    int r, f;
    if (!rs || --rs->refcount > 0) return;
    for (r = 0; r < rs->row_count; r++) {
        KYRow *row = &rs->rows[r];
        for (f = 0; f < row->field_count; f++) {
            free(row->fields[f].name);
            ky_value_free(&row->fields[f].value);
        }
        free(row->fields);
    }
    free(rs->rows);
    free(rs);
}

void ky_rowref_retain(KYRowRef *r) {
    if (r) r->refcount++;
}

void ky_rowref_release(KYRowRef *r) {
    if (!r || --r->refcount > 0) return;
    ky_recordset_release(r->rs);
    free(r);
}

/* A row value for row i of rs (retains rs); null when out of range. */
KYValue ky_row_value(KYRecordSet *rs, long long i) {
    KYValue v = ky_null();
    KYRowRef *r;
    if (!rs || i < 0 || i >= rs->row_count) return v;
    r = (KYRowRef *)malloc(sizeof *r);
    if (!r) return v;
    r->refcount = 1;
    r->rs = rs;
    r->row_index = (int)i;
    ky_recordset_retain(rs);
    v.type = KY_ROW;
    v.as.row = r;
    return v;
}

KYValue ky_value_clone(const KYValue *v) {
    KYValue out = ky_null();
    if (!v) return out;
    switch (v->type) {
    case KY_STRING:
        return ky_string(v->as.s);
    case KY_CONNECTION:
        ky_connection_retain(v->as.conn);
        return *v;
    case KY_RECORDSET:
        ky_recordset_retain(v->as.rs);
        return *v;
    case KY_ROW:
        ky_rowref_retain(v->as.row);
        return *v;
    default:
        return *v;
    }
}

void ky_value_free(KYValue *v) {
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

void ky_value_move_assign(KYValue *dst, KYValue *src) {
    KYValue moved;
    if (!dst || !src || dst == src) return;
    moved = *src;
    *src = ky_null();
    ky_value_free(dst);
    *dst = moved;
}

static char *ky_format_alloc(const char *fmt, ...) {
    char buf[64];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return ky_strdup(buf);
}

/* Text form of a value: a new text that the caller frees (NULL only when
 * memory is exhausted). */
char *ky_value_to_string_alloc(const KYValue *v) {
    if (!v) return ky_strdup("");
    switch (v->type) {
    case KY_INT: return ky_format_alloc("%lld", v->as.i);
    case KY_DOUBLE: return ky_format_alloc("%.15g", v->as.d);
    case KY_BOOL: return ky_strdup(v->as.b ? "true" : "false");
    case KY_STRING: return ky_strdup(v->as.s ? v->as.s : "");
    case KY_CONNECTION:
        return ky_strdup(v->as.conn && v->as.conn->fd >= 0 ? "[KyrelDB Connection]"
                                                           : "[KyrelDB Connection closed]");
    case KY_RECORDSET: return ky_format_alloc("[RecordSet rows=%d]", v->as.rs ? v->as.rs->row_count : 0);
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

static long long ky_numeric_ll(const KYValue *v) {
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

static double ky_numeric_double(const KYValue *v) {
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

void ky_error(const char *msg) {
    printf("\033[%d;1H\033[97;41mKyrel Language runtime error: %s\033[0m", g_rows, msg ? msg : "error");
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
        char *ta = ky_value_to_string_alloc(&a);
        char *tb = ky_value_to_string_alloc(&b);
        char *joined = NULL;
        if (ta && tb) {
            size_t la = strlen(ta), lb = strlen(tb);
            joined = (char *)malloc(la + lb + 1);
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
    if (a.type == KY_DOUBLE || b.type == KY_DOUBLE) r = ky_double(ky_numeric_double(&a) - ky_numeric_double(&b));
    else r = ky_int(ky_wrap_sub(ky_numeric_ll(&a), ky_numeric_ll(&b)));
    ky_value_free(&a);
    ky_value_free(&b);
    return r;
}

KYValue ky_mul(KYValue a, KYValue b) {
    KYValue r;
    if (a.type == KY_DOUBLE || b.type == KY_DOUBLE) r = ky_double(ky_numeric_double(&a) * ky_numeric_double(&b));
    else r = ky_int(ky_wrap_mul(ky_numeric_ll(&a), ky_numeric_ll(&b)));
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

static int ky_truth_of(const KYValue *v) {
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
static int ky_compare(const KYValue *a, const KYValue *b) {
    if (a->type == KY_NULL && b->type == KY_NULL) return 0;
    if (ky_is_number_like(a->type) && ky_is_number_like(b->type)) {
        double x = ky_numeric_double(a), y = ky_numeric_double(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    } else {
        char *ta = ky_value_to_string_alloc(a);
        char *tb = ky_value_to_string_alloc(b);
        int c = strcmp(ta ? ta : "", tb ? tb : "");
        free(ta);
        free(tb);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
}

static KYValue ky_cmp_result(KYValue *a, KYValue *b, int want_lt, int want_eq, int want_gt) {
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

static int ky_ascii_casecmp(const char *a, const char *b) {
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
        KYRowRef *ref = base.as.row;
        char *name = ky_value_to_string_alloc(&key);
        if (name && ref->row_index >= 0 && ref->row_index < ref->rs->row_count) {
            const KYRow *row = &ref->rs->rows[ref->row_index];
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

/* ======================================================================
 * 3. Screen, forms and menus
 *
 * Output is ANSI escape sequences on standard output (unbuffered); rows and
 * columns are 0-based here, 1-based on the terminal ("\033[%d;%dH"). Row 0
 * holds the menu bar. Keys are read from standard input in raw mode; when
 * standard input is not a terminal the menu loop does not run.
 * ====================================================================== */

#include <poll.h>
#include <signal.h>
#include <termios.h>

#define KY_UI_NAME_MAX 64
#define KY_UI_PROMPT_MAX 128
#define KY_MAX_MENUS 16
#define KY_MAX_MENU_ITEMS 32
#define KY_MAX_POPUPS 64
#define KY_MAX_POPUP_CHOICES 32

#define KY_KEY_UP 1001
#define KY_KEY_BACKSPACE 1002
#define KY_KEY_ENTER 1003
#define KY_KEY_ESC 1004
#define KY_KEY_CTRL_X 1005
#define KY_KEY_DOWN 1006
#define KY_KEY_LEFT 1007
#define KY_KEY_RIGHT 1008

typedef struct {
    char name[KY_UI_NAME_MAX];
    char prompt[KY_UI_PROMPT_MAX];
    int popup_index;
    int col;
    KYMenuCallback callback;
} KYMenuItemDef;

typedef struct {
    char name[KY_UI_NAME_MAX];
    int item_count;
    KYMenuItemDef items[KY_MAX_MENU_ITEMS];
} KYMenuDef;

typedef struct {
    char prompt[KY_UI_PROMPT_MAX];
    KYMenuCallback callback;
} KYPopupChoiceDef;

typedef struct {
    char name[KY_UI_NAME_MAX];
    char attach_item[KY_UI_NAME_MAX];
    int choice_count;
    KYPopupChoiceDef choices[KY_MAX_POPUP_CHOICES];
} KYPopupDef;

static char g_read_mask[32] = "w+/b";
static char g_say_mask[32] = "w/k";
static char g_date_mask[32] = "DD/MM/YYYY";
static char g_read_ansi[32] = "\033[97;44m";
static char g_say_ansi[32] = "\033[37;40m";
static int g_app_exit_requested = 0;

static KYMenuDef g_menus[KY_MAX_MENUS];
static int g_menu_count = 0;
static KYPopupDef g_popups[KY_MAX_POPUPS];
static int g_popup_count = 0;

/* Copies src into a fixed buffer of size n, cutting it if needed. */
static void ky_copy_cut(char *dst, size_t n, const char *src) {
    size_t len = src ? strlen(src) : 0;
    if (len >= n) len = n - 1;
    if (len) memcpy(dst, src, len);
    dst[len] = '\0';
}

static int ky_colour_code(int letter) {
    switch (tolower(letter)) {
    case 'k': return 0;
    case 'r': return 1;
    case 'g': return 2;
    case 'y': return 3;
    case 'b': return 4;
    case 'm': return 5;
    case 'c': return 6;
    default: return 7;
    }
}

/* Colour spec "f[+][/b]" to an escape sequence; an empty spec resets. */
static void mask_to_ansi(const char *spec, char *out, size_t n) {
    int fg = 30 + 7, bg = 40 + 0;
    const char *slash;
    if (!spec || !spec[0]) {
        snprintf(out, n, "\033[0m");
        return;
    }
    fg = 30 + ky_colour_code((unsigned char)spec[0]);
    if (spec[1] == '+') fg += 60;
    slash = strchr(spec, '/');
    if (slash && slash[1]) bg = 40 + ky_colour_code((unsigned char)slash[1]);
    snprintf(out, n, "\033[%d;%dm", fg, bg);
}

void ky_set_screen(int rows, int cols) {
    if ((rows == 24 && cols == 80) || (rows == 36 && cols == 128)) {
        g_rows = rows;
        g_cols = cols;
        return;
    }
    ky_error("supported screen sizes are 24,80 and 36,128");
}

void ky_set_read_mask(const char *spec) {
    ky_copy_cut(g_read_mask, sizeof g_read_mask, spec);
    mask_to_ansi(g_read_mask, g_read_ansi, sizeof g_read_ansi);
}

void ky_set_say_mask(const char *spec) {
    ky_copy_cut(g_say_mask, sizeof g_say_mask, spec);
    mask_to_ansi(g_say_mask, g_say_ansi, sizeof g_say_ansi);
}

void ky_set_date_mask(const char *pattern) { ky_copy_cut(g_date_mask, sizeof g_date_mask, pattern); }

int ky_init(int rows, int cols) {
    ky_set_screen(rows, cols);
    mask_to_ansi(g_read_mask, g_read_ansi, sizeof g_read_ansi);
    mask_to_ansi(g_say_mask, g_say_ansi, sizeof g_say_ansi);
    setvbuf(stdout, NULL, _IONBF, 0);
    return 0;
}

void ky_shutdown(void) {
    printf("\033[0m\033[%d;1H\n", g_rows);
    fflush(stdout);
}

void ky_clear(void) { printf("\033[0m\033[2J\033[H"); }

void ky_refresh(void) { fflush(stdout); }

static void ky_move(int row, int col) { printf("\033[%d;%dH", row + 1, col + 1); }

void ky_say(int row, int col, const KYValue *v) {
    char *text;
    size_t len, room;
    if (row < 0 || row >= g_rows || col < 0 || col >= g_cols) {
        ky_error("SAY coordinate is outside the screen");
        return;
    }
    text = ky_value_to_string_alloc(v);
    len = text ? strlen(text) : 0;
    room = (size_t)(g_cols - col);
    if (len > room) len = room;
    ky_move(row, col);
    fputs(g_say_ansi, stdout);
    if (len) fwrite(text, 1, len, stdout);
    fputs("\033[0m", stdout);
    free(text);
}

void ky_app_request_exit(void) { g_app_exit_requested = 1; }

int ky_app_should_exit(void) { return g_app_exit_requested; }

/* --- menu tables --- */

static int ky_find_menu(const char *name) {
    int i;
    for (i = 0; i < g_menu_count; i++)
        if (ky_ascii_casecmp(g_menus[i].name, name) == 0) return i;
    return -1;
}

static int ky_find_popup(const char *name) {
    int i;
    for (i = 0; i < g_popup_count; i++)
        if (ky_ascii_casecmp(g_popups[i].name, name) == 0) return i;
    return -1;
}

static int ky_popup_for_item(const char *item) {
    int i;
    for (i = 0; i < g_popup_count; i++)
        if (g_popups[i].attach_item[0] && ky_ascii_casecmp(g_popups[i].attach_item, item) == 0) return i;
    return -1;
}

void ky_menu_define(const char *name) {
    char cut[KY_UI_NAME_MAX];
    KYMenuDef *m;
    if (!name || !name[0]) return;
    ky_copy_cut(cut, sizeof cut, name);
    if (ky_find_menu(cut) >= 0) return;
    if (g_menu_count >= KY_MAX_MENUS) {
        ky_error("maximum number of menus reached");
        return;
    }
    m = &g_menus[g_menu_count++];
    memset(m, 0, sizeof *m);
    ky_copy_cut(m->name, sizeof m->name, cut);
}

void ky_menu_add_item(const char *menu, const char *item, const char *prompt, KYMenuCallback callback) {
    char cut[KY_UI_NAME_MAX];
    int mi;
    KYMenuDef *m;
    KYMenuItemDef *it;
    if (!menu || !menu[0]) return;
    ky_menu_define(menu);
    ky_copy_cut(cut, sizeof cut, menu);
    mi = ky_find_menu(cut);
    if (mi < 0) return;
    m = &g_menus[mi];
    if (m->item_count >= KY_MAX_MENU_ITEMS) {
        ky_error("maximum number of menu items reached");
        return;
    }
    it = &m->items[m->item_count++];
    memset(it, 0, sizeof *it);
    ky_copy_cut(it->name, sizeof it->name, item);
    ky_copy_cut(it->prompt, sizeof it->prompt, prompt);
    it->callback = callback;
    it->popup_index = ky_popup_for_item(it->name);
}

void ky_popup_define(const char *popup, const char *attach_item) {
    char cut[KY_UI_NAME_MAX];
    int pi, m, i;
    if (!popup || !popup[0]) return;
    ky_copy_cut(cut, sizeof cut, popup);
    pi = ky_find_popup(cut);
    if (pi < 0) {
        if (g_popup_count >= KY_MAX_POPUPS) {
            ky_error("maximum number of popups reached");
            return;
        }
        pi = g_popup_count++;
        memset(&g_popups[pi], 0, sizeof g_popups[pi]);
        ky_copy_cut(g_popups[pi].name, sizeof g_popups[pi].name, cut);
    }
    if (attach_item && attach_item[0]) {
        ky_copy_cut(g_popups[pi].attach_item, sizeof g_popups[pi].attach_item, attach_item);
        for (m = 0; m < g_menu_count; m++)
            for (i = 0; i < g_menus[m].item_count; i++)
                if (ky_ascii_casecmp(g_menus[m].items[i].name, g_popups[pi].attach_item) == 0)
                    g_menus[m].items[i].popup_index = pi;
    }
}

void ky_popup_add_choice(const char *popup, const char *prompt, KYMenuCallback callback) {
    char cut[KY_UI_NAME_MAX];
    int pi;
    KYPopupDef *p;
    if (!popup || !popup[0]) return;
    ky_copy_cut(cut, sizeof cut, popup);
    pi = ky_find_popup(cut);
    if (pi < 0) {
        ky_popup_define(cut, NULL);
        pi = ky_find_popup(cut);
        if (pi < 0) return;
    }
    p = &g_popups[pi];
    if (p->choice_count >= KY_MAX_POPUP_CHOICES) {
        ky_error("maximum number of popup choices reached");
        return;
    }
    ky_copy_cut(p->choices[p->choice_count].prompt, sizeof p->choices[0].prompt, prompt);
    p->choices[p->choice_count].callback = callback;
    p->choice_count++;
}

/* --- raw keys --- */

/* Raw mode nests: a GET inside a menu callback finds the terminal already
 * raw and leaves it so; only the outermost level saves and restores the
 * settings. ISIG stays on, so Ctrl-C and friends still end the program: a
 * handler puts the saved settings back first and then lets the signal take
 * its default effect. An exit() while raw also restores them. */
static struct termios g_saved_termios;
static volatile sig_atomic_t g_raw_saved = 0;
static int g_raw_depth = 0;
static int g_raw_hooks_installed = 0;

static void ky_restore_terminal_now(void) {
    if (g_raw_saved) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_termios);
        g_raw_saved = 0;
    }
}

static void ky_restore_at_exit(void) {
    if (g_raw_saved) {
        ky_restore_terminal_now();
        fputs("\033[0m", stdout);
        fflush(stdout);
    }
}

static void ky_restore_on_signal(int sig) {
    struct sigaction dfl;
    if (g_raw_saved) {
        ssize_t w;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_termios);
        g_raw_saved = 0;
        w = write(STDOUT_FILENO, "\033[0m", 4);
        (void)w;
    }
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, NULL);
    raise(sig); /* delivered once this handler returns */
}

static void ky_install_restore_hooks(void) {
    static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    size_t i;
    if (g_raw_hooks_installed) return;
    g_raw_hooks_installed = 1;
    atexit(ky_restore_at_exit);
    for (i = 0; i < sizeof sigs / sizeof sigs[0]; i++) {
        struct sigaction old, sa;
        if (sigaction(sigs[i], NULL, &old) != 0) continue;
        if (old.sa_handler == SIG_IGN) continue; /* keep an inherited "ignore" */
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = ky_restore_on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(sigs[i], &sa, NULL);
    }
}

static int ky_raw_on(void) {
    struct termios t;
    if (g_raw_depth > 0) {
        g_raw_depth++;
        return 0;
    }
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_termios) != 0) return -1;
    ky_install_restore_hooks();
    t = g_saved_termios;
    t.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    t.c_iflag &= ~(tcflag_t)(IXON | ICRNL);
    t.c_oflag &= ~(tcflag_t)OPOST;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    g_raw_saved = 1;
    /* Keys typed ahead (say, into the next field) are kept. */
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) {
        g_raw_saved = 0;
        return -1;
    }
    g_raw_depth = 1;
    return 0;
}

static void ky_raw_off(void) {
    if (g_raw_depth <= 0) return;
    if (--g_raw_depth == 0) ky_restore_terminal_now();
}

static int ky_read_byte(void) {
    unsigned char c;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return EOF;
    }
}

/* The next byte if one arrives within a short while, else EOF. */
static int ky_read_byte_soon(void) {
    struct pollfd pfd;
    int rc;
    pfd.fd = STDIN_FILENO;
    pfd.events = POLLIN;
    pfd.revents = 0;
    do {
        rc = poll(&pfd, 1, 100);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return EOF;
    return ky_read_byte();
}

static int read_key_raw(void) {
    int c = ky_read_byte();
    if (c == EOF) return EOF;
    if (c == 24) return KY_KEY_CTRL_X;
    if (c == 13 || c == 10) return KY_KEY_ENTER;
    if (c == 127 || c == 8) return KY_KEY_BACKSPACE;
    if (c == 27) {
        /* A lone Esc must not wait for the next key: the rest of an arrow
         * sequence arrives at once, so only briefly wait for it. */
        int c2 = ky_read_byte_soon(), c3;
        if (c2 != '[') return KY_KEY_ESC;
        c3 = ky_read_byte_soon();
        switch (c3) {
        case 'A': return KY_KEY_UP;
        case 'B': return KY_KEY_DOWN;
        case 'C': return KY_KEY_RIGHT;
        case 'D': return KY_KEY_LEFT;
        default: return KY_KEY_ESC;
        }
    }
    return c;
}

/* --- menu bar and pop-ups --- */

static void render_menu_bar(int selected) {
    KYMenuDef *m;
    int i, col = 1;
    ky_move(0, 0);
    printf("\033[44;97m");
    for (i = 0; i < g_cols; i++) putchar(' ');
    if (g_menu_count > 0) {
        m = &g_menus[0];
        for (i = 0; i < m->item_count; i++) {
            KYMenuItemDef *it = &m->items[i];
            int len = (int)strlen(it->prompt);
            if (col >= g_cols - 1) break;
            it->col = col;
            it->popup_index = ky_popup_for_item(it->name);
            ky_move(0, col);
            if (i == selected) printf("\033[30;47m");
            /* A prompt too long for the row is cut at its end. */
            printf(" %.*s ", len + 3 <= g_cols - col ? len : (g_cols - col - 2 > 0 ? g_cols - col - 2 : 0),
                   it->prompt);
            if (i == selected) printf("\033[44;97m");
            col += len + 3;
        }
    }
    printf("\033[0m");
}

void ky_menu_render(void) { render_menu_bar(0); }

void ky_menu_draw(void) { render_menu_bar(0); }

typedef struct {
    int row, col, w, h;
} KYPopupBox;

static KYPopupBox ky_popup_geometry(const KYPopupDef *p, int col) {
    KYPopupBox b;
    int i, maxlen = 0;
    for (i = 0; i < p->choice_count; i++) {
        int len = (int)strlen(p->choices[i].prompt);
        if (len > maxlen) maxlen = len;
    }
    b.w = maxlen + 2;
    if (b.w < 4) b.w = 4;
    b.h = p->choice_count + 2;
    if (g_cols > 4 && b.w > g_cols - 2) b.w = g_cols - 2;
    if (b.w < 4) b.w = 4;
    if (g_rows > 3 && b.h > g_rows - 1) b.h = g_rows - 1;
    if (b.h < 2) b.h = 2;
    b.row = 1;
    b.col = col;
    if (b.col + b.w + 1 >= g_cols) b.col = g_cols - b.w - 2;
    if (b.col < 0) b.col = 0;
    if (b.row + b.h >= g_rows) b.row = g_rows - b.h - 1;
    if (b.row < 1) b.row = 1;
    return b;
}

static void ky_hline(int n) {
    int i;
    for (i = 0; i < n; i++) fputs("\xe2\x94\x80", stdout);
}

static void ky_draw_popup(const KYPopupDef *p, const KYPopupBox *b, int selected) {
    int i, shown = b->h - 2;
    printf("\033[37;40m");
    ky_move(b->row, b->col);
    fputs("\xe2\x94\x8c", stdout);
    ky_hline(b->w);
    fputs("\xe2\x94\x90", stdout);
    for (i = 0; i < shown && i < p->choice_count; i++) {
        ky_move(b->row + 1 + i, b->col);
        fputs("\xe2\x94\x82", stdout);
        if (i == selected) printf("\033[30;47m");
        printf(" %-*.*s ", b->w - 2, b->w - 2, p->choices[i].prompt);
        if (i == selected) printf("\033[37;40m");
        fputs("\xe2\x94\x82", stdout);
    }
    ky_move(b->row + b->h - 1, b->col);
    fputs("\xe2\x94\x94", stdout);
    ky_hline(b->w);
    fputs("\xe2\x94\x98", stdout);
    printf("\033[0m");
}

static void ky_blank_popup(const KYPopupBox *b) {
    int r, c;
    printf("\033[0m");
    for (r = 0; r < b->h; r++) {
        ky_move(b->row + r, b->col);
        for (c = 0; c < b->w + 2; c++) putchar(' ');
    }
}

/* Runs one open pop-up until it closes; returns EOF at end of input. */
static int ky_run_popup(const KYPopupDef *p, int col) {
    KYPopupBox b = ky_popup_geometry(p, col);
    int sel = 0, key;
    ky_draw_popup(p, &b, sel);
    for (;;) {
        key = read_key_raw();
        if (key == EOF) {
            ky_blank_popup(&b);
            return EOF;
        }
        if (key == KY_KEY_UP) sel = sel > 0 ? sel - 1 : p->choice_count - 1;
        else if (key == KY_KEY_DOWN) sel = sel + 1 < p->choice_count ? sel + 1 : 0;
        else if (key == KY_KEY_ESC) break;
        else if (key == KY_KEY_CTRL_X) {
            ky_app_request_exit();
            break;
        } else if (key == KY_KEY_ENTER) {
            ky_blank_popup(&b);
            if (p->choices[sel].callback) p->choices[sel].callback();
            render_menu_bar(-1);
            break;
        } else {
            continue;
        }
        if (key == KY_KEY_UP || key == KY_KEY_DOWN) ky_draw_popup(p, &b, sel);
    }
    ky_blank_popup(&b);
    return 0;
}

int ky_app_loop(void) {
    int sel = 0, key;
    if (g_app_exit_requested || !isatty(STDIN_FILENO) || ky_raw_on() != 0) return 0;
    if (g_menu_count > 0 && g_menus[0].item_count > 0) render_menu_bar(sel);
    while (!g_app_exit_requested) {
        KYMenuDef *m = g_menu_count > 0 ? &g_menus[0] : NULL;
        key = read_key_raw();
        if (key == EOF) break;
        if (key == KY_KEY_CTRL_X) {
            ky_app_request_exit();
            break;
        }
        if (!m || m->item_count == 0) continue;
        if (sel >= m->item_count) sel = 0;
        if (key == KY_KEY_LEFT || key == KY_KEY_RIGHT) {
            if (key == KY_KEY_LEFT) sel = sel > 0 ? sel - 1 : m->item_count - 1;
            else sel = sel + 1 < m->item_count ? sel + 1 : 0;
            render_menu_bar(sel);
        } else if (key == KY_KEY_DOWN || key == KY_KEY_ENTER) {
            KYMenuItemDef *it = &m->items[sel];
            int pi = it->popup_index;
            if (pi < 0 || pi >= g_popup_count) {
                if (it->callback) it->callback();
                render_menu_bar(sel);
            } else if (g_popups[pi].choice_count > 0) {
                int rc = ky_run_popup(&g_popups[pi], it->col);
                if (!g_app_exit_requested) render_menu_bar(sel);
                if (rc == EOF) break;
            }
        }
    }
    ky_raw_off();
    printf("\033[0m");
    return 0;
}

/* ======================================================================
 * 4. Database client
 * ====================================================================== */
