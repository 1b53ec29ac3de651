// Hostile bytes as an INI file: the tokeniser stays inside the buffer, and every key it leaves is
// found again with a non-empty value, whatever blanks, quotes, escapes or NUL bytes it holds.
#include "config/ini.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;
    // One in-memory regular file, rewritten for every input.
    static int fd = memfd_create("ini_fuzz", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0) abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    ini_t *ini = ini_load(path.c_str());
    if (ini == nullptr) abort(); // a regular file of this size always loads
    if (ini->end != ini->data + size || *ini->end != '\0') abort();

    // Walk the tokens as lookups do: headers, then key/value pairs.
    const char *section = "", *key = nullptr; // key: one still waiting for its value
    for (const char *p = ini->data; p < ini->end; p += strlen(p) + 1) {
        if (*p == '\0') continue;
        if (p + strlen(p) > ini->end) abort();
        if (key != nullptr) {
            // The first occurrence of this key in this section gives a non-empty value.
            const char *v = ini_get(ini, section, key);
            if (v == nullptr || *v == '\0' || v < ini->data || v >= ini->end) abort();
            key = nullptr;
        } else if (*p == '[') {
            section = p + 1;
            if (!ini_has_section(ini, section)) abort();
        } else {
            key = p;
        }
    }
    if (key != nullptr) abort(); // a key without its value
    (void)ini_get_section_count(ini, "port");
    ini_free(ini);
    return 0;
}
