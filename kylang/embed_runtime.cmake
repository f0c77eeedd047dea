# Turns the runtime C source into a C++ source holding it as a byte array, so
# the compiler carries exactly the text of runtime/kylang_runtime.c, with the
# shared C helpers it includes put in place of their include lines.
#
# SPLICE lists those helpers in splice order (a source before the header it
# includes): the first line `#include "<name>"` of each is replaced by the
# file's text and any later one dropped, so a header shared by two sources
# stands once. The runtime's own parts (runtime/ky_*.c) are spliced the same
# way. Lines that start with //~ are notes for the reader of the source only
# and are dropped from the assembled text. TEXT_OUTPUT receives the assembled runtime as C text, the very
# text the compiler writes at the head of every generated program.
# Usage: cmake -DINPUT=<runtime.c> -DSPLICE=<a.c;a.h;...> -DOUTPUT=<generated.cpp>
#              -DTEXT_OUTPUT=<assembled.c> -P embed_runtime.cmake
file(READ "${INPUT}" text)
foreach(part ${SPLICE})
  get_filename_component(name "${part}" NAME)
  set(line "#include \"${name}\"\n")
  string(FIND "${text}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${INPUT}: no line ${line}")
  endif()
  string(LENGTH "${line}" line_len)
  string(SUBSTRING "${text}" 0 ${at} head)
  math(EXPR rest_at "${at} + ${line_len}")
  string(SUBSTRING "${text}" ${rest_at} -1 rest)
  string(REPLACE "${line}" "" rest "${rest}")
  file(READ "${part}" body)
  set(text "${head}${body}${rest}")
endforeach()
# Every //~ line follows a line end (no part starts the whole text).
string(REGEX REPLACE "\n//~[^\n]*" "" text "${text}")
file(WRITE "${TEXT_OUTPUT}.tmp" "${text}")
file(RENAME "${TEXT_OUTPUT}.tmp" "${TEXT_OUTPUT}")

file(READ "${TEXT_OUTPUT}" hex HEX)
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
