#include "config/x_cidr.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace {

// Longest entry: "255.255.255.255/32".
constexpr size_t CIDR_TEXT_MAX = 18;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// One entry without its surrounding blanks.
bool parse_entry(const char *p, size_t len, x_cidr_t *out) {
    if (len == 0 || len > CIDR_TEXT_MAX) return false;
    char text[CIDR_TEXT_MAX + 1];
    memcpy(text, p, len);
    text[len] = '\0';
    uint32_t prefix = 32;
    char *slash = strchr(text, '/');
    if (slash != nullptr) {
        const char *digits = slash + 1;
        size_t n = strlen(digits);
        if (n == 0 || n > 2 || strspn(digits, "0123456789") != n) return false;
        prefix = static_cast<uint32_t>(atoi(digits));
        if (prefix > 32) return false;
        *slash = '\0';
    }
    // inet_pton takes exactly four decimal parts: no "10.1", no octal or hexadecimal spellings.
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    out->mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
    out->net = ntohl(a.s_addr) & out->mask;
    return true;
}

void copy_bad(char *bad, size_t bad_cap, const char *p, size_t len) {
    if (bad == nullptr || bad_cap == 0) return;
    size_t n = len < bad_cap - 1 ? len : bad_cap - 1;
    memcpy(bad, p, n);
    bad[n] = '\0';
}

} // namespace

bool x_cidr_list_parse(x_cidr_list_t *list, const char *text, char *bad, size_t bad_cap) {
    *list = x_cidr_list_t{};
    copy_bad(bad, bad_cap, "", 0);
    if (text == nullptr) return true;
    size_t entries = 1;
    for (const char *p = text; *p; p++)
        entries += *p == ',';
    auto *items = static_cast<x_cidr_t *>(calloc(entries, sizeof(x_cidr_t)));
    if (items == nullptr) return false;
    uint32_t num = 0;
    const char *p = text;
    for (;;) {
        const char *comma = strchr(p, ',');
        const char *end = comma != nullptr ? comma : p + strlen(p);
        const char *b = p;
        while (b < end && is_blank(*b))
            b++;
        const char *e = end;
        while (e > b && is_blank(e[-1]))
            e--;
        size_t len = static_cast<size_t>(e - b);
        // Only a list of nothing but blanks is empty; an empty entry inside a list is a typo.
        bool whole_empty = len == 0 && num == 0 && comma == nullptr;
        if (!whole_empty && !parse_entry(b, len, &items[num++])) {
            copy_bad(bad, bad_cap, b, len);
            free(items);
            return false;
        }
        if (comma == nullptr) break;
        p = comma + 1;
    }
    if (num == 0) {
        free(items);
        return true;
    }
    list->items = items;
    list->num = num;
    return true;
}

bool x_cidr_list_match(const x_cidr_list_t *list, in_addr_t addr) {
    uint32_t a = ntohl(addr);
    for (uint32_t i = 0; i < list->num; i++)
        if ((a & list->items[i].mask) == list->items[i].net) return true;
    return false;
}

void x_cidr_list_free(x_cidr_list_t *list) {
    free(list->items);
    *list = x_cidr_list_t{};
}
