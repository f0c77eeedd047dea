/*
 * JSON string escaping of the system's clients: the command-line client, the
 * connector library and the kylang runtime write request texts the same way.
 * (The server and the router keep their own escapers: the server replaces
 * malformed UTF-8, and both write backspace and form feed as \u escapes.)
 */
#ifndef KYREL_JSON_ESCAPE_H
#define KYREL_JSON_ESCAPE_H

#ifdef __cplusplus
extern "C" {
#endif

/* A malloc'd copy of text fit to stand between the quotes of a JSON string:
 * '"' and '\\' get a backslash; backspace, tab, line feed, form feed and
 * carriage return become \b \t \n \f \r; every other byte below 0x20 becomes
 * \u%04x (lower-case hex); every other byte, 0x7F and bytes from 0x80 on
 * included, is copied. NULL reads as "". NULL when memory runs out. */
char* kyrel_json_escape(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* KYREL_JSON_ESCAPE_H */
