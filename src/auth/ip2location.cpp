#include "auth/ip2location.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t OFF_COLUMNS = 1;
constexpr size_t OFF_V4_COUNT = 5;
constexpr size_t OFF_V4_BASE = 9;
constexpr size_t OFF_V4_INDEX = 21;
constexpr size_t MIN_COLUMNS = 2;
constexpr uint32_t MIN_ROWS = 2;

uint32_t u32_at(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

size_t row_size(const ip2location_t *db) {
    return static_cast<size_t>(db->columns) * 4;
}

const uint8_t *row(const ip2location_t *db, uint32_t k) {
    return db->data + db->v4_rows + static_cast<size_t>(k) * row_size(db);
}

// A 1-based file position turned into an offset where `len` bytes fit; false otherwise.
bool region_fits(uint32_t pos, uint64_t len, size_t size, size_t *offset) {
    if (pos == 0) return false;
    uint64_t start = static_cast<uint64_t>(pos) - 1;
    if (start > size || len > size - start) return false;
    *offset = static_cast<size_t>(start);
    return true;
}

bool check_index(const ip2location_t *db) {
    for (size_t i = 0; i < IP2LOCATION_INDEX_ENTRIES; i++) {
        const uint8_t *e = db->data + db->v4_index + i * IP2LOCATION_INDEX_ENTRY_SIZE;
        uint32_t low = u32_at(e);
        uint32_t high = u32_at(e + 4);
        if (low > high || high >= db->v4_count) return false;
    }
    return true;
}

bool parse(ip2location_t *db) {
    if (db->size < IP2LOCATION_HEADER_SIZE) return false;
    const uint8_t *h = db->data;
    db->db_type = h[0];
    db->columns = h[OFF_COLUMNS];
    db->v4_count = u32_at(h + OFF_V4_COUNT);
    if (db->columns < MIN_COLUMNS || db->v4_count < MIN_ROWS) return false;
    uint64_t table = static_cast<uint64_t>(db->v4_count) * row_size(db);
    if (!region_fits(u32_at(h + OFF_V4_BASE), table, db->size, &db->v4_rows)) return false;
    uint32_t index = u32_at(h + OFF_V4_INDEX);
    if (index == 0) return true;
    uint64_t index_len = IP2LOCATION_INDEX_ENTRIES * IP2LOCATION_INDEX_ENTRY_SIZE;
    if (!region_fits(index, index_len, db->size, &db->v4_index)) return false;
    db->has_index = true;
    return check_index(db);
}

ip2location_t *adopt(uint8_t *data, size_t size) {
    auto *db = static_cast<ip2location_t *>(calloc(1, sizeof(ip2location_t)));
    if (db == nullptr) {
        free(data);
        return nullptr;
    }
    db->data = data;
    db->size = size;
    if (!parse(db)) {
        ip2location_close(db);
        return nullptr;
    }
    return db;
}

bool read_all(int fd, uint8_t *data, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

ip2location_t *ip2location_open(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    uint8_t *data = nullptr;
    size_t size = 0;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    if (ok) {
        size = static_cast<size_t>(st.st_size);
        data = static_cast<uint8_t *>(malloc(size));
        ok = data != nullptr && read_all(fd, data, size);
    }
    close(fd);
    if (!ok) {
        free(data);
        return nullptr;
    }
    return adopt(data, size);
}

ip2location_t *ip2location_open_bytes(const uint8_t *data, size_t size) {
    auto *copy = static_cast<uint8_t *>(malloc(size ? size : 1));
    if (copy == nullptr) return nullptr;
    if (size) memcpy(copy, data, size);
    return adopt(copy, size);
}

void ip2location_close(ip2location_t *db) {
    if (db == nullptr) return;
    free(db->data);
    free(db);
}

bool ip2location_get_country_short(const ip2location_t *db, uint32_t ip, const uint8_t **code,
                                   size_t *len) {
    if (db == nullptr) return false;
    if (ip == UINT32_MAX) ip--;
    // Row k covers [first of k, first of k + 1): the candidates are rows 0 .. count - 2.
    uint32_t last = db->v4_count - 2;
    uint32_t low = 0, high = last;
    if (db->has_index) {
        const uint8_t *e = db->data + db->v4_index + (ip >> 16) * IP2LOCATION_INDEX_ENTRY_SIZE;
        low = u32_at(e);
        high = u32_at(e + 4);
        if (high > last) high = last;
    }
    while (low <= high) {
        uint32_t mid = low + (high - low) / 2;
        uint32_t from = u32_at(row(db, mid));
        uint32_t to = u32_at(row(db, mid + 1));
        if (ip >= from && ip < to) {
            uint32_t at = u32_at(row(db, mid) + 4);
            if (at >= db->size) return false;
            size_t n = db->data[at];
            if (n > db->size - at - 1) return false;
            *code = db->data + at + 1;
            *len = n;
            return true;
        }
        if (ip < from) {
            if (mid == 0) return false;
            high = mid - 1;
        } else {
            low = mid + 1;
        }
    }
    return false;
}
