/*
 * Top-level members of a JSON reply, as the command-line client, the
 * connector library and the runtime of compiled programs read them: a reply
 * is taken as one JSON object, and only its own members count, so that a
 * member of a nested object (a row's column, say) or text inside a string is
 * never taken for one of the reply's fields.
 */
#ifndef KYREL_JSON_MEMBERS_H
#define KYREL_JSON_MEMBERS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where one member's value stands in the reply text: [p, p + len), the text
 * as written (a string keeps its quotes and escapes). p is NULL when the
 * member is absent. */
typedef struct kyrel_json_span {
    const char* p;
    size_t len;
} kyrel_json_span;

/* Walks json, which must be one JSON object, and finds the values of its own
 * members names[0..count-1] (the first member of a repeated name) into
 * out[0..count-1]. Strings must end, brackets must match, members and
 * elements must be separated by ',' and ':' as JSON wants, and only white
 * space (blank, tab, line feed, carriage return) may stand around the object.
 * A bare scalar (number, true, false, null) is taken up to the next
 * delimiter; the member readers judge it. Open brackets are counted on the
 * heap, so no nesting depth can exhaust the stack.
 * 0 when json is such an object; -1 when it is not (or is NULL); -2 when
 * memory runs out. Unless the result is 0 every span is absent. */
int kyrel_json_top_members(const char* json, const char* const* names, size_t count,
                           kyrel_json_span* out);

#ifdef __cplusplus
}
#endif

#endif /* KYREL_JSON_MEMBERS_H */
