// Reader of IP2Location BIN databases: the country code of an IPv4 address.
//
// The file is read whole at open. Its header (little-endian numbers):
//   byte 0 database type, 1 column count, 2-4 date (year - 2000, month, day),
//   5 IPv4 row count (u32), 9 IPv4 base (u32, 1-based file position of row 0),
//   13/17 IPv6 count/base, 21 IPv4 index base (1-based, 0 = no index), 25 IPv6 index base.
// IPv4 rows are columns x 4 bytes; row k starts at base - 1 + k x row size. Its first u32 is the
// first address of its range, which ends where the next row's begins, so the last row only ends
// the table. The second u32 is the file offset of the country: a length byte and the short code.
// The index holds, for every value of the address's top 16 bits, a u32 pair (lowest row, highest
// row) that bounds the search. 255.255.255.255 is looked up as 255.255.255.254.
//
// Every position is checked against the file size: the header, the row table and the index when
// the file is opened, a country record at each look-up. A look-up never reads outside the file.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the fixed header.
constexpr size_t IP2LOCATION_HEADER_SIZE = 29;
// Entries of the IPv4 index (one per top-16-bit value) and the size of each.
constexpr size_t IP2LOCATION_INDEX_ENTRIES = 65536;
constexpr size_t IP2LOCATION_INDEX_ENTRY_SIZE = 8;

struct ip2location_t {
    uint8_t *data;     // the whole file
    size_t size;       // its size in bytes
    uint8_t db_type;   // database type from the header
    uint8_t columns;   // u32 columns per row (at least 2: address, country)
    uint32_t v4_count; // IPv4 rows, the closing row included (at least 2)
    size_t v4_rows;    // file offset of IPv4 row 0
    size_t v4_index;   // file offset of the IPv4 index; valid only when has_index
    bool has_index;    // the file carries an IPv4 index
};

// Opens and checks a database file; null when it cannot be read or is malformed (truncated
// header, a row table or index outside the file, fewer than 2 columns or rows, index entries
// out of order or naming rows past the table).
ip2location_t *ip2location_open(const char *path);
// The same checks over bytes already in memory (copied).
ip2location_t *ip2location_open_bytes(const uint8_t *data, size_t size);
void ip2location_close(ip2location_t *db);

// The short country code of an IPv4 address (host byte order): *code points into the database,
// *len is its length (at most 255). False when no range holds the address or its country record
// lies outside the file.
[[nodiscard]] bool ip2location_get_country_short(const ip2location_t *db, uint32_t ip,
                                                 const uint8_t **code, size_t *len);
