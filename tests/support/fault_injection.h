// Failing a running server's file calls on purpose: loads the fault library
// (fault_shim.c, built as lib/libkyrel_fault_shim.so beside the programs)
// into a TestServer and writes its rules.
//
//   TestServer srv;
//   FaultInjection faults(srv);          // before srv.start()
//   if (!faults.available()) GTEST_SKIP() << faults.why_unavailable();
//   ASSERT_TRUE(srv.start());
//   faults.set("write main.wal EIO\n");  // every later write to main.wal fails
//   ...                                  // requests that must be refused
//   faults.clear();
//   EXPECT_NE(faults.log().find("main.wal"), std::string::npos);
//
// The rule format is written at the top of fault_shim.c.
#pragma once

#include <string>

#include "kyrel_test.h"

namespace kyrel_test {

class FaultInjection {
  public:
    explicit FaultInjection(TestServer& srv);

    // False when the library was not built (for example in a build without
    // the tests' support targets); why_unavailable() says why.
    bool available() const { return !library_.empty(); }
    const std::string& why_unavailable() const { return why_; }

    // Replaces the rules; the server reads them at its next file call.
    void set(const std::string& rules);
    void clear() { set(""); }
    // The failures the server has met so far, one "<call> <path>" a line.
    std::string log() const;

  private:
    std::string library_;
    std::string why_;
    std::string rules_path_;
    std::string log_path_;
};

}  // namespace kyrel_test
