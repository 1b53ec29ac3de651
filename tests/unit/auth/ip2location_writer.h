// Writes small IP2Location BIN databases (country column only) for tests and examples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ip2l_range {
    uint32_t from;       // first address of the range (host order); ranges ascend
    std::string country; // short code stored for it
};

inline void ip2l_put32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Header, optional IPv4 index, rows (the last one, 255.255.255.255, ends the table) and the
// country records (length-prefixed short codes).
inline std::vector<uint8_t> ip2l_write(const std::vector<ip2l_range> &ranges, bool with_index) {
    constexpr size_t header = 64, row = 8, index_size = 65536 * 8;
    const size_t index_at = header;
    const size_t rows_at = header + (with_index ? index_size : 0);
    const uint32_t count = static_cast<uint32_t>(ranges.size() + 1);
    const size_t strings_at = rows_at + count * row;
    std::vector<uint8_t> out(strings_at);
    out[0] = 1; // database type: country
    out[1] = 2; // columns: address, country
    ip2l_put32(out, 5, count);
    ip2l_put32(out, 9, static_cast<uint32_t>(rows_at + 1));
    ip2l_put32(out, 13, 0);
    ip2l_put32(out, 17, static_cast<uint32_t>(strings_at + 1));
    ip2l_put32(out, 21, with_index ? static_cast<uint32_t>(index_at + 1) : 0);
    for (uint32_t k = 0; k < count; k++) {
        bool last = k + 1 == count;
        std::string code = last ? "-" : ranges[k].country;
        ip2l_put32(out, rows_at + k * row, last ? UINT32_MAX : ranges[k].from);
        ip2l_put32(out, rows_at + k * row + 4, static_cast<uint32_t>(out.size()));
        out.push_back(static_cast<uint8_t>(code.size()));
        out.insert(out.end(), code.begin(), code.end());
    }
    if (with_index) {
        // Prefix p: the rows of its first and its last address.
        auto row_of = [&](uint32_t ip) {
            uint32_t k = 0;
            while (k + 1 < ranges.size() && ranges[k + 1].from <= ip)
                k++;
            return k;
        };
        for (uint32_t p = 0; p < 65536; p++) {
            ip2l_put32(out, index_at + p * 8, row_of(p << 16));
            ip2l_put32(out, index_at + p * 8 + 4, row_of(p << 16 | 0xFFFF));
        }
    }
    return out;
}
