//~ One part of the runtime text: kylang_runtime.c includes it and the build
//~ splices it in place of that include line, dropping these //~ lines, so a
//~ generated program carries the same text as before the runtime was split.
//~ Screen, forms and menus: terminal output, menu tables, raw keys, the
//~ menu bar and pop-ups, and tables.

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
