// SHA-256 (FIPS 180-4), used to fingerprint stored procedure bodies.
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha256Context {
    uint8_t block[64];      // pending bytes of the current block
    uint32_t block_length;  // 0..63 between calls
    uint64_t bit_count;     // bits already compressed
    uint32_t state[8];      // H0..H7
};

void kydb_sha256_init(Sha256Context* ctx);
void kydb_sha256_update(Sha256Context* ctx, const void* data, size_t n);
void kydb_sha256_final(Sha256Context* ctx, uint8_t out[32]);
