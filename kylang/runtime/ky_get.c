//~ One part of the runtime text: kylang_runtime.c includes it and the build
//~ splices it in place of that include line, dropping these //~ lines, so a
//~ generated program carries the same text as before the runtime was split.
//~ Input masks and GET: the field editor under a mask and the plain GET.

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

//~ Longer than the runtime's other functions: one key loop over one field's
//~ state (display, cursor, filled count), where every key kind changes several
//~ of them; splitting it would pass that state around and change the text every
//~ generated program carries.
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
