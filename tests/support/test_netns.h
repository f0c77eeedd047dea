// A network namespace made by a test, for clients that must reach the server
// from an address that is not the local host's.
//
//   TestNetns ns;
//   if (!ns.ok()) GTEST_SKIP() << ns.why();
//   int fd = ns.connect_inside(ns.host_address(), srv.port());
//
// The namespace gets one end of a veth pair; the other end stays in the
// test's own namespace. The two ends hold the two addresses of one private
// /30 (10.213.A.B), chosen from the process id and skipped when any local
// interface already holds an address of that block. The server listens on
// every address, so a socket made inside the namespace reaches it at
// host_address(), and the server sees inner_address() as its peer. Nothing
// is routed beyond the pair. The destructor removes the namespace and both
// ends. Making it needs root and the ip tool; ok() is false otherwise, with
// the reason in why().
#pragma once

#include <chrono>
#include <string>

namespace kyrel_test {

class TestNetns {
  public:
    TestNetns();
    ~TestNetns();
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    const std::string& host_address() const { return host_addr_; }
    const std::string& inner_address() const { return inner_addr_; }

    // A TCP socket made inside the namespace and connected to host:port
    // (retried until deadline while the link comes up), with receive and
    // send timeouts of timeout; -1 when it cannot connect.
    int connect_inside(const std::string& host, int port,
                       std::chrono::milliseconds deadline = std::chrono::seconds(5),
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    bool ok_ = false;
    bool made_ns_ = false, made_link_ = false;
    std::string why_;
    std::string name_;                // the namespace, under /run/netns
    std::string host_if_, inner_if_;  // the veth ends
    std::string host_addr_, inner_addr_;

    bool run(const std::string& command);
};

}  // namespace kyrel_test
