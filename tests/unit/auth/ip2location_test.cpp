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

std::string country(const ip2location_t *db, uint32_t addr) {
    const uint8_t *code = nullptr;
    size_t len = 0;
    if (!ip2location_get_country_short(db, addr, &code, &len)) return "(none)";
    return std::string(reinterpret_cast<const char *>(code), len);
}

// Addresses below the first range have no country.
const std::vector<ip2l_range> kRanges = {
    {ip("1.0.0.0"), "AU"},    {ip("1.0.1.0"), "CN"},  {ip("1.0.4.0"), "AU"},
    {ip("1.2.255.255"), "C"}, {ip("1.3.0.0"), "CN"},  {ip("8.8.8.8"), "US"},
    {ip("8.8.8.9"), "DE"},    {ip("200.1.0.0"), "-"}, {ip("255.255.0.0"), "ZZ"},
};

} // namespace

// Every boundary of every range, with and without the index (which must only narrow the
// search), and 255.255.255.255, which belongs to the last range.
TEST(Ip2Location, BoundariesOfEveryRange) {
    for (bool index : {false, true}) {
        std::vector<uint8_t> bytes = ip2l_write(kRanges, index);
        ip2location_t *db = ip2location_open_bytes(bytes.data(), bytes.size());
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(db->has_index, index);
        for (size_t k = 0; k < kRanges.size(); k++) {
            uint32_t end = k + 1 < kRanges.size() ? kRanges[k + 1].from : UINT32_MAX;
            std::string before = k ? kRanges[k - 1].country : "(none)";
            EXPECT_EQ(country(db, kRanges[k].from - 1), before) << k << " index " << index;
            EXPECT_EQ(country(db, kRanges[k].from), kRanges[k].country) << k;
            EXPECT_EQ(country(db, end - 1), kRanges[k].country) << k << " index " << index;
        }
        EXPECT_EQ(country(db, UINT32_MAX), "ZZ");
        ip2location_close(db);
    }
}

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

// A country record outside the file is no answer, never a read outside it.
TEST(Ip2Location, CountryOffsetOutsideTheFile) {
    std::vector<uint8_t> bytes = ip2l_write(kRanges, false);
    ip2l_put32(bytes, 64 + 0 * 8 + 4, static_cast<uint32_t>(bytes.size()));     // past the end
    ip2l_put32(bytes, 64 + 1 * 8 + 4, static_cast<uint32_t>(bytes.size() - 1)); // length byte last
    bytes.back() = 200;
    ip2location_t *db = ip2location_open_bytes(bytes.data(), bytes.size());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(country(db, ip("1.0.0.1")), "(none)");
    EXPECT_EQ(country(db, ip("1.0.1.1")), "(none)");
    EXPECT_EQ(country(db, ip("8.8.8.8")), "US");
    ip2location_close(db);
}
