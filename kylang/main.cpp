// kylang: compiles one Kyrel Language program into a self-contained C file
// and, unless asked not to, builds it with the system C compiler.
#include "kylang.h"

int main(int argc, char** argv) { return kylang_main(argc, argv); }
