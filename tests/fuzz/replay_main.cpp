// Runs a fuzz target once over every file of the directories (or files)
// named on the command line: the corpus as a regression test, without
// libFuzzer. Exit status 0 when every input ran; a fault aborts as it would
// under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void collect(const std::string& path, std::vector<std::string>* out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        out->push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') collect(path + "/" + e->d_name, out);
    closedir(d);
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) collect(argv[i], &files);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no inputs found\n");
        return 1;
    }
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    printf("%zu inputs ran\n", files.size());
    return 0;
}
