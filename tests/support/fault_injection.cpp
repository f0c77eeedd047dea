// FaultInjection: see fault_injection.h.
#include "fault_injection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kyrel_test {

FaultInjection::FaultInjection(TestServer& srv)
    : rules_path_(srv.dir() + "/faults.rules"), log_path_(srv.dir() + "/faults.log") {
    std::string bin = server_binary();
    std::string lib = bin.substr(0, bin.rfind('/')) + "/../lib/libkyrel_fault_shim.so";
    struct stat st;
    if (bin.empty() || stat(lib.c_str(), &st) != 0) {
        why_ = "fault library not found at " + lib;
        return;
    }
    library_ = lib;
    clear();
    srv.set_env("LD_PRELOAD", library_);
    srv.set_env("KYREL_FAULT_FILE", rules_path_);
    srv.set_env("KYREL_FAULT_LOG", log_path_);
    // The library is not instrumented, and it comes before the sanitizer's
    // runtime in the load order of a sanitizer build.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string opts = asan && *asan ? std::string(asan) + ":" : "";
    srv.set_env("ASAN_OPTIONS", opts + "verify_asan_link_order=0");
}

void FaultInjection::set(const std::string& rules) {
    // Written beside and renamed into place, so the server never reads half
    // a rule.
    std::string tmp = rules_path_ + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << rules;
    }
    std::rename(tmp.c_str(), rules_path_.c_str());
}

std::string FaultInjection::log() const {
    std::ifstream in(log_path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace kyrel_test
