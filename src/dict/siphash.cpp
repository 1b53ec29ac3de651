#include "dict/siphash.h"

#include <cstring>

namespace {

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

struct sip_state {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void compress(uint64_t m, int c_rounds) {
        v3 ^= m;
        for (int i = 0; i < c_rounds; i++)
            round();
        v0 ^= m;
    }
};

uint8_t lower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c;
}

uint64_t sip(const uint8_t *in, size_t len, const uint8_t k[16], int c, int d, bool nocase) {
    uint64_t k0 = load_le64(k), k1 = load_le64(k + 8);
    sip_state s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
                k1 ^ 0x7465646279746573ull};
    uint8_t block[8];
    size_t full = len - len % 8;
    for (size_t off = 0; off < full; off += 8) {
        for (int i = 0; i < 8; i++)
            block[i] = nocase ? lower(in[off + i]) : in[off + i];
        s.compress(load_le64(block), c);
    }
    memset(block, 0, sizeof block);
    for (size_t i = 0; i < len % 8; i++)
        block[i] = nocase ? lower(in[full + i]) : in[full + i];
    block[7] = static_cast<uint8_t>(len);
    s.compress(load_le64(block), c);
    s.v2 ^= 0xff;
    for (int i = 0; i < d; i++)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

constexpr uint8_t zero_key[16] = {};

} // namespace

uint64_t siphash_cd(const uint8_t *in, size_t len, const uint8_t k[16], int c_rounds,
                    int d_rounds) {
    return sip(in, len, k, c_rounds, d_rounds, false);
}

uint64_t siphash(const uint8_t *in, size_t len) {
    return sip(in, len, zero_key, 1, 2, false);
}

uint64_t siphash_nocase(const uint8_t *in, size_t len) {
    return sip(in, len, zero_key, 1, 2, true);
}
