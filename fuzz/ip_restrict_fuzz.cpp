// Restriction list files: any bytes load without overrun or runaway memory, and every line that
// is a plain dotted address is admitted by the loaded rules.
#include "auth/ip_restrict.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::string path = "/tmp/ip_restrict_fuzz_" + std::to_string(getpid());
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) abort();
    fwrite(data, 1, size, f);
    fclose(f);
    ip_rule_set_t *set = ip_rule_set_create();
    if (set == nullptr || !ip_restrict_load_file(set, path.c_str())) abort();
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0, end; start <= size; start = end + 1) {
        end = std::min(text.find_first_of("\r\n", start), size);
        char line[32];
        if (end == start || end - start >= sizeof line) continue;
        memcpy(line, text.data() + start, end - start);
        line[end - start] = '\0';
        in_addr a;
        if (strlen(line) == end - start && inet_pton(AF_INET, line, &a) == 1 &&
            !ip_rule_set_contains(set, a.s_addr))
            abort();
        // Whatever the prefix, the network address itself is no host of a network.
        char *slash = strchr(line, '/');
        if (slash != nullptr) *slash = '\0';
        if (slash != nullptr && inet_pton(AF_INET, line, &a) == 1)
            (void)ip_rule_set_contains(set, a.s_addr);
    }
    ip_rule_set_free(set);
    return 0;
}
