// Hostile bytes as an INI file: the tokeniser must stay inside the buffer, and every key it
// leaves behind must be found again with a non-empty value (keys and values never fall out of
// step), whatever blanks, quotes, escapes, brackets or NUL bytes the text holds.
#include "config/ini.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// One in-memory regular file, rewritten for every input.
const char *input_path() {
    static char path[64];
    if (path[0] == '\0') {
        int fd = memfd_create("ini_fuzz", 0);
        if (fd < 0) abort();
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    return path;
}

void write_input(const uint8_t *data, size_t size) {
    int fd = atoi(strrchr(input_path(), '/') + 1);
    if (ftruncate(fd, 0) != 0) abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;
    write_input(data, size);
    ini_t *ini = ini_load(input_path());
    if (ini == nullptr) abort(); // a regular file of this size always loads
    if (ini->end != ini->data + size || *ini->end != '\0') abort();

    // Walk the tokens as lookups do: headers, then key/value pairs.
    const char *p = ini->data;
    const char *section = "";
    bool expect_value = false;
    const char *key = nullptr;
    while (p < ini->end) {
        if (*p == '\0') {
            ++p;
            continue;
        }
        size_t len = strlen(p);
        if (p + len > ini->end) abort();
        if (expect_value) {
            // The first occurrence of this key in this section gives a non-empty value.
            const char *v = ini_get(ini, section, key);
            if (v == nullptr || *v == '\0' || v < ini->data || v >= ini->end) abort();
            expect_value = false;
        } else if (*p == '[') {
            section = p + 1;
            if (!ini_has_section(ini, section)) abort();
        } else {
            key = p;
            expect_value = true;
        }
        p += len;
    }
    if (expect_value) abort(); // a key without its value
    (void)ini_get_section_count(ini, "port");
    ini_free(ini);
    return 0;
}
