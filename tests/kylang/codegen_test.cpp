// The generated C file: its layout, the code of statements that need a
// terminal or a database (checked as text), and string literals that reach
// the C compiler byte for byte.
#include "kylang_harness.h"

namespace {

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

TEST_F(KylangTest, EmittedFileStartsWithRuntimeAndEndsWithMain) {
    std::string runtime = read_file(KYLANG_RUNTIME_SRC);
    ASSERT_FALSE(runtime.empty());
    std::string c = emit_c("");
    ASSERT_EQ(c.compare(0, runtime.size(), runtime), 0);
    EXPECT_EQ(
        c.substr(runtime.size()),
        "\nint main(void) {\n    ky_init(24, 80);\n    if (0) goto _ky_app_exit;\n_ky_app_exit:\n"
        "    if (!ky_app_should_exit()) ky_app_loop();\n    ky_shutdown();\n    return 0;\n}\n");

    c = emit_c(
        "VAR b\nVAR a = f(1)\nFUNCTION f(x)\nVAR y\nRETURN x\nENDFUNCTION\nDEFINE FORM g\nENDFORM\n"
        "ADD ITEM i TO MENU m PROMPT \"I\" CALL h()\nFUNCTION h()\nENDFUNCTION\n");
    std::string tail = c.substr(runtime.size());
    size_t depth = tail.find(
        "static int _ky_call_depth = 0;\n\nstatic KYValue v_b;\nstatic KYValue v_a;\n\n"
        "static KYValue ky_func_f(KYValue v_x);\nstatic KYValue ky_func_h(void);\n"
        "static void ky_form_g(void);\n\nstatic KYValue ky_func_f(KYValue v_x) {\n");
    EXPECT_EQ(depth, 1u) << tail;
    EXPECT_TRUE(
        contains(tail, "    KYValue _ky_return = ky_null();\n    KYValue v_y = ky_null();\n"));
    EXPECT_TRUE(contains(tail,
                         "_ky_return_label:\n    ky_value_free(&v_x);\n    ky_value_free(&v_y);\n"
                         "    _ky_call_depth--;\n    return _ky_return;\n}\n"));
    EXPECT_TRUE(
        contains(tail, "static void ky_form_g(void) {\n_ky_form_exit:\n    return;\n}\n\n"));
    EXPECT_TRUE(contains(tail,
                         "static void ky_cb_h(void) {\n    KYValue _ky_cb_ret = ky_func_h();\n"
                         "    ky_value_free(&_ky_cb_ret);\n}\n\nint main(void) {\n"));
    EXPECT_TRUE(
        contains(tail, "    ky_value_free(&v_b);\n    ky_value_free(&v_a);\n    ky_shutdown();\n"));
}

struct CodeCase {
    const char* what;
    const char* source;
    const char* code;  // must appear in the emitted C
};

const CodeCase kCode[] = {
    {"SAY then GET after a 5-byte literal", "VAR v\n@ 2, 10 SAY \"Name:\" GET v\n",
     "ky_get_mask((int)(ky_value_to_int(ky_int(2LL))), (int)(((ky_value_to_int(ky_int(10LL))) + "
     "6)), &v_v, 0);"},
    {"SAY of a variable then GET", "VAR v\n@ 2, 10 SAY v GET v\n",
     "(((ky_value_to_int(ky_int(10LL))) + 1))"},
    {"GET at top level exits the program", "VAR v\nGET v\n",
     "if (0) goto _ky_get_field_0;\n_ky_get_field_0:\n    { int _ky_get_rc = ky_get_mask((int)(0), "
     "(int)(0), &v_v, 0); "
     "if (_ky_get_rc == KY_GET_EXIT) { ky_app_request_exit(); goto _ky_app_exit; } "
     "if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_0; }"},
    {"second GET of a form goes back to the first",
     "VAR a\nDEFINE FORM f\nGET a\nGET a MASK SPACE(3)\nENDFORM\n",
     "&v_a, \"AAA\"); if (_ky_get_rc == KY_GET_EXIT) { ky_app_request_exit(); goto _ky_form_exit; "
     "} "
     "if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_0; }"},
    {"GET inside a loop may go back out to an enclosing GET",
     "VAR a\nGET a\nWHILE 1\nGET a\nENDWHILE\n",
     "_ky_get_field_1:\n    { int _ky_get_rc = ky_get_mask((int)(0), (int)(0), &v_a, 0); "
     "if (_ky_get_rc == KY_GET_EXIT) { ky_app_request_exit(); goto _ky_app_exit; } "
     "if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_0; }"},
    {"GET after a loop never jumps into it",
     "VAR a\nFOREACH r IN a\nGET a\nENDFOREACH\nGET a MASK DATE\n",
     "&v_a, \"date\"); if (_ky_get_rc == KY_GET_EXIT) { ky_app_request_exit(); goto _ky_app_exit; "
     "} "
     "if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_1; }"},
    {"GET in an ELSE branch never jumps into the IF branch",
     "FUNCTION f()\nVAR a\nIF 1 THEN\nGET a\nELSE\nGET a\nENDIF\nENDFUNCTION\n",
     "goto _ky_return_label; } if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_1; }"},
    {"GET inside an IF may go back to an enclosing GET", "VAR a\nGET a\nIF 1 THEN\nGET a\nENDIF\n",
     "_ky_get_field_1:\n    { int _ky_get_rc = ky_get_mask((int)(0), (int)(0), &v_a, 0); "
     "if (_ky_get_rc == KY_GET_EXIT) { ky_app_request_exit(); goto _ky_app_exit; } "
     "if (_ky_get_rc == KY_GET_PREV) goto _ky_get_field_0; }"},
    {"FOREACH declares its variable", "VAR reply = \"{}\"\nFOREACH Row IN reply DO\nENDFOREACH\n",
     "{ KYValue _ky_foreach_rs_0 = ky_to_rs(ky_value_clone(&v_reply)); long long _ky_foreach_len_0 "
     "= "
     "ky_recordset_count(&_ky_foreach_rs_0); for (long long _ky_foreach_i_0 = 0; _ky_foreach_i_0 < "
     "_ky_foreach_len_0 && !ky_app_should_exit(); _ky_foreach_i_0++) { KYValue _ky_foreach_row_0 = "
     "ky_recordset_row(&_ky_foreach_rs_0, _ky_foreach_i_0); ky_value_move_assign(&v_row, "
     "&_ky_foreach_row_0);\n"
     "    } ky_value_free(&_ky_foreach_rs_0); }"},
    {"CONNECT to a router with defaults",
     "CONNECT TO KYRELDB ROUTER USER \"u\" PASSWORD \"p\" AS db\n",
     "{ KYValue _ky_tmp = ky_kyreldb_connect(ky_string(\"127.0.0.1\"), ky_int(9292), "
     "ky_string(\"u\"), "
     "ky_string(\"p\")); ky_value_move_assign(&v_db, &_ky_tmp); }"},
    {"CONNECT with host, port and database",
     "CONNECT TO KYRELDB ON PORT 7000 HOST \"h\" USER \"u\" PASSWORD \"p\" DATABASE \"d\" AS db\n",
     "ky_kyreldb_connect(ky_string(\"h\"), ky_int(7000LL), ky_string(\"u\"), ky_string(\"p\")); "
     "ky_value_move_assign(&v_db, &_ky_tmp); }\n    { KYValue _ky_dbuse = "
     "ky_kyreldb_use(ky_value_clone(&v_db), "
     "ky_string(\"d\")); ky_value_free(&_ky_dbuse); }"},
    {"method statement, any case", "VAR c\nc.Execute(\"SELECT 1\")\n",
     "{ KYValue _ky_tmp = ky_kyreldb_execute(ky_value_clone(&v_c), ky_string(\"SELECT 1\")); "
     "ky_value_free(&_ky_tmp); }"},
    {"the border word after the coordinates wins",
     "DEFINE TABLE DOUBLE FROM 1, 1 TO 10, 40 SINGLE\n",
     "ky_draw_table((int)(ky_value_to_int(ky_int(1LL))), (int)(ky_value_to_int(ky_int(1LL))), "
     "(int)(ky_value_to_int(ky_int(10LL))), (int)(ky_value_to_int(ky_int(40LL))), "
     "KY_BORDER_SINGLE);"},
    {"popup with choices", "DEFINE POPUP p AS \"file\" {\n  CHOICE \"Open\"\n}\n",
     "ky_popup_define(\"p\", \"file\");\n    ky_popup_add_choice(\"p\", \"Open\", 0);"},
    {"index twice, inner first", "VAR m\nVAR x = m[1][\"k\"]\n",
     "ky_index(ky_index(ky_value_clone(&v_m), ky_int(1LL)), ky_string(\"k\"))"},
    {"unary minus", "VAR x\nx = -x\n", "ky_sub(ky_int(0), ky_value_clone(&v_x))"},
    {"operator chains associate to the left at every level",
     "VAR x = 1 - 2 + 3 * 4 / 5 OR 6 AND 7 AND 8 OR 9\n",
     "ky_or(ky_or(ky_add(ky_sub(ky_int(1LL), ky_int(2LL)), ky_div(ky_mul(ky_int(3LL), "
     "ky_int(4LL)), ky_int(5LL))), ky_and(ky_and(ky_int(6LL), ky_int(7LL)), ky_int(8LL))), "
     "ky_int(9LL))"},
};

TEST_F(KylangTest, StatementCode) {
    for (const CodeCase& c : kCode) {
        std::string code = emit_c(c.source);
        EXPECT_TRUE(contains(code, c.code)) << c.what << "\n"
                                            << code.substr(code.find("int main(void)"));
    }
}

// Every byte 1..255 in literals, next to hex digits and "??" sequences,
// must come out of the built program unchanged. The C file is built in a
// strict mode where trigraphs are live.
TEST_F(KylangTest, StringLiteralsRoundTripByteForByte) {
    std::vector<std::string> values;
    std::string all;
    for (int b = 1; b < 256; b++) all += static_cast<char>(b);
    for (size_t i = 0; i < all.size(); i += 40) values.push_back(all.substr(i, 40));
    values.push_back(
        "\x01"
        "A\x7f"
        "f\x80"
        "0\xff"
        "9\x1b"
        "b");
    values.push_back("?\?/\" ; x ?\?= ?\?( ?\?' ?\?! ?\?- ?\?) ?\?< ?\?>");
    values.push_back("tab\there \"q\" back\\slash 'single'");

    std::string src;
    for (size_t i = 0; i < values.size(); i++) {
        std::string lit = "\"";
        for (char ch : values[i]) {
            if (ch == '\n')
                lit += "\\n";
            else if (ch == '"' || ch == '\\')
                lit += std::string("\\") + ch;
            else
                lit += ch;
        }
        src += "@ " + std::to_string(i + 1) + ", 0 SAY " + lit + "\"\n";
    }
    std::string c = emit_c(src);
    ASSERT_FALSE(c.empty());
    EXPECT_TRUE(contains(c, "ky_string(\"\\x01\"\"A\\x7f\"\"f\\x80\"\"0\\xff\"\"9\\x1b\"\"b\")"));
    EXPECT_TRUE(contains(c, "\\?\\?/\\\""));
    for (const char* cc : {"gcc", "clang"}) {
        RunResult b =
            run({cc, "-std=c99", "-trigraphs", "-Wall", "-Wextra", "p.c", "-o", "prog", "-lm"});
        ASSERT_EQ(b.status, 0) << cc << b.err;
        EXPECT_EQ(b.err, "") << cc;
        RunResult r = run({path("prog")});
        std::string want;
        for (size_t i = 0; i < values.size(); i++)
            want += "\033[" + std::to_string(i + 2) + ";1H\033[37;40m" + values[i] + "\033[0m";
        want += "\033[0m\033[24;1H\n";
        EXPECT_EQ(r.out, want) << cc;
    }
}

TEST_F(KylangTest, GeneratedCodeCompilesWithoutWarnings) {
    std::string c = emit_c(
        "VAR a = 1\nFUNCTION f(x, y)\nVAR z = x + y\nRETURN z\nENDFUNCTION\n"
        "WHILE a < 3\na = f(a, 1)\nENDWHILE\nDEFINE FORM g\n@ 1, 1 SAY a\nENDFORM\nREAD g\n"
        "DEFINE MENU m\nADD ITEM i TO MENU m PROMPT \"I\" CALL h()\nFUNCTION h()\nCALL f(1, "
        "2)\nENDFUNCTION\n");
    ASSERT_FALSE(c.empty());
    for (const char* cc : {"gcc", "clang"}) {
        RunResult b = run({cc, "-c", "p.c", "-o", "p.o"});
        EXPECT_EQ(b.status, 0) << cc;
        EXPECT_EQ(b.err, "") << cc;
    }
}

}  // namespace
