// Fuzz target: the Kyrel Language compiler's lexer and parser over one
// source text, statement by statement as the driver runs them (errors are
// counted and printed, not fatal); a program without errors is also turned
// into C.
#include "fuzz_input.h"
#include "kylang.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Parser p;
    p.path = "fuzz.prg";
    p.src = kyrel_fuzz::text(data, size);
    advance(p);
    while (p.tok.kind != TOK_EOF) parse_statement(p);
    if (p.errors == 0 && p.blocks.empty()) {
        bool complete = true;
        for (auto& f : p.funcs) complete = complete && f->defined;
        for (auto& f : p.forms) complete = complete && f->defined;
        if (complete) build_c_file(p);
    }
    return 0;
}
