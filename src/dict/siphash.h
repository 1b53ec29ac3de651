// SipHash with a caller-chosen number of compression and finalisation rounds.
#pragma once

#include <cstddef>
#include <cstdint>

// SipHash-c-d of in[0..len) under the 16-byte key k.
uint64_t siphash_cd(const uint8_t *in, size_t len, const uint8_t k[16], int c_rounds, int d_rounds);
// SipHash-1-2 with an all-zero key: the hash table's hash.
uint64_t siphash(const uint8_t *in, size_t len);
// The same over the ASCII lower case of the bytes.
uint64_t siphash_nocase(const uint8_t *in, size_t len);
