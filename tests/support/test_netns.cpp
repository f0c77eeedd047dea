// TestNetns (see test_netns.h): the namespace and its veth pair are made and
// removed with the ip tool; sockets are made inside by switching the calling
// thread into the namespace for the socket() call only.
#include "test_netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace kyrel_test {

namespace {

constexpr const char* kIp = "/usr/sbin/ip";

// Output of a command (its standard output only), "" when it cannot run.
std::string output_of(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

timeval as_timeval(std::chrono::milliseconds t) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(t.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((t.count() % 1000) * 1000);
    return tv;
}

}  // namespace

bool TestNetns::run(const std::string& command) {
    std::string full = command + " >/dev/null 2>&1";
    if (std::system(full.c_str()) == 0) return true;
    why_ = "cannot make the test network namespace: `" + command + "` failed";
    return false;
}

TestNetns::TestNetns() {
    if (geteuid() != 0) {
        why_ = "making a network namespace needs root";
        return;
    }
    if (access(kIp, X_OK) != 0) {
        why_ = std::string("making a network namespace needs ") + kIp;
        return;
    }
    static int made = 0;
    const unsigned pid = static_cast<unsigned>(getpid());
    const std::string tag = std::to_string(pid) + "_" + std::to_string(made++);
    name_ = "kyrel_t" + tag;
    host_if_ = "kyh" + tag;
    inner_if_ = "kyn" + tag;
    if (host_if_.size() > 15) {  // interface names hold 15 bytes
        host_if_ = "kyh" + tag.substr(tag.size() - 12);
        inner_if_ = "kyn" + tag.substr(tag.size() - 12);
    }
    // A /30 block of 10.213.0.0/16 that no local interface uses yet.
    const std::string used = output_of(std::string(kIp) + " -o -4 addr show");
    for (unsigned i = 0; i < 16384 && host_addr_.empty(); ++i) {
        const unsigned block = (pid + i * 7919u) % 16384u;
        const std::string net = "10.213." + std::to_string(block / 64) + ".";
        const unsigned base = (block % 64) * 4;
        bool taken = false;
        for (unsigned k = 0; k < 4 && !taken; ++k)
            taken = used.find(" " + net + std::to_string(base + k) + "/") != std::string::npos;
        if (taken) continue;
        host_addr_ = net + std::to_string(base + 1);
        inner_addr_ = net + std::to_string(base + 2);
    }
    if (host_addr_.empty()) {
        why_ = "no free 10.213.x.x/30 block for the test network namespace";
        return;
    }
    const std::string ip = kIp;
    if (!run(ip + " netns add " + name_)) return;
    made_ns_ = true;
    if (!run(ip + " link add " + host_if_ + " type veth peer name " + inner_if_)) return;
    made_link_ = true;
    if (!run(ip + " link set " + inner_if_ + " netns " + name_) ||
        !run(ip + " addr add " + host_addr_ + "/30 dev " + host_if_) ||
        !run(ip + " link set " + host_if_ + " up") ||
        !run(ip + " -n " + name_ + " addr add " + inner_addr_ + "/30 dev " + inner_if_) ||
        !run(ip + " -n " + name_ + " link set " + inner_if_ + " up") ||
        !run(ip + " -n " + name_ + " link set lo up"))
        return;
    ok_ = true;
}

TestNetns::~TestNetns() {
    const std::string ip = kIp;
    // Removing the namespace removes the end inside it, and with it the pair.
    if (made_ns_) std::system((ip + " netns del " + name_ + " >/dev/null 2>&1").c_str());
    if (made_link_) std::system((ip + " link del " + host_if_ + " >/dev/null 2>&1").c_str());
}

int TestNetns::connect_inside(const std::string& host, int port, std::chrono::milliseconds deadline,
                              std::chrono::milliseconds timeout) const {
    if (!ok_) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return -1;
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int inner = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = -1;
        if (inner >= 0 && own >= 0 && setns(inner, CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (setns(own, CLONE_NEWNET) != 0) {
                // The thread could not come back: its later sockets would be
                // made inside. Stop the run rather than test the wrong thing.
                std::perror("setns back");
                std::abort();
            }
        }
        if (inner >= 0) close(inner);
        if (own >= 0) close(own);
        if (fd < 0) return -1;
        timeval tv = as_timeval(timeout);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        close(fd);
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace kyrel_test
