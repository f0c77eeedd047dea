// SHA-256 as published in FIPS 180-4: 64-byte blocks read big-endian, 64
// rounds, padding 0x80 + zeros + the 64-bit big-endian bit length.
#include "base/sha256.h"

#include <cstring>

namespace {

const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(Sha256Context* ctx) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) {
        const uint8_t* b = ctx->block + 4 * i;
        w[i] = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    }
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + S1 + ch + kK[i] + w[i];
        uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

}  // namespace

void kydb_sha256_init(Sha256Context* ctx) {
    static const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->block_length = 0;
    ctx->bit_count = 0;
    memcpy(ctx->state, kInit, sizeof kInit);
    memset(ctx->block, 0, sizeof ctx->block);
}

void kydb_sha256_update(Sha256Context* ctx, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; i++) {
        ctx->block[ctx->block_length++] = p[i];
        if (ctx->block_length == 64) {
            compress(ctx);
            ctx->bit_count += 512;
            ctx->block_length = 0;
        }
    }
}

void kydb_sha256_final(Sha256Context* ctx, uint8_t out[32]) {
    uint64_t total_bits = ctx->bit_count + uint64_t(ctx->block_length) * 8;
    uint32_t i = ctx->block_length;
    ctx->block[i++] = 0x80;
    if (i > 56) {
        while (i < 64) ctx->block[i++] = 0;
        compress(ctx);
        i = 0;
    }
    while (i < 56) ctx->block[i++] = 0;
    for (int k = 0; k < 8; k++) ctx->block[56 + k] = uint8_t(total_bits >> (56 - 8 * k));
    compress(ctx);
    ctx->bit_count = total_bits;
    ctx->block_length = 0;
    for (int k = 0; k < 8; k++) {
        out[4 * k] = uint8_t(ctx->state[k] >> 24);
        out[4 * k + 1] = uint8_t(ctx->state[k] >> 16);
        out[4 * k + 2] = uint8_t(ctx->state[k] >> 8);
        out[4 * k + 3] = uint8_t(ctx->state[k]);
    }
}
