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

//~ The runtime is split into parts by what they hold; the build puts each
//~ part's text in place of its include line and drops every line that starts
//~ with //~ (these notes), so the text above and the parts' text are what a
//~ generated program carries.
#include "ky_values.c"
#include "ky_screen.c"
#include "ky_get.c"
#include "ky_database.c"
