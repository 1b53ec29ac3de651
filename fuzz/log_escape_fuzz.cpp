// Hostile names into the access-line field and the flow logs' JSON string: both decode back to the
// input, the field holds no control byte, the JSON is valid text (checked on code points), and
// both refuse, leaving an empty output, rather than overrun a buffer that is too small.
#include "report/x_log_flow.h"
#include "report/x_log_report.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using escape_fn = size_t (*)(char *, size_t, const uint8_t *, size_t);

// Escapes into `cap` bytes followed by a guard byte; false when the escaper refused.
bool escape(escape_fn fn, const uint8_t *data, size_t size, size_t cap, std::string *out) {
    out->assign(cap + 1, '\x55');
    size_t n = fn(out->data(), cap, data, size);
    if ((*out)[cap] != '\x55') abort(); // wrote past the room it was given
    if (n == SIZE_MAX && cap && (*out)[0] != '\0') abort();
    if (n == SIZE_MAX) return false;
    if (n >= cap || (*out)[n] != '\0') abort();
    out->resize(n);
    return true;
}

// The byte two hex digits at s[i] give.
char hex_byte(const std::string &s, size_t i) {
    if (!isxdigit(static_cast<uint8_t>(s[i])) || !isxdigit(static_cast<uint8_t>(s[i + 1]))) abort();
    return static_cast<char>(strtol(s.substr(i, 2).c_str(), nullptr, 16));
}

void check_field(const uint8_t *data, size_t size, size_t cap) {
    std::string out, back;
    if (!escape(x_log_escape_field, data, size, cap, &out)) return;
    for (size_t i = 0; i < out.size(); i++) {
        auto b = static_cast<uint8_t>(out[i]);
        if (b < 0x20 || b == 0x7f) abort();
        if (b == '\\' && (i + 3 >= out.size() || out[i + 1] != 'x')) abort();
        back += b == '\\' ? hex_byte(out, i + 2) : out[i];
        if (b == '\\') i += 3;
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
    std::string out, back;
    if (!escape(x_log_escape_json, data, size, cap, &out)) return;
    if (out.size() < 2 || out[0] != '"' || out.back() != '"') abort();
    std::string body = out.substr(1, out.size() - 2);
    for (size_t i = 0; i < body.size();) {
        char c = body[i];
        if (c == '"') abort(); // an unescaped quote would end the string early
        if (c == '\\' && i + 1 < body.size() && (body[i + 1] == '"' || body[i + 1] == '\\')) {
            back += body[i + 1];
            i += 2;
        } else if (c == '\\') {
            if (body.compare(i, 4, "\\u00") != 0 || i + 5 >= body.size()) abort();
            back += hex_byte(body, i + 4);
            i += 6;
        } else {
            size_t start = i;
            if (decode_utf8(body, &i) < 0x20) abort(); // invalid text, or a raw control character
            back += body.substr(start, i - start);
        }
    }
    if (back != std::string(reinterpret_cast<const char *>(data), size)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte picks a room, from too small to plenty; then the room always enough.
    size_t n = size ? size - 1 : 0, cap = size ? 1 + data[0] * 8 : 1;
    const uint8_t *text = size ? data + 1 : data;
    check_field(text, n, cap);
    check_field(text, n, n * 4 + 1);
    check_json(text, n, cap);
    check_json(text, n, n * 6 + 3);
    return 0;
}
