// Hostile user names and destination names as they reach the access lines and the flow logs:
// the access-line field never holds a tab, line feed or other control byte, and decodes back to
// the input; the JSON string is valid JSON text (checked here by an independent decoder that
// works on code points) and decodes back to the input bytes. Both refuse, leaving an empty
// output, rather than overrun a buffer that is too small.
#include "report/x_log_flow.h"
#include "report/x_log_report.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void check_field(const uint8_t *data, size_t size, size_t cap) {
    std::string out(cap + 1, '\x55');
    size_t n = x_log_escape_field(out.data(), cap, data, size);
    if (out[cap] != '\x55') abort(); // wrote past the room it was given
    if (n == SIZE_MAX) {
        if (cap && out[0] != '\0') abort();
        return;
    }
    if (n >= cap || out[n] != '\0') abort();
    std::string back;
    for (size_t i = 0; i < n; i++) {
        auto b = static_cast<uint8_t>(out[i]);
        if (b < 0x20 || b == 0x7f) abort();
        if (b != '\\') {
            back += static_cast<char>(b);
            continue;
        }
        if (i + 3 >= n || out[i + 1] != 'x') abort();
        int hi = hex_value(out[i + 2]), lo = hex_value(out[i + 3]);
        if (hi < 0 || lo < 0) abort();
        back += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    if (back != std::string(reinterpret_cast<const char *>(data), size)) abort();
}

// Decodes one UTF-8 code point by value; -1 when the bytes are not a valid, shortest-form
// encoding of a scalar value.
long decode_utf8(const std::string &s, size_t *i) {
    auto b = static_cast<uint8_t>(s[*i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || *i + len > s.size()) return -1;
    long cp = len == 1 ? b : b & (0x7f >> len);
    for (int k = 1; k < len; k++) {
        auto c = static_cast<uint8_t>(s[*i + k]);
        if ((c & 0xc0) != 0x80) return -1;
        cp = (cp << 6) | (c & 0x3f);
    }
    static const long min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
    *i += len;
    return cp;
}

void check_json(const uint8_t *data, size_t size, size_t cap) {
    std::string out(cap + 1, '\x55');
    size_t n = x_log_escape_json(out.data(), cap, data, size);
    if (out[cap] != '\x55') abort();
    if (n == SIZE_MAX) {
        if (cap && out[0] != '\0') abort();
        return;
    }
    if (n < 2 || n >= cap || out[n] != '\0' || out[0] != '"' || out[n - 1] != '"') abort();
    std::string body = out.substr(1, n - 2), back;
    for (size_t i = 0; i < body.size();) {
        char c = body[i];
        if (c == '"') abort(); // an unescaped quote would end the string early
        if (c == '\\') {
            if (i + 1 >= body.size()) abort();
            char e = body[i + 1];
            if (e == '"' || e == '\\') {
                back += e;
                i += 2;
                continue;
            }
            if (e != 'u' || i + 5 >= body.size() || body[i + 2] != '0' || body[i + 3] != '0')
                abort();
            int hi = hex_value(body[i + 4]), lo = hex_value(body[i + 5]);
            if (hi < 0 || lo < 0) abort();
            back += static_cast<char>(hi * 16 + lo);
            i += 6;
            continue;
        }
        size_t start = i;
        long cp = decode_utf8(body, &i);
        if (cp < 0x20) abort(); // invalid text, or a raw control character
        back += body.substr(start, i - start);
    }
    if (back != std::string(reinterpret_cast<const char *>(data), size)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        check_field(data, 0, 1);
        check_json(data, 0, 3);
        return 0;
    }
    // The first byte picks a room, from too small to plenty.
    size_t cap = 1 + data[0] * 8;
    check_field(data + 1, size - 1, cap);
    check_field(data + 1, size - 1, (size - 1) * 4 + 1);
    check_json(data + 1, size - 1, cap);
    check_json(data + 1, size - 1, (size - 1) * 6 + 3);
    return 0;
}
