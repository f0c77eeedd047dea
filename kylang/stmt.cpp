// kylang statements: parses one statement at a time and appends its C code to
// the current buffer (main's body, a function's body or a form's body). Also
// builds FUNCTION and DEFINE FORM bodies and the GET fields.
//
// GET fields are numbered labels within one C function; the Up key jumps to
// the previous GET's label. That jump is only used when the previous GET sits
// in the same block as the current one or in a block that encloses it, so a
// jump never enters a loop body (or a sibling IF branch) from outside.
//
// The file is long because it holds every statement kind of the language, one
// short parse_* function each, behind one dispatch table and one set of private
// helpers (emit, fail, expect_*, the block stack); splitting it would turn those
// helpers into an interface shared by files that no other unit uses.
#include <cstdio>
#include <cstdlib>

#include "kylang.h"

namespace {

bool is_punct(const Parser& p, char c) { return p.tok.kind == TOK_PUNCT && p.tok.ch == c; }

bool at_stmt_end(const Parser& p) {
    return p.tok.kind == TOK_NEWLINE || p.tok.kind == TOK_EOF || is_punct(p, ';');
}

void emit(Parser& p, const std::string& line) {
    *p.code += "    ";
    *p.code += line;
    *p.code += "\n";
}

// Reports and tells the caller to drop the rest of the line.
bool fail(Parser& p, const char* msg) {
    parse_error(p, "%s", msg);
    return false;
}

bool expect_punct(Parser& p, char c) {
    if (!is_punct(p, c)) {
        parse_error(p, "expected '%c'", c);
        return false;
    }
    advance(p);
    return true;
}

bool expect_kw(Parser& p, TokenKind k, const char* word) {
    if (p.tok.kind != k) {
        parse_error(p, "expected %s", word);
        return false;
    }
    advance(p);
    return true;
}

std::string value_assign(const std::string& expr, const std::string& cname) {
    return "{ KYValue _ky_tmp = " + expr + "; ky_value_move_assign(&" + cname + ", &_ky_tmp); }";
}

int new_block_id(Parser& p) { return ++p.block_id_counter; }

bool push_block(Parser& p, BlockKind kind, int loop_no) {
    if (static_cast<int>(p.blocks.size()) >= KY_MAX_BLOCKS) {
        parse_error(p, "too many nested blocks");
        return false;
    }
    p.blocks.push_back(Block{kind, loop_no, new_block_id(p)});
    return true;
}

std::vector<int> current_block_path(const Parser& p) {
    std::vector<int> ids;
    for (const Block& b : p.blocks) ids.push_back(b.id);
    return ids;
}

// True when every block around `prev` also surrounds the current position.
bool path_encloses(const std::vector<int>& prev, const std::vector<int>& cur) {
    if (prev.size() > cur.size()) return false;
    for (size_t i = 0; i < prev.size(); i++)
        if (prev[i] != cur[i]) return false;
    return true;
}

const char* exit_label(const Parser& p) {
    if (p.ctx == CTX_FUNCTION) return "_ky_return_label";
    if (p.ctx == CTX_FORM) return "_ky_form_exit";
    return "_ky_app_exit";
}

// Optional MASK clause; returns false after reporting an error.
bool parse_mask(Parser& p, std::string& mask) {
    mask = "0";
    if (p.tok.kind != TOK_MASK) return true;
    advance(p);
    if (p.tok.kind == TOK_STRING) {
        mask = make_c_string_literal(p.tok.text);
        advance(p);
        return true;
    }
    if (p.tok.kind == TOK_DATE) {
        mask = "\"date\"";
        advance(p);
        return true;
    }
    if (p.tok.kind == TOK_IDENT && lower(p.tok.text) == "space") {
        advance(p);
        if (!expect_punct(p, '(')) return false;
        if (p.tok.kind != TOK_INT) return fail(p, "SPACE() mask expects an integer length");
        const std::string& digits = p.tok.text;
        if (digits.size() > 5 || std::atoi(digits.c_str()) > 1024)
            return fail(p, "SPACE() mask length must be between 0 and 1024");
        int n = std::atoi(digits.c_str());
        advance(p);
        if (!expect_punct(p, ')')) return false;
        mask = "\"" + std::string(static_cast<size_t>(n), 'A') + "\"";
        return true;
    }
    return fail(p, "expected validator mask after MASK");
}

bool emit_get(Parser& p, const std::string& row, const std::string& col, const Symbol& target) {
    std::string cname = target.cname;  // copy: the symbol table may grow
    std::string mask;
    if (!parse_mask(p, mask)) return false;
    char label[48];
    std::snprintf(label, sizeof label, "_ky_get_field_%d", p.get_counter++);
    std::vector<int> path = current_block_path(p);
    std::string prev = label;
    if (!p.prev_get_label.empty() && path_encloses(p.prev_get_blocks, path))
        prev = p.prev_get_label;
    emit(p, std::string("if (0) goto ") + label + ";");
    *p.code += std::string(label) + ":\n";
    std::string exit_code = std::string("{ ky_app_request_exit(); goto ") + exit_label(p) + "; }";
    emit(p, "{ int _ky_get_rc = ky_get_mask((int)(" + row + "), (int)(" + col + "), &" + cname +
                ", " + mask + "); if (_ky_get_rc == KY_GET_EXIT) " + exit_code +
                " if (_ky_get_rc == KY_GET_PREV) goto " + prev + "; }");
    p.prev_get_label = label;
    p.prev_get_blocks = path;
    return true;
}

bool parse_get_target(Parser& p, const std::string& row, const std::string& col) {
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected variable after GET");
    Symbol* s = sym_lookup(p, p.tok.text);
    if (!s) {
        parse_error(p, "variable '%s' is not declared", p.tok.text.c_str());
        return false;
    }
    Symbol target = *s;
    advance(p);
    return emit_get(p, row, col, target);
}

bool parse_var(Parser& p, bool recordset) {
    advance(p);
    if (p.tok.kind != TOK_IDENT)
        return fail(p, recordset ? "expected RecordSet variable name" : "expected variable name");
    std::string name = p.tok.text;
    Symbol* s = sym_add(p, name, p.tok.line);
    if (!s) return false;
    std::string cname = s->cname;
    advance(p);
    if (is_punct(p, '=')) {
        advance(p);
        ExprCode e = parse_expression(p);
        emit(p, value_assign(e.code, cname));
    }
    return true;
}

bool parse_at(Parser& p) {
    advance(p);
    ExprCode r = parse_expression(p);
    if (!expect_punct(p, ',')) return false;
    ExprCode c = parse_expression(p);
    std::string row = expr_to_int_code(r.code);
    std::string col = expr_to_int_code(c.code);
    if (p.tok.kind == TOK_SAY) {
        advance(p);
        ExprCode e = parse_expression(p);
        emit(p, "{ KYValue _ky_tmp = " + e.code + "; ky_say((int)(" + row + "), (int)(" + col +
                    "), &_ky_tmp); ky_value_free(&_ky_tmp); }");
        if (p.tok.kind == TOK_GET) {
            advance(p);
            int n = e.width >= 0 ? e.width + 1 : 1;
            return parse_get_target(p, row, "((" + col + ") + " + std::to_string(n) + ")");
        }
        return true;
    }
    if (p.tok.kind == TOK_GET) {
        advance(p);
        return parse_get_target(p, row, col);
    }
    return fail(p, "expected SAY or GET after coordinates");
}

bool parse_set(Parser& p) {
    advance(p);
    if (p.tok.kind == TOK_SCREEN) {
        advance(p);
        if (p.tok.kind != TOK_INT) return fail(p, "expected screen rows");
        long long rows = std::strtoll(p.tok.text.c_str(), nullptr, 10);
        advance(p);
        if (!expect_punct(p, ',')) return false;
        if (p.tok.kind != TOK_INT) return fail(p, "expected screen columns");
        long long cols = std::strtoll(p.tok.text.c_str(), nullptr, 10);
        advance(p);
        // Out-of-range sizes are refused by the runtime; keep them within int.
        if (rows > 1000000) rows = 1000000;
        if (cols > 1000000) cols = 1000000;
        char buf[64];
        std::snprintf(buf, sizeof buf, "ky_set_screen(%lld, %lld);", rows, cols);
        emit(p, buf);
        return true;
    }
    const char* fn = nullptr;
    const char* what = "expected mask string";
    if (p.tok.kind == TOK_READ)
        fn = "ky_set_read_mask";
    else if (p.tok.kind == TOK_SAY)
        fn = "ky_set_say_mask";
    else if (p.tok.kind == TOK_DATE) {
        fn = "ky_set_date_mask";
        what = "expected date mask string";
    }
    if (!fn) return fail(p, "unknown SET statement");
    advance(p);
    if (!expect_kw(p, TOK_MASK, "MASK")) return false;
    if (!expect_punct(p, '=')) return false;
    if (p.tok.kind != TOK_STRING) return fail(p, what);
    emit(p, std::string(fn) + "(" + make_c_string_literal(p.tok.text) + ");");
    advance(p);
    return true;
}

bool parse_read(Parser& p) {
    advance(p);
    if (p.tok.kind == TOK_MASK)
        return fail(p, "READ MASK is only valid after SET; use READ formName to read a form");
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected form name after READ");
    FormEntry* f = form_get_or_create(p, p.tok.text);
    advance(p);
    emit(p, f->cname + "();");
    return true;
}

bool parse_if(Parser& p) {
    advance(p);
    ExprCode e = parse_expression(p);
    if (p.tok.kind == TOK_THEN)
        advance(p);
    else
        parse_error(p, "expected THEN after IF condition");
    emit(p, "if (ky_truth_value(" + e.code + ")) {");
    push_block(p, BLOCK_IF, -1);
    return true;
}

bool parse_elseif(Parser& p) {
    if (p.blocks.empty() || p.blocks.back().kind != BLOCK_IF)
        return fail(p, "ELSEIF without matching IF");
    advance(p);
    ExprCode e = parse_expression(p);
    if (p.tok.kind == TOK_THEN)
        advance(p);
    else
        parse_error(p, "expected THEN after ELSEIF condition");
    emit(p, "} else if (ky_truth_value(" + e.code + ")) {");
    p.blocks.back().id = new_block_id(p);  // a new branch is a new block
    return true;
}

bool parse_else(Parser& p) {
    if (p.blocks.empty() || p.blocks.back().kind != BLOCK_IF)
        return fail(p, "ELSE without matching IF");
    advance(p);
    emit(p, "} else {");
    p.blocks.back().id = new_block_id(p);
    return true;
}

// ENDIF, ENDWHILE, ENDFOREACH: an unmatched one is reported and consumed.
bool parse_block_end(Parser& p, BlockKind kind, const char* word) {
    advance(p);
    if (p.blocks.empty() || p.blocks.back().kind != kind) {
        parse_error(p, "%s without matching block", word);
        return true;
    }
    Block b = p.blocks.back();
    p.blocks.pop_back();
    if (kind == BLOCK_IF)
        emit(p, "}");
    else if (kind == BLOCK_WHILE)
        emit(p, "} }");
    else
        emit(p, "} ky_value_free(&_ky_foreach_rs_" + std::to_string(b.loop_no) + "); }");
    return true;
}

bool parse_while(Parser& p) {
    advance(p);
    ExprCode e = parse_expression(p);
    if (p.tok.kind == TOK_DO) advance(p);
    int n = p.loop_counter++;
    std::string ns = std::to_string(n);
    emit(p, "{ int _ky_loop_" + ns + " = 0; while (ky_truth_value(" + e.code +
                ")) { if (++_ky_loop_" + ns + " > 1000000) { ky_error(" +
                make_c_string_literal("WHILE loop safety limit reached") + "); break; }");
    push_block(p, BLOCK_WHILE, n);
    return true;
}

bool parse_foreach(Parser& p) {
    advance(p);
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected iterator variable after FOREACH");
    std::string name = p.tok.text;
    int line = p.tok.line;
    advance(p);
    if (p.tok.kind != TOK_IN) return fail(p, "expected IN after FOREACH iterator variable");
    advance(p);
    Symbol* s = sym_lookup(p, name);
    if (!s) s = sym_add(p, name, line);
    if (!s) return false;
    std::string cname = s->cname;
    ExprCode e = parse_expression(p);
    if (p.tok.kind == TOK_DO) advance(p);
    int n = p.loop_counter++;
    std::string ns = std::to_string(n);
    emit(p, "{ KYValue _ky_foreach_rs_" + ns + " = ky_to_rs(" + e.code +
                "); long long _ky_foreach_len_" + ns + " = ky_recordset_count(&_ky_foreach_rs_" +
                ns + "); for (long long _ky_foreach_i_" + ns + " = 0; _ky_foreach_i_" + ns +
                " < _ky_foreach_len_" + ns + " && !ky_app_should_exit(); _ky_foreach_i_" + ns +
                "++) { KYValue _ky_foreach_row_" + ns + " = ky_recordset_row(&_ky_foreach_rs_" +
                ns + ", _ky_foreach_i_" + ns + "); ky_value_move_assign(&" + cname +
                ", &_ky_foreach_row_" + ns + ");");
    push_block(p, BLOCK_FOREACH, n);
    return true;
}

bool parse_call(Parser& p) {
    advance(p);
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected function name after CALL");
    std::string name = p.tok.text;
    advance(p);
    if (!is_punct(p, '(')) return fail(p, "expected '(' after function name");
    int line = p.tok.line;
    advance(p);
    std::vector<std::string> args = parse_arg_list_after_open(p);
    FuncEntry* f = func_get_or_create(p, name);
    if (!f) return false;
    func_require_arg_count(p, f, static_cast<int>(args.size()), line);
    emit(p, "{ KYValue _ky_call_tmp = " + build_call_code(f->cname, args) +
                "; ky_value_free(&_ky_call_tmp); }");
    return true;
}

bool parse_return(Parser& p) {
    if (p.ctx != CTX_FUNCTION) return fail(p, "RETURN outside FUNCTION");
    advance(p);
    std::string code = "ky_null()";
    if (!at_stmt_end(p)) code = parse_expression(p).code;
    emit(p, "{ KYValue _ky_ret_tmp = " + code +
                "; ky_value_move_assign(&_ky_return, &_ky_ret_tmp); goto _ky_return_label; }");
    return true;
}

bool parse_define_table(Parser& p) {
    advance(p);
    const char* border = "KY_BORDER_SINGLE";
    if (p.tok.kind == TOK_SINGLE || p.tok.kind == TOK_DOUBLE) {
        border = p.tok.kind == TOK_DOUBLE ? "KY_BORDER_DOUBLE" : "KY_BORDER_SINGLE";
        advance(p);
    }
    if (p.tok.kind != TOK_FROM) return fail(p, "expected FROM in DEFINE TABLE");
    advance(p);
    ExprCode r1 = parse_expression(p);
    if (!expect_punct(p, ',')) return false;
    ExprCode c1 = parse_expression(p);
    if (p.tok.kind != TOK_TO) return fail(p, "expected TO in DEFINE TABLE");
    advance(p);
    ExprCode r2 = parse_expression(p);
    if (!expect_punct(p, ',')) return false;
    ExprCode c2 = parse_expression(p);
    if (p.tok.kind == TOK_SINGLE || p.tok.kind == TOK_DOUBLE) {
        border = p.tok.kind == TOK_DOUBLE ? "KY_BORDER_DOUBLE" : "KY_BORDER_SINGLE";
        advance(p);
    }
    emit(p, "ky_draw_table((int)(" + expr_to_int_code(r1.code) + "), (int)(" +
                expr_to_int_code(c1.code) + "), (int)(" + expr_to_int_code(r2.code) + "), (int)(" +
                expr_to_int_code(c2.code) + "), " + border + ");");
    return true;
}

// A name or a string literal (menu item ids and pop-up item names).
bool parse_name_or_string(Parser& p, std::string& out) {
    if (p.tok.kind != TOK_IDENT && p.tok.kind != TOK_STRING) return false;
    out = p.tok.text;
    advance(p);
    return true;
}

bool parse_add_item(Parser& p) {
    advance(p);
    if (!expect_kw(p, TOK_ITEM, "ITEM")) {
        return false;
    }
    std::string item, menu;
    if (!parse_name_or_string(p, item)) return fail(p, "expected menu item name");
    if (!expect_kw(p, TOK_TO, "TO")) return false;
    if (!expect_kw(p, TOK_MENU, "MENU")) return false;
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected menu name");
    menu = p.tok.text;
    advance(p);
    if (!expect_kw(p, TOK_PROMPT, "PROMPT")) return false;
    if (p.tok.kind != TOK_STRING) return fail(p, "expected prompt string");
    std::string prompt = p.tok.text;
    advance(p);
    std::string cb = "0";
    if (p.tok.kind == TOK_CALL) {
        advance(p);
        cb = parse_optional_callback(p);
    }
    if (item.empty() || menu.empty()) return true;
    emit(p, "ky_menu_add_item(" + make_c_string_literal(menu) + ", " + make_c_string_literal(item) +
                ", " + make_c_string_literal(prompt) + ", " + cb + ");");
    return true;
}

void skip_blank_lines(Parser& p) {
    while (p.tok.kind == TOK_NEWLINE || is_punct(p, ';')) advance(p);
}

bool parse_define_popup(Parser& p) {
    advance(p);
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected popup name");
    std::string name = p.tok.text;
    advance(p);
    std::string item_code = "0";
    if (p.tok.kind == TOK_AS) {
        advance(p);
        std::string item;
        if (!parse_name_or_string(p, item)) return fail(p, "expected menu item name after AS");
        item_code = make_c_string_literal(item);
    }
    std::string name_lit = make_c_string_literal(name);
    emit(p, "ky_popup_define(" + name_lit + ", " + item_code + ");");
    if (!is_punct(p, '{')) return true;
    advance(p);
    for (;;) {
        skip_blank_lines(p);
        if (is_punct(p, '}')) {
            advance(p);
            return true;
        }
        if (p.tok.kind == TOK_EOF) return fail(p, "missing '}' at end of popup definition");
        if (p.tok.kind != TOK_CHOICE) {
            parse_error(p, "expected CHOICE in popup definition");
            skip_to_eol(p);
            continue;
        }
        advance(p);
        if (p.tok.kind != TOK_STRING) {
            parse_error(p, "expected popup choice prompt string");
            skip_to_eol(p);
            continue;
        }
        std::string prompt = p.tok.text;
        advance(p);
        std::string cb = "0";
        if (p.tok.kind == TOK_CALL) {
            advance(p);
            cb = parse_optional_callback(p);
        }
        emit(p, "ky_popup_add_choice(" + name_lit + ", " + make_c_string_literal(prompt) + ", " +
                    cb + ");");
    }
}

// Drops tokens up to and including the given end word (a duplicate body).
void skip_body(Parser& p, TokenKind end) {
    while (p.tok.kind != TOK_EOF && p.tok.kind != end) advance(p);
    if (p.tok.kind == end) advance(p);
}

// Parses statements until `end` or the end of input; true when `end` was seen.
bool parse_body(Parser& p, TokenKind end) {
    for (;;) {
        skip_blank_lines(p);
        if (p.tok.kind == TOK_EOF) return false;
        if (p.tok.kind == end) {
            advance(p);
            return true;
        }
        parse_statement(p);
    }
}

struct SavedContext {
    std::string* code;
    SymbolTable* syms;
    std::vector<Block> blocks;
    Context ctx;
    FuncEntry* func;
    int get_counter;
    std::string prev_label;
    std::vector<int> prev_blocks;
};

SavedContext enter_context(Parser& p, Context ctx, std::string* code, SymbolTable* syms,
                           FuncEntry* f) {
    SavedContext s{
        p.code,     p.cur_syms,    std::move(p.blocks),         p.ctx,
        p.cur_func, p.get_counter, std::move(p.prev_get_label), std::move(p.prev_get_blocks)};
    p.code = code;
    p.cur_syms = syms;
    p.blocks.clear();
    p.ctx = ctx;
    p.cur_func = f;
    p.get_counter = 0;
    p.prev_get_label.clear();
    p.prev_get_blocks.clear();
    return s;
}

void leave_context(Parser& p, SavedContext& s) {
    p.code = s.code;
    p.cur_syms = s.syms;
    p.blocks = std::move(s.blocks);
    p.ctx = s.ctx;
    p.cur_func = s.func;
    p.get_counter = s.get_counter;
    p.prev_get_label = std::move(s.prev_label);
    p.prev_get_blocks = std::move(s.prev_blocks);
}

bool parse_function(Parser& p) {
    if (p.ctx == CTX_FUNCTION) return fail(p, "nested FUNCTION definitions are not allowed");
    if (p.ctx != CTX_TOP || !p.blocks.empty())
        return fail(p, "FUNCTION must be defined at top level");
    advance(p);
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected function name");
    std::string name = p.tok.text;
    int line = p.tok.line;
    advance(p);
    if (!is_punct(p, '(')) return fail(p, "expected '(' after function name");
    advance(p);
    std::vector<std::string> params;
    if (!is_punct(p, ')')) {
        for (;;) {
            if (p.tok.kind != TOK_IDENT) return fail(p, "expected parameter name");
            params.push_back(p.tok.text);
            advance(p);
            if (is_punct(p, ',')) {
                advance(p);
                continue;
            }
            break;
        }
    }
    if (!expect_punct(p, ')')) return false;
    FuncEntry* f = func_get_or_create(p, name);
    if (!f) return false;
    if (f->defined) {
        parse_error(p, "function '%s' is already defined", f->name.c_str());
        skip_body(p, TOK_ENDFUNCTION);
        return true;
    }
    int nparams = static_cast<int>(params.size());
    if (f->expected_arity >= 0 && f->expected_arity != nparams)
        parse_error(p, "function '%s' was called with %d argument(s) but definition has %d",
                    f->name.c_str(), f->expected_arity, nparams);
    f->defined = true;
    f->expected_arity = nparams;
    f->def_line = line;
    SavedContext saved = enter_context(p, CTX_FUNCTION, &f->body, &f->locals, f);
    for (const std::string& prm : params) {
        Symbol* s = sym_add(p, prm, line);
        if (s) {
            s->is_param = true;
            f->params.push_back(s->cname);
        } else {
            f->params.push_back(make_cname("v_", prm) + "_dup" + std::to_string(f->params.size()));
        }
    }
    bool closed = parse_body(p, TOK_ENDFUNCTION);
    if (!p.blocks.empty())
        parse_error(p, "unclosed IF, WHILE, or FOREACH block inside function '%s'",
                    f->name.c_str());
    if (!closed) parse_error(p, "missing ENDFUNCTION for function '%s'", f->name.c_str());
    leave_context(p, saved);
    return true;
}

bool parse_define_form(Parser& p) {
    if (p.ctx != CTX_TOP || !p.blocks.empty()) return fail(p, "DEFINE FORM must be at top level");
    advance(p);
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected form name");
    FormEntry* f = form_get_or_create(p, p.tok.text);
    advance(p);
    if (f->defined) {
        parse_error(p, "form '%s' is already defined", f->name.c_str());
        skip_body(p, TOK_ENDFORM);
        return true;
    }
    f->defined = true;
    SavedContext saved = enter_context(p, CTX_FORM, &f->body, &p.globals, nullptr);
    bool closed = parse_body(p, TOK_ENDFORM);
    if (!p.blocks.empty())
        parse_error(p, "unclosed IF, WHILE, or FOREACH block inside form '%s'", f->name.c_str());
    if (!closed) parse_error(p, "missing ENDFORM for form '%s'", f->name.c_str());
    leave_context(p, saved);
    return true;
}

bool parse_define(Parser& p) {
    advance(p);
    switch (p.tok.kind) {
    case TOK_TABLE: return parse_define_table(p);
    case TOK_MENU:
        advance(p);
        if (p.tok.kind != TOK_IDENT) return fail(p, "expected menu name");
        emit(p, "ky_menu_define(" + make_c_string_literal(p.tok.text) + ");");
        advance(p);
        return true;
    case TOK_POPUP: return parse_define_popup(p);
    case TOK_FORM: return parse_define_form(p);
    default: return fail(p, "expected TABLE, MENU, POPUP, or FORM after DEFINE");
    }
}

bool parse_connect(Parser& p) {
    advance(p);
    if (!expect_kw(p, TOK_TO, "TO")) return false;
    if (!expect_kw(p, TOK_KYRELDB, "KYRELDB")) return false;
    std::string host = "ky_string(\"127.0.0.1\")";
    std::string port = "ky_int(9191)";
    if (p.tok.kind == TOK_ROUTER) {
        port = "ky_int(9292)";
        advance(p);
    } else if (p.tok.kind == TOK_SERVER) {
        advance(p);
    }
    for (;;) {
        if (p.tok.kind == TOK_HOST) {
            advance(p);
            host = parse_expression(p).code;
        } else if (p.tok.kind == TOK_ON) {
            advance(p);
            if (!expect_kw(p, TOK_PORT, "PORT")) return false;
            port = parse_expression(p).code;
        } else {
            break;
        }
    }
    if (!expect_kw(p, TOK_USER, "USER")) return false;
    std::string user = parse_expression(p).code;
    if (!expect_kw(p, TOK_PASSWORD, "PASSWORD")) return false;
    std::string password = parse_expression(p).code;
    std::string db;
    bool has_db = false;
    if (p.tok.kind == TOK_DATABASE) {
        advance(p);
        db = parse_expression(p).code;
        has_db = true;
    }
    if (!expect_kw(p, TOK_AS, "AS")) return false;
    if (p.tok.kind != TOK_IDENT) return fail(p, "expected connection alias after AS");
    Symbol* s = sym_add(p, p.tok.text, p.tok.line);
    if (!s) return false;
    std::string cname = s->cname;
    advance(p);
    emit(p, "{ KYValue _ky_tmp = ky_kyreldb_connect(" + host + ", " + port + ", " + user + ", " +
                password + "); ky_value_move_assign(&" + cname + ", &_ky_tmp); }");
    if (has_db)
        emit(p, "{ KYValue _ky_dbuse = ky_kyreldb_use(ky_value_clone(&" + cname + "), " + db +
                    "); ky_value_free(&_ky_dbuse); }");
    return true;
}

bool dispatch(Parser& p) {
    switch (p.tok.kind) {
    case TOK_VAR: return parse_var(p, false);
    case TOK_RECORDSET: return parse_var(p, true);
    case TOK_IDENT: {
        Parser& q = p;
        std::string name = q.tok.text;
        advance(q);
        if (is_punct(q, '=')) {
            Symbol* s = sym_lookup(q, name);
            if (!s) {
                parse_error(q, "variable '%s' is not declared", name.c_str());
                return false;
            }
            std::string cname = s->cname;
            advance(q);
            emit(q, value_assign(parse_expression(q).code, cname));
            return true;
        }
        if (is_punct(q, '.')) {
            ExprCode call = parse_method_call_expr(q, name);
            emit(q, "{ KYValue _ky_tmp = " + call.code + "; ky_value_free(&_ky_tmp); }");
            return true;
        }
        return fail(q, "expected assignment or method call");
    }
    case TOK_PUNCT:
        if (p.tok.ch == '@') return parse_at(p);
        break;
    case TOK_GET: advance(p); return parse_get_target(p, "0", "0");
    case TOK_SET: return parse_set(p);
    case TOK_READ: return parse_read(p);
    case TOK_CLEAR:
        advance(p);
        if (p.tok.kind == TOK_SCREEN) advance(p);
        emit(p, "ky_clear();");
        return true;
    case TOK_IF: return parse_if(p);
    case TOK_ELSEIF: return parse_elseif(p);
    case TOK_ELSE: return parse_else(p);
    case TOK_ENDIF: return parse_block_end(p, BLOCK_IF, "ENDIF");
    case TOK_WHILE: return parse_while(p);
    case TOK_ENDWHILE: return parse_block_end(p, BLOCK_WHILE, "ENDWHILE");
    case TOK_FOREACH: return parse_foreach(p);
    case TOK_ENDFOREACH: return parse_block_end(p, BLOCK_FOREACH, "ENDFOREACH");
    case TOK_CALL: return parse_call(p);
    case TOK_RETURN: return parse_return(p);
    case TOK_DEFINE: return parse_define(p);
    case TOK_ADD: return parse_add_item(p);
    case TOK_FUNCTION: return parse_function(p);
    case TOK_ENDFUNCTION: return fail(p, "ENDFUNCTION without matching FUNCTION");
    case TOK_ENDFORM: return fail(p, "ENDFORM without matching DEFINE FORM");
    case TOK_CONNECT: return parse_connect(p);
    default: break;
    }
    return fail(p, "unknown statement");
}

}  // namespace

void parse_statement(Parser& p) {
    skip_blank_lines(p);
    if (p.tok.kind == TOK_EOF) return;
    p.expr_overflow = false;
    if (!dispatch(p)) {
        skip_to_eol(p);
        return;
    }
    while (is_punct(p, ';')) advance(p);
    if (p.tok.kind == TOK_NEWLINE) advance(p);
}

std::string function_signature(const FuncEntry& f) {
    std::string s = "static KYValue " + f.cname + "(";
    if (f.params.empty()) s += "void";
    for (size_t i = 0; i < f.params.size(); i++) {
        if (i) s += ", ";
        s += "KYValue " + f.params[i];
    }
    return s + ")";
}

std::string function_definition(const FuncEntry& f) {
    std::string out = function_signature(f) + " {\n";
    out += "    if (++_ky_call_depth > 1024) {\n";
    out += "        _ky_call_depth--;\n";
    out +=
        "        ky_error(" + make_c_string_literal("function call depth limit reached") + ");\n";
    for (const std::string& prm : f.params) out += "        ky_value_free(&" + prm + ");\n";
    out += "        return ky_null();\n";
    out += "    }\n";
    out += "    KYValue _ky_return = ky_null();\n";
    for (const Symbol& s : f.locals.syms)
        if (!s.is_param) out += "    KYValue " + s.cname + " = ky_null();\n";
    out += f.body;
    out += "_ky_return_label:\n";
    for (const Symbol& s : f.locals.syms) out += "    ky_value_free(&" + s.cname + ");\n";
    out += "    _ky_call_depth--;\n";
    out += "    return _ky_return;\n";
    out += "}\n";
    return out;
}
