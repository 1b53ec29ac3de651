// Restriction list files: any bytes load without overrun or runaway memory, and every line that
// is a plain dotted address is admitted by the loaded rules.
#include "auth/ip_restrict.h"

#include <arpa/inet.h>
#include <cstdint>
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
    const char *text = reinterpret_cast<const char *>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i < size && text[i] != '\n' && text[i] != '\r') continue;
        size_t n = i - start;
        char line[32];
        if (n > 0 && n < sizeof line) {
            memcpy(line, text + start, n);
            line[n] = '\0';
            in_addr a;
            if (strlen(line) == n && inet_pton(AF_INET, line, &a) == 1 &&
                !ip_rule_set_contains(set, a.s_addr))
                abort();
            char *slash = strchr(line, '/');
            if (slash != nullptr) {
                *slash = '\0';
                // Whatever the prefix, the network address itself is no host of a network.
                if (inet_pton(AF_INET, line, &a) == 1) (void)ip_rule_set_contains(set, a.s_addr);
            }
        }
        start = i + 1;
    }
    ip_rule_set_free(set);
    return 0;
}
