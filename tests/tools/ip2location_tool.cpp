// Writes and reads small IP2Location BIN databases for the end-to-end suites and examples.
//   ip2location_tool write OUT.bin [index] < ranges   (lines "a.b.c.d CODE", ascending)
//   ip2location_tool lookup DB.bin ADDRESS...         (prints "ADDRESS CODE", "-" for none)
#include "../unit/auth/ip2location_writer.h"
#include "auth/ip2location.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int write_db(const char *path, bool index) {
    std::vector<ip2l_range> ranges;
    std::string addr, code;
    while (std::cin >> addr >> code) {
        in_addr a{};
        if (inet_pton(AF_INET, addr.c_str(), &a) != 1) {
            fprintf(stderr, "bad address %s\n", addr.c_str());
            return 2;
        }
        ranges.push_back({ntohl(a.s_addr), code});
    }
    std::vector<uint8_t> bytes = ip2l_write(ranges, index);
    FILE *f = fopen(path, "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return 1;
    return fclose(f) == 0 ? 0 : 1;
}

int lookup(const char *path, char **addrs, int n) {
    ip2location_t *db = ip2location_open(path);
    if (db == nullptr) {
        fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    for (int i = 0; i < n; i++) {
        in_addr a{};
        const uint8_t *code = nullptr;
        size_t len = 0;
        bool found = inet_pton(AF_INET, addrs[i], &a) == 1 &&
                     ip2location_get_country_short(db, ntohl(a.s_addr), &code, &len);
        printf("%s %.*s\n", addrs[i], found ? static_cast<int>(len) : 1,
               found ? reinterpret_cast<const char *>(code) : "-");
    }
    ip2location_close(db);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "write") == 0)
        return write_db(argv[2], argc > 3 && strcmp(argv[3], "index") == 0);
    if (argc >= 3 && strcmp(argv[1], "lookup") == 0) return lookup(argv[2], argv + 3, argc - 3);
    fprintf(stderr, "usage: %s write OUT [index] < ranges | lookup DB ADDRESS...\n", argv[0]);
    return 2;
}
