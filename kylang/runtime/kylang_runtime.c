/*
 * Embedded Kyrel Language Runtime
 *
 * The kylang compiler copies this whole text to the head of every C file it
 * generates, so generated programs do not require runtime/kylang_runtime.c
 * (or anything but the C library, the maths library, POSIX sockets and
 * termios) when they are built or run. The shared C helpers it includes from
 * common/c are put in place of their include lines when the compiler is
 * built, so the text it copies is whole. The runtime is single-threaded.
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
#include <strings.h>
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
        char* s;
        KYConnection* conn;
        KYRecordSet* rs;
        KYRowRef* row;
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
    char* name;
    KYValue value;
} KYField;

typedef struct {
    int field_count;
    KYField* fields;
} KYRow;

struct KYRecordSet {
    int refcount;
    int row_count;
    KYRow* rows;
};

/* A row value: a reference into a record set that it keeps alive. */
struct KYRowRef {
    int refcount;
    KYRecordSet* rs;
    int row_index;
};

/* Screen size, process-wide; the runtime error line uses the last row. */
static int g_rows = 24;
static int g_cols = 80;

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
static void ky_copy_cut(char* dst, size_t n, const char* src) {
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
static void mask_to_ansi(const char* spec, char* out, size_t n) {
    int fg = 30 + 7, bg = 40 + 0;
    const char* slash;
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

void ky_set_read_mask(const char* spec) {
    ky_copy_cut(g_read_mask, sizeof g_read_mask, spec);
    mask_to_ansi(g_read_mask, g_read_ansi, sizeof g_read_ansi);
}

void ky_set_say_mask(const char* spec) {
    ky_copy_cut(g_say_mask, sizeof g_say_mask, spec);
    mask_to_ansi(g_say_mask, g_say_ansi, sizeof g_say_ansi);
}

void ky_set_date_mask(const char* pattern) {
    ky_copy_cut(g_date_mask, sizeof g_date_mask, pattern);
}

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

void ky_say(int row, int col, const KYValue* v) {
    char* text;
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

static int ky_find_menu(const char* name) {
    int i;
    for (i = 0; i < g_menu_count; i++)
        if (ky_ascii_casecmp(g_menus[i].name, name) == 0) return i;
    return -1;
}

static int ky_find_popup(const char* name) {
    int i;
    for (i = 0; i < g_popup_count; i++)
        if (ky_ascii_casecmp(g_popups[i].name, name) == 0) return i;
    return -1;
}

static int ky_popup_for_item(const char* item) {
    int i;
    for (i = 0; i < g_popup_count; i++)
        if (g_popups[i].attach_item[0] && ky_ascii_casecmp(g_popups[i].attach_item, item) == 0)
            return i;
    return -1;
}

void ky_menu_define(const char* name) {
    char cut[KY_UI_NAME_MAX];
    KYMenuDef* m;
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

void ky_menu_add_item(const char* menu, const char* item, const char* prompt,
                      KYMenuCallback callback) {
    char cut[KY_UI_NAME_MAX];
    int mi;
    KYMenuDef* m;
    KYMenuItemDef* it;
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

void ky_popup_define(const char* popup, const char* attach_item) {
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

void ky_popup_add_choice(const char* popup, const char* prompt, KYMenuCallback callback) {
    char cut[KY_UI_NAME_MAX];
    int pi;
    KYPopupDef* p;
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

/* Leaving raw mode between fields keeps the keys typed ahead for the next
 * field (TCSADRAIN); at exit the program's unread keys are dropped
 * (TCSAFLUSH), so they never reach the shell that started it. */
static void ky_restore_terminal_now(int when) {
    if (g_raw_saved) {
        tcsetattr(STDIN_FILENO, when, &g_saved_termios);
        g_raw_saved = 0;
    }
}

static void ky_restore_at_exit(void) {
    if (g_raw_saved) {
        ky_restore_terminal_now(TCSAFLUSH);
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
    if (--g_raw_depth == 0) ky_restore_terminal_now(TCSADRAIN);
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
    KYMenuDef* m;
    int i, col = 1;
    ky_move(0, 0);
    printf("\033[44;97m");
    for (i = 0; i < g_cols; i++) putchar(' ');
    if (g_menu_count > 0) {
        m = &g_menus[0];
        for (i = 0; i < m->item_count; i++) {
            KYMenuItemDef* it = &m->items[i];
            int len = (int)strlen(it->prompt);
            if (col >= g_cols - 1) break;
            it->col = col;
            it->popup_index = ky_popup_for_item(it->name);
            ky_move(0, col);
            if (i == selected) printf("\033[30;47m");
            /* A prompt too long for the row is cut at its end. */
            printf(" %.*s ",
                   len + 3 <= g_cols - col ? len : (g_cols - col - 2 > 0 ? g_cols - col - 2 : 0),
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

static KYPopupBox ky_popup_geometry(const KYPopupDef* p, int col) {
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

static void ky_draw_popup(const KYPopupDef* p, const KYPopupBox* b, int selected) {
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

static void ky_blank_popup(const KYPopupBox* b) {
    int r, c;
    printf("\033[0m");
    for (r = 0; r < b->h; r++) {
        ky_move(b->row + r, b->col);
        for (c = 0; c < b->w + 2; c++) putchar(' ');
    }
}

/* Runs one open pop-up until it closes; returns EOF at end of input. */
static int ky_run_popup(const KYPopupDef* p, int col) {
    KYPopupBox b = ky_popup_geometry(p, col);
    int sel = 0, key;
    ky_draw_popup(p, &b, sel);
    for (;;) {
        key = read_key_raw();
        if (key == EOF) {
            ky_blank_popup(&b);
            return EOF;
        }
        if (key == KY_KEY_UP)
            sel = sel > 0 ? sel - 1 : p->choice_count - 1;
        else if (key == KY_KEY_DOWN)
            sel = sel + 1 < p->choice_count ? sel + 1 : 0;
        else if (key == KY_KEY_ESC)
            break;
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
        KYMenuDef* m = g_menu_count > 0 ? &g_menus[0] : NULL;
        key = read_key_raw();
        if (key == EOF) break;
        if (key == KY_KEY_CTRL_X) {
            ky_app_request_exit();
            break;
        }
        if (!m || m->item_count == 0) continue;
        if (sel >= m->item_count) sel = 0;
        if (key == KY_KEY_LEFT || key == KY_KEY_RIGHT) {
            if (key == KY_KEY_LEFT)
                sel = sel > 0 ? sel - 1 : m->item_count - 1;
            else
                sel = sel + 1 < m->item_count ? sel + 1 : 0;
            render_menu_bar(sel);
        } else if (key == KY_KEY_DOWN || key == KY_KEY_ENTER) {
            KYMenuItemDef* it = &m->items[sel];
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

/* --- tables --- */

void ky_draw_table(int row1, int col1, int row2, int col2, int border) {
    const char *tl, *tr, *bl, *br, *hz, *vt;
    int r, c;
    if (row1 < 0 || row1 >= g_rows || row2 < 0 || row2 >= g_rows || col1 < 0 || col1 >= g_cols ||
        col2 < 0 || col2 >= g_cols) {
        ky_error("TABLE coordinate is outside the screen");
        return;
    }
    if (row2 <= row1 || col2 <= col1) {
        ky_error("TABLE requires bottom/right coordinate greater than top/left coordinate");
        return;
    }
    if (border == KY_BORDER_DOUBLE) {
        tl = "\xe2\x95\x94";
        tr = "\xe2\x95\x97";
        bl = "\xe2\x95\x9a";
        br = "\xe2\x95\x9d";
        hz = "\xe2\x95\x90";
        vt = "\xe2\x95\x91";
    } else {
        tl = "\xe2\x94\x8c";
        tr = "\xe2\x94\x90";
        bl = "\xe2\x94\x94";
        br = "\xe2\x94\x98";
        hz = "\xe2\x94\x80";
        vt = "\xe2\x94\x82";
    }
    fputs(g_say_ansi, stdout);
    ky_move(row1, col1);
    fputs(tl, stdout);
    for (c = col1 + 1; c < col2; c++) fputs(hz, stdout);
    fputs(tr, stdout);
    for (r = row1 + 1; r < row2; r++) {
        ky_move(r, col1);
        fputs(vt, stdout);
        ky_move(r, col2);
        fputs(vt, stdout);
    }
    ky_move(row2, col1);
    fputs(bl, stdout);
    for (c = col1 + 1; c < col2; c++) fputs(hz, stdout);
    fputs(br, stdout);
    fputs("\033[0m", stdout);
}

/* --- input masks --- */

#define KY_GET_LINE_MAX 4095

typedef enum { KY_MASK_NONE, KY_MASK_DATE, KY_MASK_NUMERIC, KY_MASK_CHAR } KYMaskMode;

static KYMaskMode ky_mask_mode(const char* mask) {
    const char* p;
    int d = 0, m = 0, y = 0, hash = 0, numeric_only = 1, a = 0, other_alnum = 0;
    if (!mask || !mask[0]) return KY_MASK_NONE;
    for (p = mask; *p; p++) {
        int ch = (unsigned char)*p, lc = tolower(ch);
        if (lc == 'd') d++;
        if (lc == 'm') m++;
        if (lc == 'y') y++;
        if (ch == '#')
            hash++;
        else if (!strchr(".-+, ", ch))
            numeric_only = 0;
        if (lc == 'a')
            a++;
        else if (isalnum(ch))
            other_alnum = 1;
    }
    if (d && m && y) return KY_MASK_DATE;
    if (numeric_only && hash) return KY_MASK_NUMERIC;
    if (a && !other_alnum) return KY_MASK_CHAR;
    return KY_MASK_NONE;
}

static int ky_mask_is_slot(KYMaskMode mode, int ch) {
    int lc = tolower(ch);
    switch (mode) {
    case KY_MASK_DATE: return lc == 'd' || lc == 'm' || lc == 'y';
    case KY_MASK_NUMERIC: return ch == '#';
    case KY_MASK_CHAR: return lc == 'a';
    default: return 0;
    }
}

static int ky_mask_accepts(KYMaskMode mode, int ch) {
    if (ch < 0 || ch > 255) return 0;
    if (mode == KY_MASK_CHAR) return ch >= 32 && ch < 127;
    return ch >= '0' && ch <= '9';
}

/* The empty field: "_" (date, numeric) or "A" (character) per placeholder,
 * other mask characters as they are. Same length as the mask. */
static char* ky_mask_picture(const char* mask, KYMaskMode mode) {
    size_t i, n = strlen(mask);
    char* pic = (char*)malloc(n + 1);
    if (!pic) return NULL;
    for (i = 0; i < n; i++) {
        int ch = (unsigned char)mask[i];
        pic[i] = ky_mask_is_slot(mode, ch) ? (mode == KY_MASK_CHAR ? 'A' : '_') : (char)ch;
    }
    pic[n] = '\0';
    return pic;
}

static int ky_days_in_month(int month, int year) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return days[month - 1];
}

static int ky_check_date(const char* mask, const char* text) {
    int nd = 0, nm = 0, ny = 0, day = 0, month = 0, year = 0;
    size_t i;
    for (i = 0; mask[i] && text[i]; i++) {
        int lc = tolower((unsigned char)mask[i]), digit = text[i] - '0';
        if (lc == 'd') {
            nd++;
            day = day * 10 + digit;
        } else if (lc == 'm') {
            nm++;
            month = month * 10 + digit;
        } else if (lc == 'y') {
            ny++;
            year = year * 10 + digit;
        }
    }
    if (nd != 2 || nm != 2 || ny != 4) return -1;
    if (year < 1 || month < 1 || month > 12) return -1;
    if (day < 1 || day > ky_days_in_month(month, year)) return -1;
    return 0;
}

/* Formats typed text through a mask. On success *out is a new text of the
 * mask's length (the caller frees it); -1 when the text does not fit. */
static int apply_validator_mask(const char* mask, KYMaskMode mode, const char* input, char** out) {
    size_t n = strlen(mask), len = strlen(input), i, pos = 0;
    const char* in = input;
    char* res;
    *out = NULL;
    if (len > KY_GET_LINE_MAX) len = KY_GET_LINE_MAX;
    if (mode == KY_MASK_DATE || mode == KY_MASK_NUMERIC) {
        while (len > 0 && (*in == ' ' || *in == '\t')) {
            in++;
            len--;
        }
        while (len > 0 && (in[len - 1] == ' ' || in[len - 1] == '\t')) len--;
    }
    res = (char*)malloc(n + 1);
    if (!res) return -1;
    for (i = 0; i < n; i++) {
        int mc = (unsigned char)mask[i];
        if (ky_mask_is_slot(mode, mc)) {
            if (pos >= len || !ky_mask_accepts(mode, (unsigned char)in[pos])) {
                free(res);
                return -1;
            }
            res[i] = in[pos++];
        } else {
            res[i] = (char)mc;
            if (pos < len && (unsigned char)in[pos] == mc) pos++;
        }
    }
    res[n] = '\0';
    for (; pos < len; pos++) {
        if (in[pos] != ' ') {
            free(res);
            return -1;
        }
    }
    if (mode == KY_MASK_DATE && ky_check_date(mask, res) != 0) {
        free(res);
        return -1;
    }
    *out = res;
    return 0;
}

/* The number inside a text formatted by a numeric mask: the mask's literal
 * characters ("," and blanks, signs inside) are dropped so "1,234" converts;
 * the decimal point and a leading sign stay. */
static char* ky_numeric_digits(const char* mask, const char* text) {
    size_t i, n = strlen(text), k = 0;
    char* out = (char*)malloc(n + 1);
    if (!out) return NULL;
    for (i = 0; i < n; i++) {
        int mc = i < strlen(mask) ? (unsigned char)mask[i] : '#';
        int ch = (unsigned char)text[i];
        if (mc == '#' || ch == '.' || ((ch == '-' || ch == '+') && k == 0)) out[k++] = (char)ch;
    }
    out[k] = '\0';
    return out;
}

static int ky_parse_int_text(const char* s, long long* out) {
    char* end;
    const char* p = s;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '+' || *p == '-') p++;
    if (!isdigit((unsigned char)*p)) return -1;
    errno = 0;
    *out = strtoll(s, &end, 10);
    if (errno == ERANGE) return -1;
    while (*end == ' ' || *end == '\t') end++;
    return *end ? -1 : 0;
}

static int ky_parse_double_text(const char* s, double* out) {
    char* end;
    const char* p = s;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '+' || *p == '-') p++;
    if (!isdigit((unsigned char)*p) && !(*p == '.' && isdigit((unsigned char)p[1]))) return -1;
    errno = 0;
    *out = strtod(s, &end);
    if (end == s || errno == ERANGE || *out != *out) return -1;
    while (*end == ' ' || *end == '\t') end++;
    return *end ? -1 : 0;
}

static int ky_word_is(const char* s, const char* word) {
    size_t n;
    while (*s == ' ' || *s == '\t') s++;
    n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) n--;
    return n == strlen(word) && strncasecmp(s, word, n) == 0;
}

/* Stores a GET result by the target's current type. For a numeric mask the
 * number is converted without the mask's literal characters; strings keep
 * the formatted text. Returns -1 (message shown) when the text does not
 * convert, and the field is then edited again. */
static int final_assign_get_value(KYValue* target, const char* text, const char* mask,
                                  KYMaskMode mode) {
    int want_int = target->type == KY_INT, want_double = target->type == KY_DOUBLE;
    if (target->type == KY_NULL && mode == KY_MASK_NUMERIC) {
        if (strchr(mask, '.'))
            want_double = 1;
        else
            want_int = 1;
    }
    if (want_int || want_double) {
        char* num = mode == KY_MASK_NUMERIC ? ky_numeric_digits(mask, text) : ky_strdup(text);
        int rc;
        if (!num) {
            ky_error("out of memory");
            return -1;
        }
        if (want_int) {
            long long i = 0;
            rc = ky_parse_int_text(num, &i);
            if (rc == 0) {
                ky_value_free(target);
                *target = ky_int(i);
            } else {
                ky_error("Invalid integer. Please enter again.");
            }
        } else {
            double d = 0.0;
            rc = ky_parse_double_text(num, &d);
            if (rc == 0) {
                ky_value_free(target);
                *target = ky_double(d);
            } else {
                ky_error("Invalid number. Please enter again.");
            }
        }
        free(num);
        return rc;
    }
    if (target->type == KY_BOOL) {
        int b;
        if (ky_word_is(text, "true") || ky_word_is(text, "1") || ky_word_is(text, "yes"))
            b = 1;
        else if (ky_word_is(text, "false") || ky_word_is(text, "0") || ky_word_is(text, "no"))
            b = 0;
        else {
            ky_error("Invalid boolean. Enter true or false.");
            return -1;
        }
        ky_value_free(target);
        *target = ky_bool(b);
        return 0;
    }
    {
        KYValue s = ky_string(text);
        if (s.type != KY_STRING) {
            ky_error("out of memory");
            return -1;
        }
        ky_value_free(target);
        *target = s;
    }
    return 0;
}

/* --- GET --- */

/* Draws an input field: the text cut to the row, padded with blanks to
 * `pad` columns, then the cursor at the editing position. */
static void ky_draw_field(int row, int col, const char* text, size_t cursor, size_t pad) {
    size_t room = (size_t)(g_cols - col), len = strlen(text), i;
    int ccol;
    if (len > room) len = room;
    if (pad > room) pad = room;
    ky_move(row, col);
    fputs(g_read_ansi, stdout);
    fwrite(text, 1, len, stdout);
    fputs("\033[0m", stdout);
    for (i = len; i < pad; i++) putchar(' ');
    ccol = col + (int)(cursor < room ? cursor : room);
    if (ccol > g_cols - 1) ccol = g_cols - 1;
    ky_move(row, ccol);
}

static const char* const KY_MSG_NO_MATCH =
    "Input does not match validator mask. Please enter again.";

static int ky_get_line_mode(int row, int col, KYValue* target, const char* mask, KYMaskMode mode) {
    char line[KY_GET_LINE_MAX + 1];
    for (;;) {
        size_t n;
        char* formatted = NULL;
        int rc;
        ky_move(row, col);
        fputs(g_read_ansi, stdout);
        fflush(stdout);
        if (!fgets(line, sizeof line, stdin)) {
            fputs("\033[0m", stdout);
            return -1;
        }
        fputs("\033[0m", stdout);
        n = strlen(line);
        if (n > 0 && line[n - 1] != '\n') {
            /* A longer line: the rest of it is dropped. */
            int c;
            while ((c = getchar()) != EOF && c != '\n') {}
        }
        if (line[0] == 24) {
            ky_app_request_exit();
            return KY_GET_EXIT;
        }
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
        if (mode != KY_MASK_NONE) {
            if (apply_validator_mask(mask, mode, line, &formatted) != 0) {
                ky_error(KY_MSG_NO_MATCH);
                continue;
            }
        }
        rc = final_assign_get_value(target, formatted ? formatted : line, mask, mode);
        free(formatted);
        if (rc == 0) return 0;
    }
}

static int ky_get_free_edit(int row, int col, KYValue* target) {
    char buf[KY_GET_LINE_MAX + 1];
    size_t len;
    char* start = ky_value_to_string_alloc(target);
    ky_copy_cut(buf, sizeof buf, start ? start : "");
    free(start);
    len = strlen(buf);
    ky_draw_field(row, col, buf, len, 0);
    for (;;) {
        int key = read_key_raw();
        if (key == EOF) return -1;
        if (key == KY_KEY_CTRL_X) {
            ky_app_request_exit();
            return KY_GET_EXIT;
        }
        if (key == KY_KEY_UP) return KY_GET_PREV;
        if (key == KY_KEY_ENTER || key == KY_KEY_DOWN) {
            if (final_assign_get_value(target, buf, "", KY_MASK_NONE) == 0) return 0;
            ky_draw_field(row, col, buf, len, 0);
        } else if (key == KY_KEY_BACKSPACE) {
            if (len > 0) buf[--len] = '\0';
            ky_draw_field(row, col, buf, len, (size_t)(g_cols - col));
        } else if (key >= 32 && key < 127 && len < KY_GET_LINE_MAX) {
            buf[len++] = (char)key;
            buf[len] = '\0';
            ky_draw_field(row, col, buf, len, 0);
        }
    }
}

static size_t ky_next_slot(const char* mask, KYMaskMode mode, size_t from, int wrap) {
    size_t n = strlen(mask), i;
    for (i = from; i < n; i++)
        if (ky_mask_is_slot(mode, (unsigned char)mask[i])) return i;
    if (!wrap) return n;
    for (i = 0; i < n; i++)
        if (ky_mask_is_slot(mode, (unsigned char)mask[i])) return i;
    return n;
}

static int ky_get_masked_edit(int row, int col, KYValue* target, const char* mask,
                              KYMaskMode mode) {
    size_t n = strlen(mask), slots = 0, filled = 0, cur, i;
    char *pic = ky_mask_picture(mask, mode), *disp = NULL, *formatted = NULL;
    char* start = ky_value_to_string_alloc(target);
    int prefilled = 0, result = -1;
    if (!pic || !start || !(disp = ky_strdup(pic))) goto done;
    for (i = 0; i < n; i++)
        if (ky_mask_is_slot(mode, (unsigned char)mask[i])) slots++;
    cur = ky_next_slot(mask, mode, 0, 0);
    if (start[0] && apply_validator_mask(mask, mode, start, &formatted) == 0) {
        memcpy(disp, formatted, n);
        free(formatted);
        formatted = NULL;
        filled = slots;
        prefilled = 1;
    }
    ky_draw_field(row, col, disp, cur, 0);
    for (;;) {
        int key = read_key_raw();
        int check = 0;
        if (key == EOF) goto done;
        if (key == KY_KEY_CTRL_X) {
            ky_app_request_exit();
            result = KY_GET_EXIT;
            goto done;
        }
        if (key == KY_KEY_UP) {
            result = KY_GET_PREV;
            goto done;
        }
        if (key == KY_KEY_BACKSPACE) {
            size_t at = cur < n ? cur : n;
            prefilled = 0;
            /* The placeholder under the cursor when it holds a character,
             * else the nearest placeholder before the cursor. */
            if (!(at < n && ky_mask_is_slot(mode, (unsigned char)mask[at]) &&
                  disp[at] != pic[at])) {
                size_t j = at;
                while (j > 0 && !ky_mask_is_slot(mode, (unsigned char)mask[j - 1])) j--;
                if (j > 0)
                    at = j - 1;
                else
                    at = ky_next_slot(mask, mode, 0, 0);
            }
            if (at < n) {
                if (disp[at] != pic[at]) filled--;
                disp[at] = pic[at];
                cur = at;
            }
        } else if (key == KY_KEY_ENTER || key == KY_KEY_DOWN) {
            check = 1;
        } else if (key >= 32 && key < 127) {
            if (prefilled) {
                memcpy(disp, pic, n);
                filled = 0;
                prefilled = 0;
                cur = ky_next_slot(mask, mode, 0, 0);
            }
            if (cur < n && !ky_mask_is_slot(mode, (unsigned char)mask[cur])) {
                int lit = (unsigned char)mask[cur];
                cur = ky_next_slot(mask, mode, cur, 1);
                if (key == lit) {
                    ky_draw_field(row, col, disp, cur, 0);
                    continue;
                }
            }
            if (cur >= n) {
                ky_draw_field(row, col, disp, cur, 0);
                continue;
            }
            if (!ky_mask_accepts(mode, key)) {
                ky_error("Character is not valid for this input mask.");
            } else {
                if (disp[cur] == pic[cur]) filled++;
                disp[cur] = (char)key;
                cur = ky_next_slot(mask, mode, cur + 1, 1);
                if (filled == slots) check = 2;
            }
        }
        if (check) {
            int ok = filled == slots && apply_validator_mask(mask, mode, disp, &formatted) == 0;
            if (ok && final_assign_get_value(target, formatted, mask, mode) == 0) {
                ky_draw_field(row, col, formatted, n, 0);
                result = 0;
                goto done;
            }
            if (!ok) ky_error(KY_MSG_NO_MATCH);
            free(formatted);
            formatted = NULL;
            if (check == 2) {
                /* The field filled up but did not pass: start it afresh. */
                memcpy(disp, pic, n);
                filled = 0;
                cur = ky_next_slot(mask, mode, 0, 0);
            }
        }
        ky_draw_field(row, col, disp, cur, 0);
    }
done:
    free(pic);
    free(disp);
    free(start);
    free(formatted);
    return result;
}

int ky_get_mask(int row, int col, KYValue* target, const char* mask_text) {
    const char* mask = mask_text ? mask_text : "";
    KYMaskMode mode;
    int rc;
    if (!target) return -1;
    if (row < 0 || row >= g_rows || col < 0 || col >= g_cols) {
        ky_error("GET coordinate is outside the screen");
        return -1;
    }
    if (ky_ascii_casecmp(mask, "date") == 0) mask = g_date_mask;
    mode = ky_mask_mode(mask);
    if (mode != KY_MASK_NONE) {
        char* pic = ky_mask_picture(mask, mode);
        if (pic) ky_draw_field(row, col, pic, 0, 0);
        free(pic);
    }
    if (!isatty(STDIN_FILENO)) return ky_get_line_mode(row, col, target, mask, mode);
    if (ky_raw_on() != 0) return ky_get_line_mode(row, col, target, mask, mode);
    if (mode != KY_MASK_NONE)
        rc = ky_get_masked_edit(row, col, target, mask, mode);
    else
        rc = ky_get_free_edit(row, col, target);
    ky_raw_off();
    return rc;
}

int ky_get(int row, int col, KYValue* target) { return ky_get_mask(row, col, target, NULL); }

/* ======================================================================
 * 4. Database client
 * ====================================================================== */

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#define KY_KYRELDB_MAX_FRAME 16777216u
#define KY_KYRELDB_TIMEOUT_SECONDS 30

/* The frame codec and the JSON escaping the runtime shares with the other
 * programs (common/c): the build puts their text here, in place of these
 * includes, when it embeds the runtime, so a generated program still
 * carries everything it needs. */
#include "kyrel_frame.c"
#include "kyrel_json_escape.c"
#include "kyrel_json_members.c"

static const char KY_REPLY_NOT_CONNECTED[] = "{\"ok\":false,\"error\":\"not connected\"}";
static const char KY_REPLY_SEND_FAILED[] = "{\"ok\":false,\"error\":\"send failed\"}";
static const char KY_REPLY_RECV_FAILED[] = "{\"ok\":false,\"error\":\"receive failed\"}";
static const char KY_REPLY_OOM[] = "{\"ok\":false,\"error\":\"oom\"}";

/* JSON string body for s (no surrounding quotes); NULL without memory. */
char* ky_json_escape_alloc(const char* s) { return kyrel_json_escape(s); }

/* A reply has succeeded when it is one JSON object whose own "ok" member is
 * true. A nested "ok" (a row's column, say), text inside a string, a reply
 * that is no object, or a missing reply all count as failed. */
int ky_json_is_ok(const char* reply) {
    static const char* const names[] = {"ok"};
    kyrel_json_span ok;
    if (!reply || kyrel_json_top_members(reply, names, 1, &ok) != 0 || !ok.p) return 0;
    return ok.len == 4 && memcmp(ok.p, "true", 4) == 0;
}

static void ky_connection_close_socket(KYConnection* c) {
    if (c && c->fd >= 0) {
        close(c->fd);
        c->fd = -1;
    }
}

/* One frame out: 0 sent, -1 failed. */
static int ky_kyreldb_send_json(KYConnection* c, const char* json) {
    size_t len = json ? strlen(json) : 0;
    int flags = 0;
#ifdef MSG_NOSIGNAL
    flags = MSG_NOSIGNAL;
#endif
    if (len == 0) return -1;
    return kyrel_frame_send(c->fd, json, len, flags);
}

/* One frame in: 0 with *out (caller frees), -1 failed, -2 no memory. */
static int ky_kyreldb_recv_json(KYConnection* c, char** out) {
    uint32_t len = 0;
    switch (kyrel_frame_recv(c->fd, KY_KYRELDB_MAX_FRAME, out, &len)) {
    case KYREL_FRAME_OK: return 0;
    case KYREL_FRAME_NO_MEMORY: return -2;
    default: return -1;
    }
}

/* One request and its reply text (a new text; NULL only without memory).
 * Any send or receive failure closes the connection. */
static char* ky_kyreldb_request(KYConnection* c, const char* json) {
    char* reply = NULL;
    int rc;
    if (!c || c->fd < 0) return ky_strdup(KY_REPLY_NOT_CONNECTED);
    if (!json) return ky_strdup(KY_REPLY_OOM);
    if (ky_kyreldb_send_json(c, json) != 0) {
        ky_connection_close_socket(c);
        return ky_strdup(KY_REPLY_SEND_FAILED);
    }
    rc = ky_kyreldb_recv_json(c, &reply);
    if (rc != 0) {
        /* The reply is unread, so the stream is out of step: close it. */
        ky_connection_close_socket(c);
        return ky_strdup(rc == -2 ? KY_REPLY_OOM : KY_REPLY_RECV_FAILED);
    }
    return reply;
}

static char* ky_kyreldb_sql_request(KYConnection* c, const char* sql) {
    char *esc, *req, *reply;
    size_t n;
    if (!c || c->fd < 0) return ky_strdup(KY_REPLY_NOT_CONNECTED);
    esc = ky_json_escape_alloc(sql);
    if (!esc) return ky_strdup(KY_REPLY_OOM);
    n = strlen(esc) + sizeof "{\"action\":\"sql\",\"sql\":\"\"}";
    req = (char*)malloc(n);
    if (!req) {
        free(esc);
        return ky_strdup(KY_REPLY_OOM);
    }
    snprintf(req, n, "{\"action\":\"sql\",\"sql\":\"%s\"}", esc);
    free(esc);
    reply = ky_kyreldb_request(c, req);
    free(req);
    return reply;
}

static int ky_connect_socket(const char* host, int port) {
    struct addrinfo hints, *res = NULL, *ai;
    char portbuf[16];
    int fd = -1;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    snprintf(portbuf, sizeof portbuf, "%d", port);
    if (getaddrinfo(host, portbuf, &hints, &res) != 0) return -1;
    for (ai = res; ai; ai = ai->ai_next) {
        struct timeval tv;
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        tv.tv_sec = KY_KYRELDB_TIMEOUT_SECONDS;
        tv.tv_usec = 0;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#ifdef SO_NOSIGPIPE
        {
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
        }
#endif
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    return fd;
}

static KYConnection* ky_conn_of(const KYValue* v) {
    return v && v->type == KY_CONNECTION ? v->as.conn : NULL;
}

KYValue ky_kyreldb_connect(KYValue host_v, KYValue port_v, KYValue user_v, KYValue pass_v) {
    char* host = ky_value_to_string_alloc(&host_v);
    char* user = ky_value_to_string_alloc(&user_v);
    char* pass = ky_value_to_string_alloc(&pass_v);
    long long port = ky_numeric_ll(&port_v);
    char *eu = NULL, *ep = NULL, *req = NULL, *reply = NULL;
    KYConnection* c = NULL;
    KYValue result = ky_null();
    int fd;
    ky_value_free(&host_v);
    ky_value_free(&port_v);
    ky_value_free(&user_v);
    ky_value_free(&pass_v);
    if (!host || !user || !pass) {
        ky_error("out of memory");
        goto done;
    }
    if (!host[0]) {
        free(host);
        host = ky_strdup("127.0.0.1");
        if (!host) goto done;
    }
    if (port <= 0) port = 9191;
    fd = port > 65535 ? -1 : ky_connect_socket(host, (int)port);
    if (fd < 0) {
        ky_error("KyrelDB connection failed");
        goto done;
    }
    c = (KYConnection*)malloc(sizeof *c);
    if (!c) {
        close(fd);
        ky_error("out of memory");
        goto done;
    }
    c->refcount = 1;
    c->fd = fd;
    ky_copy_cut(c->host, sizeof c->host, host);
    c->port = (int)port;
    eu = ky_json_escape_alloc(user);
    ep = ky_json_escape_alloc(pass);
    if (eu && ep) {
        size_t n = strlen(eu) + strlen(ep) + 64;
        req = (char*)malloc(n);
        if (req)
            snprintf(req, n, "{\"action\":\"login\",\"username\":\"%s\",\"password\":\"%s\"}", eu,
                     ep);
    }
    reply = ky_kyreldb_request(c, req);
    if (!ky_json_is_ok(reply)) {
        ky_error("KyrelDB login failed");
        ky_connection_release(c);
        goto done;
    }
    result.type = KY_CONNECTION;
    result.as.conn = c;
done:
    free(host);
    free(user);
    free(pass);
    free(eu);
    free(ep);
    free(req);
    free(reply);
    return result;
}

KYValue ky_kyreldb_use(KYValue conn, KYValue db) {
    KYConnection* c = ky_conn_of(&conn);
    char *name = ky_value_to_string_alloc(&db), *sql = NULL, *reply;
    if (!c || c->fd < 0)
        reply = ky_strdup(KY_REPLY_NOT_CONNECTED);
    else if (!name || !(sql = (char*)malloc(strlen(name) + 6)))
        reply = ky_strdup(KY_REPLY_OOM);
    else {
        snprintf(sql, strlen(name) + 6, "USE %s;", name);
        reply = ky_kyreldb_sql_request(c, sql);
    }
    free(name);
    free(sql);
    ky_value_free(&conn);
    ky_value_free(&db);
    return ky_string_take(reply);
}

KYValue ky_kyreldb_execute(KYValue conn, KYValue sql_v) {
    KYConnection* c = ky_conn_of(&conn);
    char *sql = ky_value_to_string_alloc(&sql_v), *reply;
    if (!c || c->fd < 0)
        reply = ky_strdup(KY_REPLY_NOT_CONNECTED);
    else if (!sql)
        reply = ky_strdup(KY_REPLY_OOM);
    else
        reply = ky_kyreldb_sql_request(c, sql);
    free(sql);
    ky_value_free(&conn);
    ky_value_free(&sql_v);
    return ky_string_take(reply);
}

KYValue ky_kyreldb_query(KYValue conn, KYValue sql) { return ky_kyreldb_execute(conn, sql); }

KYValue ky_kyreldb_close(KYValue conn) {
    ky_connection_close_socket(ky_conn_of(&conn));
    ky_value_free(&conn);
    return ky_string("{\"ok\":true,\"message\":\"closed\"}");
}

/* --- record sets ---
 * The reply's "rows" array is read with a small scanner that never looks
 * past the end of the text, also for a reply cut inside a string. */

typedef struct {
    const char* p;
    const char* end;
} KYScan;

static void ky_scan_blanks(KYScan* s) {
    while (s->p < s->end && (*s->p == ' ' || *s->p == '\t' || *s->p == '\n' || *s->p == '\r'))
        s->p++;
}

/* A JSON string at s->p (on its opening quote). With out, the decoded
 * text is returned (caller frees); without, it is only skipped. -1 when
 * the string does not end before the text does. */
static int ky_scan_string(KYScan* s, char** out) {
    const char* q = s->p + 1;
    char* buf = NULL;
    size_t k = 0;
    if (out) {
        *out = NULL;
        buf = (char*)malloc((size_t)(s->end - s->p) + 1);
        if (!buf) return -1;
    }
    while (q < s->end && *q != '"') {
        char ch = *q++;
        if (ch == '\\') {
            if (q >= s->end) break;
            ch = *q++;
            switch (ch) {
            case 'n': ch = '\n'; break;
            case 'r': ch = '\r'; break;
            case 't': ch = '\t'; break;
            case 'b': ch = '\b'; break;
            case 'f': ch = '\f'; break;
            case 'u': {
                int i;
                for (i = 0; i < 4 && q < s->end; i++) q++;
                ch = '?';
                break;
            }
            default: break; /* quote, backslash, slash and others stand for themselves */
            }
        }
        if (buf) buf[k++] = ch;
    }
    if (q >= s->end) {
        free(buf);
        return -1;
    }
    s->p = q + 1;
    if (buf) {
        buf[k] = '\0';
        *out = buf;
    }
    return 0;
}

/* Skips one value of any kind; -1 when it runs past the end of the text. */
static int ky_scan_skip_value(KYScan* s) {
    int depth = 0;
    ky_scan_blanks(s);
    if (s->p >= s->end) return -1;
    if (*s->p != '{' && *s->p != '[') {
        if (*s->p == '"') return ky_scan_string(s, NULL);
        while (s->p < s->end && !strchr(",]} \t\r\n", *s->p)) s->p++;
        return 0;
    }
    while (s->p < s->end) {
        char ch = *s->p;
        if (ch == '"') {
            if (ky_scan_string(s, NULL) != 0) return -1;
            continue;
        }
        if (ch == '{' || ch == '[')
            depth++;
        else if (ch == '}' || ch == ']') {
            depth--;
            if (depth == 0) {
                s->p++;
                return 0;
            }
        }
        s->p++;
    }
    return -1;
}

static int ky_scan_word(KYScan* s, const char* word) {
    size_t n = strlen(word);
    if ((size_t)(s->end - s->p) < n || strncasecmp(s->p, word, n) != 0) return 0;
    s->p += n;
    return 1;
}

static int ky_scan_field_value(KYScan* s, KYValue* out) {
    *out = ky_null();
    ky_scan_blanks(s);
    if (s->p >= s->end) return -1;
    if (*s->p == '"') {
        char* text;
        if (ky_scan_string(s, &text) != 0) return -1;
        *out = ky_string_take(text);
        return 0;
    }
    if (ky_scan_word(s, "true")) {
        *out = ky_bool(1);
        return 0;
    }
    if (ky_scan_word(s, "false")) {
        *out = ky_bool(0);
        return 0;
    }
    if (ky_scan_word(s, "null")) return 0;
    if (*s->p == '-' || isdigit((unsigned char)*s->p)) {
        char num[64];
        size_t n = 0;
        int is_double = 0;
        while (s->p < s->end && (isdigit((unsigned char)*s->p) || strchr("+-.eE", *s->p))) {
            if (*s->p == '.' || *s->p == 'e' || *s->p == 'E') is_double = 1;
            if (n < sizeof num - 1) num[n++] = *s->p;
            s->p++;
        }
        num[n] = '\0';
        {
            double d = strtod(num, NULL);
            *out = is_double ? ky_double(d) : ky_int(ky_double_to_ll(d));
        }
        return 0;
    }
    return ky_scan_skip_value(s); /* object or array: the field is null */
}

static void ky_row_free(KYRow* row) {
    int f;
    for (f = 0; f < row->field_count; f++) {
        free(row->fields[f].name);
        ky_value_free(&row->fields[f].value);
    }
    free(row->fields);
    row->fields = NULL;
    row->field_count = 0;
}

/* A row object at s->p (on its "{"); -1 for a malformed one. */
static int ky_scan_row(KYScan* s, KYRow* row) {
    int cap = 0;
    row->field_count = 0;
    row->fields = NULL;
    s->p++;
    ky_scan_blanks(s);
    if (s->p < s->end && *s->p == '}') {
        s->p++;
        return 0;
    }
    for (;;) {
        char* name;
        KYValue value;
        ky_scan_blanks(s);
        if (s->p >= s->end || *s->p != '"' || ky_scan_string(s, &name) != 0) goto bad;
        ky_scan_blanks(s);
        if (s->p >= s->end || *s->p != ':') {
            free(name);
            goto bad;
        }
        s->p++;
        if (ky_scan_field_value(s, &value) != 0) {
            free(name);
            goto bad;
        }
        if (row->field_count == cap) {
            int ncap = cap ? cap * 2 : 8;
            KYField* nf = (KYField*)realloc(row->fields, (size_t)ncap * sizeof *nf);
            if (!nf) {
                free(name);
                ky_value_free(&value);
                goto bad;
            }
            row->fields = nf;
            cap = ncap;
        }
        row->fields[row->field_count].name = name;
        row->fields[row->field_count].value = value;
        row->field_count++;
        ky_scan_blanks(s);
        if (s->p < s->end && *s->p == ',') {
            s->p++;
            continue;
        }
        if (s->p < s->end && *s->p == '}') {
            s->p++;
            return 0;
        }
        goto bad;
    }
bad:
    ky_row_free(row);
    return -1;
}

static KYRecordSet* ky_parse_rows(const char* text) {
    KYRecordSet* rs = (KYRecordSet*)calloc(1, sizeof *rs);
    const char *key, *open;
    KYScan s;
    int cap = 0;
    if (!rs) return NULL;
    rs->refcount = 1;
    key = text ? strstr(text, "\"rows\"") : NULL;
    open = key ? strchr(key + 6, '[') : NULL;
    if (!open) return rs;
    s.p = open + 1;
    s.end = text + strlen(text);
    for (;;) {
        ky_scan_blanks(&s);
        if (s.p >= s.end) break;
        if (*s.p == '{') {
            KYRow row;
            if (ky_scan_row(&s, &row) != 0) break;
            if (rs->row_count == cap) {
                int ncap = cap ? cap * 2 : 16;
                KYRow* nr = (KYRow*)realloc(rs->rows, (size_t)ncap * sizeof *nr);
                if (!nr) {
                    ky_row_free(&row);
                    break;
                }
                rs->rows = nr;
                cap = ncap;
            }
            rs->rows[rs->row_count++] = row;
        } else if (*s.p == ']') {
            break;
        } else if (ky_scan_skip_value(&s) != 0) {
            break;
        }
        ky_scan_blanks(&s);
        if (s.p < s.end && *s.p == ',') {
            s.p++;
            continue;
        }
        break;
    }
    return rs;
}

KYValue ky_to_rs(KYValue v) {
    KYValue r = ky_null();
    char* text;
    KYRecordSet* rs;
    if (v.type == KY_RECORDSET) return v;
    text = ky_value_to_string_alloc(&v);
    ky_value_free(&v);
    rs = ky_parse_rows(text ? text : "");
    free(text);
    if (!rs) {
        ky_error("out of memory");
        return r;
    }
    r.type = KY_RECORDSET;
    r.as.rs = rs;
    return r;
}

long long ky_recordset_count(const KYValue* v) {
    if (!v) return 0;
    if (v->type == KY_RECORDSET && v->as.rs) return v->as.rs->row_count;
    if (v->type == KY_ROW) return 1;
    return 0;
}

KYValue ky_recordset_row(const KYValue* v, long long index) {
    if (!v) return ky_null();
    if (v->type == KY_RECORDSET) return ky_row_value(v->as.rs, index);
    if (v->type == KY_ROW && index == 0) return ky_value_clone(v);
    return ky_null();
}
