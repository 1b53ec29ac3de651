#include "net/x_hosts.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/x_dns.h"

namespace {

constexpr size_t ADDR_TEXT_MAX = 45; // longest IPv6 text form, IPv4-mapped with a dotted tail

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool parse_addr(const char *tok, size_t len, uint8_t *family, uint8_t *addr) {
    if (len > ADDR_TEXT_MAX) return false;
    char text[ADDR_TEXT_MAX + 1];
    memcpy(text, tok, len);
    text[len] = 0;
    memset(addr, 0, 16);
    if (inet_pton(AF_INET, text, addr) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text, addr) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

// Printable ASCII forming a valid DNS name once one trailing dot is dropped.
bool name_ok(const char *tok, size_t *len) {
    if (*len > 0 && tok[*len - 1] == '.') --*len;
    for (size_t i = 0; i < *len; i++) {
        auto c = static_cast<unsigned char>(tok[i]);
        if (c <= ' ' || c >= 0x7f) return false;
    }
    return x_dns_name_valid(tok, *len);
}

// Three-way order of a stored name against len bytes of a lower-case key.
int name_cmp(const x_hosts_t *h, const x_hosts_entry_t &e, const char *key, size_t len) {
    int c = memcmp(h->names + e.name_off, key, std::min<size_t>(e.name_len, len));
    if (c != 0) return c;
    return e.name_len < len ? -1 : e.name_len > len ? 1 : 0;
}

struct builder_t {
    x_hosts_t *h;
    size_t names_len; // bytes of h->names used
    size_t cap;       // entries allocated
};

bool add_entry(builder_t *b, const char *name, size_t len, uint8_t family, const uint8_t *addr) {
    x_hosts_t *h = b->h;
    if (h->count == b->cap) {
        size_t cap = b->cap ? b->cap * 2 : 64;
        auto *grown =
            static_cast<x_hosts_entry_t *>(realloc(h->entries, cap * sizeof(x_hosts_entry_t)));
        if (!grown) return false;
        h->entries = grown;
        b->cap = cap;
    }
    x_hosts_entry_t &e = h->entries[h->count++];
    e.name_off = static_cast<uint32_t>(b->names_len);
    e.name_len = static_cast<uint8_t>(len);
    e.family = family;
    memcpy(e.addr, addr, 16);
    for (size_t i = 0; i < len; i++)
        h->names[b->names_len++] = lower(name[i]);
    return true;
}

// One line without its newline: an address, then names.
bool parse_line(builder_t *b, const char *p, const char *end) {
    const char *hash = static_cast<const char *>(memchr(p, '#', static_cast<size_t>(end - p)));
    if (hash) end = hash;
    uint8_t family = 0;
    uint8_t addr[16];
    bool have_addr = false;
    while (p < end) {
        while (p < end && is_blank(*p))
            p++;
        const char *tok = p;
        while (p < end && !is_blank(*p))
            p++;
        size_t len = static_cast<size_t>(p - tok);
        if (len == 0) break;
        if (!have_addr) {
            if (!parse_addr(tok, len, &family, addr)) return true;
            have_addr = true;
            continue;
        }
        if (name_ok(tok, &len) && !add_entry(b, tok, len, family, addr)) return false;
    }
    return true;
}

// Sorts by name, family and then file order, and keeps the first entry of each name and family.
void sort_and_merge(x_hosts_t *h) {
    auto less = [h](const x_hosts_entry_t &a, const x_hosts_entry_t &b) {
        int c = name_cmp(h, a, h->names + b.name_off, b.name_len);
        if (c != 0) return c < 0;
        if (a.family != b.family) return a.family < b.family;
        return a.name_off < b.name_off;
    };
    std::sort(h->entries, h->entries + h->count, less);
    size_t kept = 0;
    for (size_t i = 0; i < h->count; i++) {
        const x_hosts_entry_t &e = h->entries[i];
        bool same_name =
            kept > 0 && name_cmp(h, h->entries[kept - 1], h->names + e.name_off, e.name_len) == 0;
        if (same_name && h->entries[kept - 1].family == e.family) continue;
        if (!same_name) h->name_count++;
        h->entries[kept++] = e;
    }
    h->count = kept;
}

// Reads up to X_HOSTS_MAX_FILE + 1 bytes of fd into a new buffer; *len gets the bytes read.
// Null with errno set on a read error or when memory runs out.
char *read_bounded(int fd, off_t size_hint, size_t *len) {
    size_t cap = std::min<size_t>(static_cast<size_t>(size_hint), X_HOSTS_MAX_FILE) + 1;
    auto *buf = static_cast<char *>(malloc(cap));
    if (!buf) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t have = 0;
    for (;;) {
        if (have == cap) {
            if (cap == X_HOSTS_MAX_FILE + 1) break; // one byte past the bound: the file is cut
            size_t grown_cap = std::min(cap * 2, X_HOSTS_MAX_FILE + 1);
            auto *grown = static_cast<char *>(realloc(buf, grown_cap));
            if (!grown) {
                free(buf);
                errno = ENOMEM;
                return nullptr;
            }
            buf = grown;
            cap = grown_cap;
        }
        ssize_t n = read(fd, buf + have, cap - have);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            free(buf);
            errno = err;
            return nullptr;
        }
        have += static_cast<size_t>(n);
    }
    *len = have;
    return buf;
}

void fill_stamp(x_hosts_stamp_t *stamp, const struct stat &st) {
    stamp->dev = st.st_dev;
    stamp->ino = st.st_ino;
    stamp->size = st.st_size;
    stamp->mtime = st.st_mtim;
}

} // namespace

bool x_hosts_parse(x_hosts_t *hosts, const char *text, size_t len) {
    *hosts = {};
    if (len > X_HOSTS_MAX_FILE) len = X_HOSTS_MAX_FILE; // name offsets are 32 bits
    if (len == 0) return true;
    hosts->names = static_cast<char *>(malloc(len));
    if (!hosts->names) return false;
    builder_t b{hosts, 0, 0};
    const char *end = text + len;
    for (const char *p = text; p < end;) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *line_end = nl ? nl : end;
        if (!parse_line(&b, p, line_end)) {
            x_hosts_free(hosts);
            return false;
        }
        p = line_end + 1;
    }
    sort_and_merge(hosts);
    if (b.names_len < len) { // give back what the names did not use
        char *shrunk = static_cast<char *>(realloc(hosts->names, b.names_len ? b.names_len : 1));
        if (shrunk) hosts->names = shrunk;
    }
    return true;
}

bool x_hosts_stat(const char *path, x_hosts_stamp_t *stamp) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    fill_stamp(stamp, st);
    return true;
}

bool x_hosts_same(const x_hosts_stamp_t *a, const x_hosts_stamp_t *b) {
    return a->dev == b->dev && a->ino == b->ino && a->size == b->size &&
           a->mtime.tv_sec == b->mtime.tv_sec && a->mtime.tv_nsec == b->mtime.tv_nsec;
}

bool x_hosts_load(x_hosts_t *hosts, const char *path, x_hosts_stamp_t *stamp, bool *cut) {
    *hosts = {};
    *cut = false;
    // Non-blocking open: a FIFO in place of the file must not stall the thread.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (err != 0) {
        close(fd);
        errno = err;
        return false;
    }
    fill_stamp(stamp, st);
    size_t len = 0;
    char *text = read_bounded(fd, st.st_size, &len);
    err = errno;
    close(fd);
    if (!text) {
        errno = err;
        return false;
    }
    if (len > X_HOSTS_MAX_FILE) { // only whole lines before the bound count
        *cut = true;
        const char *nl = static_cast<const char *>(memrchr(text, '\n', X_HOSTS_MAX_FILE));
        len = nl ? static_cast<size_t>(nl - text) : 0;
    }
    bool ok = x_hosts_parse(hosts, text, len);
    free(text);
    if (!ok) errno = ENOMEM;
    return ok;
}

bool x_hosts_find(const x_hosts_t *hosts, const char *name, size_t len, int family, uint8_t *addr) {
    if (!hosts || hosts->count == 0 || !name) return false;
    if (len > 0 && name[len - 1] == '.') len--;
    if (len == 0 || len > X_DNS_MAX_NAME) return false;
    char key[X_DNS_MAX_NAME];
    for (size_t i = 0; i < len; i++)
        key[i] = lower(name[i]);
    const x_hosts_entry_t *first = hosts->entries;
    const x_hosts_entry_t *last = hosts->entries + hosts->count;
    const x_hosts_entry_t *it =
        std::lower_bound(first, last, 0, [&](const x_hosts_entry_t &e, int) {
            int c = name_cmp(hosts, e, key, len);
            return c < 0 || (c == 0 && e.family < family);
        });
    if (it == last || it->family != family || name_cmp(hosts, *it, key, len) != 0) return false;
    memcpy(addr, it->addr, family == AF_INET ? 4 : 16);
    return true;
}

void x_hosts_free(x_hosts_t *hosts) {
    free(hosts->names);
    free(hosts->entries);
    *hosts = {};
}
