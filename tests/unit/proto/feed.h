// Drives the incremental parsers the way a connection does: bytes arrive in pieces, and the
// buffer starts just big enough for the first piece and grows (moving) through http_ctx_adj_buf.
#pragma once

#include "proto/http_ctx.h"

#include <cstring>
#include <string>

struct Feeder {
    buf_t b{};
    http_ctx_t ctx{};
    std::string text;
    size_t given = 0;

    explicit Feeder(std::string t) : text(std::move(t)) {}
    ~Feeder() { buf_free(&b); }
    Feeder(const Feeder &) = delete;
    Feeder &operator=(const Feeder &) = delete;

    bool done() const { return given == text.size(); }

    // Appends up to n more bytes of the text, doubling the storage while it is too small.
    bool give(size_t n) {
        n = std::min(n, text.size() - given);
        if (b.start == nullptr) {
            if (!http_ctx_adj_buf(&ctx, &b, n == 0 ? 1 : n)) return false;
        }
        size_t cap = buf_capacity(&b);
        while (buf_free_space(&b) + (cap - buf_capacity(&b)) < n)
            cap *= 2;
        if (cap != buf_capacity(&b) && !http_ctx_adj_buf(&ctx, &b, cap)) return false;
        memcpy(b.last, text.data() + given, n);
        b.last += n;
        given += n;
        return true;
    }

    size_t off(const uint8_t *p) const { return p == nullptr ? SIZE_MAX : size_t(p - b.start); }
    std::string str(const uint8_t *from, const uint8_t *to) const {
        if (from == nullptr || to == nullptr) return "<null>";
        return std::string(reinterpret_cast<const char *>(from), size_t(to - from));
    }
};

// Runs `parse` until it stops asking for more: the first call sees `first` bytes, every later
// call `step` more bytes (0 means the whole rest).
template <typename Parse> int feed(Feeder &f, size_t first, size_t step, Parse parse) {
    if (!f.give(first)) return -100;
    for (;;) {
        int rc = parse(f);
        if (rc != -2 || f.done()) return rc;
        if (!f.give(step == 0 ? f.text.size() : step)) return -100;
    }
}
