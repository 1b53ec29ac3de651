// Reader of a hosts file ("address name [alias ...]" lines) for the resolver.
//
// The file is untrusted text: it is read whole up to X_HOSTS_MAX_FILE bytes and parsed in place,
// so no line length can overrun anything. Comments start at '#'; fields are separated by spaces,
// tabs and carriage returns. A line whose first field is not an IPv4 or IPv6 address is skipped,
// and so is every name that is not a valid DNS name (one trailing dot is dropped first). Names are
// kept in lower case and looked up case-insensitively; when a name appears on several lines with
// addresses of one family, the first line wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

constexpr size_t X_HOSTS_MAX_FILE = 16u << 20; // bytes read at most; the rest is ignored

struct x_hosts_entry_t {
    uint32_t name_off; // offset of the name in x_hosts_t::names
    uint8_t name_len;  // 1 to 253 bytes
    uint8_t family;    // AF_INET or AF_INET6
    uint8_t addr[16];  // the address, network order (4 bytes used for AF_INET)
};

struct x_hosts_t {
    char *names;              // every kept name, lower case, back to back (no separators)
    x_hosts_entry_t *entries; // sorted by name, then family; one per name and family
    size_t count;             // entries
    size_t name_count;        // distinct names
};

// What identifies the version of a file that was read: a change of any field means a new file.
struct x_hosts_stamp_t {
    dev_t dev; // device and inode (a file replaced by rename gets a new inode)
    ino_t ino;
    off_t size;            // bytes
    struct timespec mtime; // last modification
};

// Parses len bytes of hosts-file text (at most X_HOSTS_MAX_FILE of them are looked at) into
// *hosts, which it overwrites. False only when memory ran out (*hosts is then left empty).
[[nodiscard]] bool x_hosts_parse(x_hosts_t *hosts, const char *text, size_t len);

// Reads and parses the regular file at path into *hosts (overwritten) and fills *stamp. *cut is set
// when the file was longer than X_HOSTS_MAX_FILE (then only its whole lines before the bound
// count). False with errno set when the file cannot be opened, is not a regular file, or cannot
// be read, or when memory ran out; *hosts is then empty.
[[nodiscard]] bool x_hosts_load(x_hosts_t *hosts, const char *path, x_hosts_stamp_t *stamp,
                                bool *cut);

// Stamp of the file at path now; false (errno set) when it cannot be examined.
[[nodiscard]] bool x_hosts_stat(const char *path, x_hosts_stamp_t *stamp);
bool x_hosts_same(const x_hosts_stamp_t *a, const x_hosts_stamp_t *b);

// Address of name (len bytes, compared case-insensitively, one trailing dot ignored) for family
// AF_INET or AF_INET6, copied to addr (4 or 16 bytes); false when the file has none.
bool x_hosts_find(const x_hosts_t *hosts, const char *name, size_t len, int family, uint8_t *addr);

// Releases the tables; *hosts is left zeroed (an empty table).
void x_hosts_free(x_hosts_t *hosts);
