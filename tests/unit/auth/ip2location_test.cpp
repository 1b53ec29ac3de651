#include "auth/ip2location.h"
#include "auth/ip2location_writer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

namespace {

uint32_t ip(const char *text) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return ntohl(a.s_addr);
}

const std::vector<ip2l_range> kRanges = {
    {ip("1.0.0.0"), "AU"},    {ip("1.0.1.0"), "CN"},  {ip("1.0.4.0"), "AU"},
    {ip("1.2.255.255"), "C"}, {ip("1.3.0.0"), "CN"},  {ip("8.8.8.8"), "US"},
    {ip("8.8.8.9"), "DE"},    {ip("200.1.0.0"), "-"}, {ip("255.255.0.0"), "ZZ"},
};

} // namespace

TEST(Ip2Location, CorruptFilesFailTheOpen) {
    const std::vector<uint8_t> good = ip2l_write(kRanges, true);
    const size_t rows_at = 64 + 65536 * 8;
    constexpr uint32_t CUT = 0xC0C0C0C0;
    struct Case {
        const char *what;
        size_t at;      // u32 position written, or bytes kept when value is CUT
        uint32_t value; // u32 written there
    } cases[] = {
        {"empty file", 0, CUT},
        {"truncated header", 28, CUT},
        {"one column", 1, 0x02020101}, // also the date bytes: only the column count matters
        {"one row", 5, 1},
        {"row count past the end", 5, 0x40000000},
        {"row count overflowing", 5, 0xFFFFFFFF},
        {"base 0", 9, 0},
        {"base past the end", 9, 0xFFFFFF00},
        {"rows cut short", rows_at + 8 * 5, CUT},
        {"index past the end", 21, static_cast<uint32_t>(good.size() - 100)},
        {"index entry low above high", 64 + 8 * 300, 8},
        {"index entry past the rows", 64 + 8 * 300 + 4, 10},
    };
    for (const Case &k : cases) {
        std::vector<uint8_t> bytes = good;
        if (k.value == CUT)
            bytes.resize(k.at);
        else
            ip2l_put32(bytes, k.at, k.value);
        ip2location_t *db = ip2location_open_bytes(bytes.data(), bytes.size());
        EXPECT_EQ(db, nullptr) << k.what;
        ip2location_close(db);
    }
    EXPECT_EQ(ip2location_open("/nonexistent/db.bin"), nullptr);
}
