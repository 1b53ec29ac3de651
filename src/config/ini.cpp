#include "config/ini.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Files of 2 GiB or more are refused: positions are kept in 32-bit signed arithmetic by readers
// of this format, and no configuration comes near it.
constexpr off_t INI_MAX_SIZE = static_cast<off_t>(INT32_MAX);

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool is_trailing_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}
bool ends_line(char c) {
    return c == '\n' || c == '\0';
}

// Overwrites [from, to) with NUL.
void clear(char *from, char *to) {
    if (to > from) memset(from, 0, static_cast<size_t>(to - from));
}

// First byte at or after p that is LF or NUL (or end).
char *line_end(char *p, char *end) {
    while (p < end && !ends_line(*p))
        ++p;
    return p;
}

// Unescapes the quoted value whose opening quote is at q, in place, starting at q. Stops at the
// closing quote, CR, LF, a NUL byte or end. Returns one past the last byte written.
char *unescape_quoted(char *q, char *end) {
    char *w = q;
    char *r = q + 1;
    while (r < end && *r != '"' && *r != '\r' && *r != '\n' && *r != '\0') {
        if (*r != '\\') {
            *w++ = *r++;
            continue;
        }
        ++r;
        if (r >= end || *r == '\r' || *r == '\n' || *r == '\0') break;
        switch (*r) {
        case 'r':
            *w++ = '\r';
            break;
        case 'n':
            *w++ = '\n';
            break;
        case 't':
            *w++ = '\t';
            break;
        default:
            *w++ = *r;
            break;
        }
        ++r;
    }
    return w;
}

// Handles a section header at p ("["). Returns where scanning resumes.
char *parse_section(char *p, char *end) {
    char *q = p + 1;
    while (q < end && *q != ']' && !ends_line(*q))
        ++q;
    if (q < end) *q = '\0';
    return q;
}

// Handles a key line starting at p. Returns where scanning resumes (the line end). Every token
// left behind is non-empty and NUL-free, so key and value tokens always alternate.
char *parse_key_line(char *p, char *end) {
    char *eq = p;
    while (eq < end && *eq != '=' && !ends_line(*eq))
        ++eq;
    char *eol = line_end(eq, end);
    // No "=" on the line, or nothing before it: the line carries no pair.
    if (eq >= end || *eq != '=' || eq == p) {
        clear(p, eol);
        return eol;
    }
    char *k = eq;
    while (k > p && is_trailing_blank(k[-1]))
        *--k = '\0';
    *eq = '\0';
    char *v = eq + 1;
    while (v < end && is_trailing_blank(*v))
        *v++ = '\0';
    if (v >= end || ends_line(*v)) { // no value
        clear(p, v);
        return v;
    }
    if (*v == '"') {
        char *vend = unescape_quoted(v, end);
        if (vend == v) { // empty after unescaping
            clear(p, eol);
            return eol;
        }
        clear(vend, eol);
        return eol;
    }
    char *t = eol;
    while (t > v && is_trailing_blank(t[-1]))
        *--t = '\0';
    return eol;
}

void tokenise(char *p, char *end) {
    while (p < end) {
        char c = *p;
        if (is_blank(c)) {
            *p++ = '\0';
        } else if (c == '\0') {
            ++p;
        } else if (c == '#' || c == ';') {
            char *eol = p;
            while (eol < end && *eol != '\n')
                ++eol;
            clear(p, eol);
            p = eol;
        } else if (c == '[') {
            p = parse_section(p, end);
        } else {
            p = parse_key_line(p, end);
        }
    }
}

// Next token at or after p, or null at the end.
const char *next_token(const char *p, const char *end) {
    while (p < end && *p == '\0')
        ++p;
    return p < end ? p : nullptr;
}

const char *skip_token(const char *p, const char *end) {
    while (p < end && *p != '\0')
        ++p;
    return p;
}

[[noreturn]] void die_not_found(const char *section, const char *key) {
    fprintf(stderr, "[ini] %s/%s not found!\n", section ? section : "", key);
    exit(1);
}

int64_t to_int64(const char *section, const char *key, const char *value) {
    char *endp = nullptr;
    long n = strtol(value, &endp, 10);
    if (endp == value || *endp != '\0') {
        fprintf(stderr, "[ini] %s/%s is not a number: %s!\n", section ? section : "", key, value);
        exit(1);
    }
    return n;
}

} // namespace

// Reads the whole regular file into a fresh buffer of size + 1 bytes (the last one NUL).
char *ini_read_whole(const char *filename, size_t *size_out) {
    // Non-blocking, so that opening a FIFO without a writer cannot hang the start-up.
    int fd = open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        st.st_size >= INI_MAX_SIZE) {
        close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(size + 1));
    if (buf == nullptr) {
        close(fd);
        return nullptr;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got != size) {
        free(buf);
        return nullptr;
    }
    buf[size] = '\0';
    *size_out = size;
    return buf;
}

int strcmpci(const char *a, const char *b) {
    for (;; ++a, ++b) {
        int ca = static_cast<unsigned char>(*a);
        int cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

ini_t *ini_load(const char *filename) {
    ini_t *ini = static_cast<ini_t *>(calloc(1, sizeof(ini_t)));
    if (ini == nullptr) return nullptr;
    size_t size = 0;
    ini->data = ini_read_whole(filename, &size);
    if (ini->data == nullptr) {
        free(ini);
        return nullptr;
    }
    ini->end = ini->data + size;
    tokenise(ini->data, ini->end);
    return ini;
}

void ini_free(ini_t *ini) {
    if (ini == nullptr) return;
    free(ini->data);
    free(ini);
}

const char *ini_get(const ini_t *ini, const char *section, const char *key) {
    const char *current = "";
    const char *p = next_token(ini->data, ini->end);
    while (p != nullptr) {
        if (*p == '[') {
            current = p + 1;
            p = next_token(skip_token(p, ini->end), ini->end);
            continue;
        }
        const char *value = next_token(skip_token(p, ini->end), ini->end);
        if (value == nullptr) return nullptr;
        if ((section == nullptr || strcmpci(section, current) == 0) && strcmpci(key, p) == 0) {
            return value;
        }
        p = next_token(skip_token(value, ini->end), ini->end);
    }
    return nullptr;
}

int ini_sget(const ini_t *ini, const char *section, const char *key, const char *scanfmt,
             void *dst) {
    const char *value = ini_get(ini, section, key);
    if (value == nullptr) return 0;
    if (scanfmt == nullptr) {
        *static_cast<const char **>(dst) = value;
    } else {
        // The format is the caller's, and names dst's type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        (void)sscanf(value, scanfmt, dst);
#pragma GCC diagnostic pop
    }
    return 1;
}

int ini_has_section(const ini_t *ini, const char *section) {
    const char *p = next_token(ini->data, ini->end);
    bool is_value = false;
    while (p != nullptr) {
        if (!is_value && *p == '[') {
            if (strcmpci(section, p + 1) == 0) return 1;
        } else {
            is_value = !is_value;
        }
        p = next_token(skip_token(p, ini->end), ini->end);
    }
    return 0;
}

uint32_t ini_get_section_count(const ini_t *ini, const char *prefix) {
    char name[64];
    uint32_t n = 0;
    for (;; ++n) {
        snprintf(name, sizeof name, "%s%u", prefix, n);
        if (!ini_has_section(ini, name)) return n;
    }
}

const char *ini_get_string(const ini_t *ini, const char *section, const char *key) {
    const char *value = ini_get(ini, section, key);
    if (value == nullptr) die_not_found(section, key);
    return value;
}

const char *ini_opt_string(const ini_t *ini, const char *section, const char *key,
                           const char *def) {
    const char *value = ini_get(ini, section, key);
    return value != nullptr ? value : def;
}

int64_t ini_get_int64(const ini_t *ini, const char *section, const char *key) {
    return to_int64(section, key, ini_get_string(ini, section, key));
}

int64_t ini_opt_int64(const ini_t *ini, const char *section, const char *key, int64_t def) {
    const char *value = ini_get(ini, section, key);
    return value != nullptr ? to_int64(section, key, value) : def;
}

in_addr_t ini_get_ip(const ini_t *ini, const char *section, const char *key) {
    return inet_addr(ini_get_string(ini, section, key));
}

in_addr_t ini_opt_ip(const ini_t *ini, const char *section, const char *key, in_addr_t def) {
    const char *value = ini_get(ini, section, key);
    return value != nullptr ? inet_addr(value) : def;
}
