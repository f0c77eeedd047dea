// kylang driver: command line, reading the source, the whole-program checks,
// the layout of the generated C file and the C compiler run.
//
// Generated file layout: the runtime text and a newline; the call-depth
// counter (when there are functions); one static KYValue per global; the
// prototypes of functions and forms; the function and form definitions; the
// void(void) wrappers of menu callbacks; main(), which runs the top-level
// code once and then the menu loop unless an exit was requested.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "kylang.h"

namespace {

void usage() {
    std::fputs(
        "Kyrel Language Phase 4.3 Compiler 0.4.3 Foreach RecordSet Iterator\n"
        "usage:\n"
        "  kylang input.prg -o output\n"
        "  kylang input.prg --emit-c -o output.c\n"
        "  kylang input.prg --check\n"
        "options:\n"
        "  -o PATH       output executable or C file with --emit-c\n"
        "  --emit-c      generate C only\n"
        "  --check       parse and validate only\n"
        "  --keep-c      keep generated C when compiling\n"
        "  --cc CC       C compiler command, default cc\n",
        stderr);
}

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::string read_source(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    if (std::fseek(f.get(), 0, SEEK_END) != 0) {
        std::fprintf(stderr, "cannot seek %s\n", path.c_str());
        std::exit(1);
    }
    long size = std::ftell(f.get());
    if (size < 0) {
        std::fprintf(stderr, "cannot tell %s\n", path.c_str());
        std::exit(1);
    }
    if (std::fseek(f.get(), 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "cannot seek %s\n", path.c_str());
        std::exit(1);
    }
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && std::fread(text.data(), 1, text.size(), f.get()) != text.size()) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(1);
    }
    return text;
}

// Returns false after printing the reason.
bool write_file(const std::string& path, const std::string& text) {
    FILE* raw = std::fopen(path.c_str(), "wb");
    if (!raw) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (std::fwrite(text.data(), 1, text.size(), raw) != text.size()) {
        std::fclose(raw);
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    if (std::fclose(raw) != 0) {
        std::fprintf(stderr, "cannot close %s\n", path.c_str());
        return false;
    }
    return true;
}

int run(int argc, char** argv) {
    std::string input, output, cc = "cc";
    bool have_input = false, have_output = false, emit_c = false, check = false, keep_c = false;
    if (argc < 2) {
        usage();
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
            have_output = true;
        } else if (a == "--emit-c") {
            emit_c = true;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--keep-c") {
            keep_c = true;
        } else if (a == "--cc" && i + 1 < argc) {
            cc = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else if (!have_input) {
            input = a;
            have_input = true;
        } else {
            usage();
            return 2;
        }
    }
    if (!have_input) {
        usage();
        return 2;
    }
    if (check) emit_c = false;
    if (!have_output) output = emit_c ? "out.c" : "a.out";

    Parser p;
    p.path = input;
    p.src = read_source(input);
    if (check_program(p) > 0) return 1;
    if (check) {
        std::fprintf(stderr, "%s: ok\n", input.c_str());
        return 0;
    }
    std::string c_text = build_c_file(p);
    if (emit_c) {
        if (!write_file(output, c_text)) return 1;
        std::fprintf(stderr, "[kylang] wrote %s\n", output.c_str());
        return 0;
    }
    std::string c_path = output + ".generated.c";
    if (!write_file(c_path, c_text)) return 1;
    std::string cmd;
    sb_printf(cmd, "%s -O2 %s -o %s -lm", quote_shell(cc).c_str(), quote_shell(c_path).c_str(),
              quote_shell(output).c_str());
    std::fprintf(stderr, "[kylang] %s\n", cmd.c_str());
    std::fflush(stderr);
    int status = std::system(cmd.c_str());
    if (!keep_c) std::remove(c_path.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    std::fprintf(stderr, "[kylang] built %s\n", output.c_str());
    return 0;
}

}  // namespace

int check_program(Parser& p) {
    advance(p);
    while (p.tok.kind != TOK_EOF) parse_statement(p);

    if (!p.blocks.empty()) {
        std::fprintf(stderr, "%s:%d:%d: error: unclosed IF, WHILE, or FOREACH block\n",
                     p.path.c_str(), p.tok.line, p.tok.col);
        p.errors++;
    }
    for (auto& f : p.funcs) {
        if (f->defined) continue;
        std::fprintf(stderr, "%s: error: function '%s' was called but not defined\n",
                     p.path.c_str(), f->name.c_str());
        p.errors++;
    }
    for (auto& f : p.forms) {
        if (f->defined) continue;
        std::fprintf(stderr, "%s: error: form '%s' was read but not defined\n", p.path.c_str(),
                     f->name.c_str());
        p.errors++;
    }
    return p.errors;
}

int kylang_check_source(const std::string& name, const char* data, size_t size) {
    try {
        Parser p;
        p.path = name;
        p.src.assign(data ? data : "", data ? size : 0);
        return check_program(p);
    } catch (const std::length_error&) {
        die("string too large");
    } catch (...) {
        die("out of memory");
    }
}

void die(const char* msg) {
    std::fprintf(stderr, "%s\n", msg);
    std::exit(1);
}

void sb_printf(std::string& sb, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        die("formatting failed");
    }
    size_t old = sb.size();
    sb.resize(old + static_cast<size_t>(n) + 1);
    std::vsnprintf(sb.data() + old, static_cast<size_t>(n) + 1, fmt, ap2);
    va_end(ap2);
    sb.resize(old + static_cast<size_t>(n));
}

void parse_error(Parser& p, const char* fmt, ...) {
    std::fprintf(stderr, "%s:%d:%d: error: ", p.path.c_str(), p.tok.line, p.tok.col);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    p.errors++;
}

std::string quote_shell(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string build_c_file(Parser& p) {
    std::string out(kylang_runtime_text, kylang_runtime_text_len);
    out += "\n";
    if (!p.funcs.empty()) out += "static int _ky_call_depth = 0;\n\n";
    for (const Symbol& s : p.globals.syms) out += "static KYValue " + s.cname + ";\n";
    if (!p.globals.syms.empty()) out += "\n";
    for (auto& f : p.funcs)
        if (f->defined) out += function_signature(*f) + ";\n";
    for (auto& f : p.forms)
        if (f->defined) out += "static void " + f->cname + "(void);\n";
    if (!p.funcs.empty() || !p.forms.empty()) out += "\n";
    for (auto& f : p.funcs)
        if (f->defined) out += function_definition(*f);
    for (auto& f : p.forms) {
        if (!f->defined) continue;
        out += "static void " + f->cname + "(void) {\n";
        out += f->body;
        out += "_ky_form_exit:\n    return;\n}\n\n";
    }
    for (const CallbackEntry& c : p.callbacks) {
        out += "static void " + c.wrapper_cname + "(void) {\n";
        out += "    KYValue _ky_cb_ret = " + c.func_cname + "();\n";
        out += "    ky_value_free(&_ky_cb_ret);\n}\n\n";
    }
    out += "int main(void) {\n    ky_init(24, 80);\n";
    out += p.top_code;
    out += "    if (0) goto _ky_app_exit;\n_ky_app_exit:\n";
    out += "    if (!ky_app_should_exit()) ky_app_loop();\n";
    for (const Symbol& s : p.globals.syms) out += "    ky_value_free(&" + s.cname + ");\n";
    out += "    ky_shutdown();\n    return 0;\n}\n";
    return out;
}

int kylang_main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        die("out of memory");
    } catch (const std::length_error&) {
        die("string too large");
    } catch (...) {
        die("out of memory");
    }
}
