// SHA-256 digests against the published test vectors and split feeding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/sha256.h"

namespace {

std::string hex_digest(const std::string& msg, size_t chunk = 0) {
    Sha256Context ctx;
    kydb_sha256_init(&ctx);
    if (chunk == 0) {
        kydb_sha256_update(&ctx, msg.data(), msg.size());
    } else {
        for (size_t i = 0; i < msg.size(); i += chunk)
            kydb_sha256_update(&ctx, msg.data() + i, std::min(chunk, msg.size() - i));
    }
    uint8_t out[32];
    kydb_sha256_final(&ctx, out);
    std::string hex;
    char b[3];
    for (uint8_t v : out) {
        snprintf(b, sizeof b, "%02x", v);
        hex += b;
    }
    return hex;
}

TEST(Sha256, StandardVectors) {
    struct Case {
        const char* name;
        std::string msg;
        const char* digest;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits, second block for the length",
         "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"55 bytes pad in one block", std::string(55, 'a'),
         "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"56 bytes need a second block", std::string(56, 'a'),
         "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {"million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_digest(c.msg), c.digest) << c.name;
}

TEST(Sha256, SplitFeedingGivesSameDigest) {
    std::string msg(1000, 'a');
    const char* want = "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3";
    EXPECT_EQ(hex_digest(msg), want);
    EXPECT_EQ(hex_digest(msg, 1), want);
    EXPECT_EQ(hex_digest(msg, 63), want);
    EXPECT_EQ(hex_digest(msg, 64), want);
}

}  // namespace
