// Fuzz target: the JSON text helpers over arbitrary text, and the promise
// the writer makes: whatever it is given, its output is valid UTF-8 without
// raw control characters, and it reads back to what it was given when that
// was valid UTF-8.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json_text.h"
#include "base/text_util.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = kyrel_fuzz::text(data, size);
    const char* s = in.c_str();

    char* esc = json_escape_string(s);
    if (esc) {
        const size_t n = strlen(esc);
        if (!utf8_valid(esc, n, nullptr)) abort();
        for (size_t i = 0; i < n; i++)
            if (static_cast<unsigned char>(esc[i]) < 0x20) abort();
        // \u0000 cannot come back; any other valid text must.
        if (utf8_valid(s, strlen(s), nullptr)) {
            char* back = json_unescape_fragment(esc);
            if (!back || strcmp(back, s) != 0) abort();
            free(back);
        }
        free(esc);
    }
    free(make_error_json(s));
    free(json_quote_token(s));

    for (const char* key : {"action", "sql", "a", "", "data"}) {
        json_find_key(s, key);
        char small[16], big[4096];
        json_extract_string(s, key, small, sizeof small);
        json_extract_string(s, key, big, sizeof big);
        char* out = nullptr;
        if (json_extract_string_alloc(s, key, &out) == 0) free(out);
        if (json_extract_raw(s, key, &out) == 0) free(out);
        if (json_extract_object_raw(s, key, &out) == 0) free(out);
        char** items = nullptr;
        int count = 0;
        if (json_extract_array_objects_raw(s, key, &items, &count) == 0)
            free_string_array(items, count);
        long long n = 0;
        json_extract_ll(s, key, &n);
    }
    scan_json_value_end(s);
    if (s[0] == '"') scan_json_string_end(s);
    free(json_unescape_fragment(s));
    size_t bad = 0;
    json_surrogates_paired(in.data(), in.size(), &bad);
    return 0;
}
