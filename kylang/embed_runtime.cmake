# Turns the runtime C source into a C++ source holding it as a byte array, so
# the compiler carries exactly the text of runtime/kylang_runtime.c.
# Usage: cmake -DINPUT=<runtime.c> -DOUTPUT=<generated.cpp> -P embed_runtime.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from kylang/runtime/kylang_runtime.c at build time. Do not edit.\n"
  "#include \"kylang.h\"\n"
  "const char kylang_runtime_text[] = {\n${bytes}0x00};\n"
  "const unsigned long kylang_runtime_text_len = ${byte_len}UL;\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
