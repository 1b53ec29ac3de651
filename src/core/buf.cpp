#include "core/buf.h"

#include <cstdlib>
#include <cstring>

buf_t *buf_new() {
    return static_cast<buf_t *>(calloc(1, sizeof(buf_t)));
}

void buf_delete(buf_t *buf) {
    if (buf == nullptr) return;
    free(buf->start);
    free(buf);
}

bool buf_alloc(buf_t *buf, size_t size) {
    if (buf == nullptr || size == 0) return false;
    if (buf->start == nullptr) {
        auto *p = static_cast<uint8_t *>(malloc(size));
        if (p == nullptr) return false;
        buf->start = buf->pos = buf->last = p;
        buf->end = p + size;
        return true;
    }
    if (buf_capacity(buf) == size) return true;
    size_t pos_off = static_cast<size_t>(buf->pos - buf->start);
    size_t last_off = static_cast<size_t>(buf->last - buf->start);
    auto *p = static_cast<uint8_t *>(realloc(buf->start, size));
    if (p == nullptr) return false;
    buf->start = p;
    buf->pos = p + pos_off;
    buf->last = p + last_off;
    buf->end = p + size;
    return true;
}

bool buf_check_to_write(buf_t *buf, size_t need) {
    if (buf == nullptr) return false;
    if (buf->start != nullptr && buf_free_space(buf) >= need) return true;
    size_t used = static_cast<size_t>(buf->last - buf->start);
    size_t cap = buf_capacity(buf);
    if (cap == 0) cap = need; // a buffer without storage starts at what is needed
    while (cap < used + need) {
        if (cap > SIZE_MAX / 2) return false;
        cap *= 2;
    }
    return buf_alloc(buf, cap);
}

void buf_free(buf_t *buf) {
    if (buf == nullptr || buf->start == nullptr) return;
    free(buf->start);
    buf->start = buf->end = buf->pos = buf->last = nullptr;
}

void buf_drain(buf_t *buf) {
    if (buf->pos == buf->start) return;
    if (buf->pos == buf->last) {
        buf->pos = buf->last = buf->start;
        return;
    }
    size_t n = buf_size(buf);
    memmove(buf->start, buf->pos, n);
    buf->pos = buf->start;
    buf->last = buf->start + n;
}

namespace {

bool put_byte(buf_t *buf, uint8_t b) {
    if (!buf_check_to_write(buf, 1)) return false;
    *buf->last++ = b;
    return true;
}

bool write_plain(buf_t *buf, uint64_t num) {
    while (num > 0x7F) {
        if (!put_byte(buf, static_cast<uint8_t>((num & 0x7F) | 0x80))) return false;
        num >>= 7;
    }
    return put_byte(buf, static_cast<uint8_t>(num));
}

size_t plain_len(uint64_t num) {
    size_t n = 1;
    while (num > 0x7F) {
        num >>= 7;
        n++;
    }
    return n;
}

} // namespace

bool buf_write_uleb128_(buf_t *buf, uint8_t head, uint8_t start, uint64_t num) {
    if (buf == nullptr) return false;
    // Remember the offset, not the pointer: growing may move the storage.
    size_t mark = buf->start ? static_cast<size_t>(buf->last - buf->start) : 0;
    bool ok;
    if (start < 2) {
        ok = write_plain(buf, num);
    } else {
        unsigned k = 8u - start;
        uint64_t flag = 1ull << k;
        if (num < flag) {
            ok = put_byte(buf, static_cast<uint8_t>(head | num));
        } else {
            ok = put_byte(buf, static_cast<uint8_t>(head | flag | (num & (flag - 1)))) &&
                 write_plain(buf, num >> k);
        }
    }
    if (!ok && buf->start) buf->last = buf->start + mark;
    return ok;
}

bool buf_read_uleb128_(buf_t *buf, uint8_t head, uint8_t start, uint64_t *num) {
    uint8_t *begin = buf->pos;
    uint64_t value = 0;
    unsigned shift = 0;
    if (start >= 2) {
        unsigned k = 8u - start;
        uint64_t flag = 1ull << k;
        value = head & (flag - 1);
        if ((head & flag) == 0) {
            *num = value;
            return true;
        }
        shift = k;
    }
    for (;;) {
        if (buf->pos == buf->last) {
            buf->pos = begin;
            return false;
        }
        uint8_t b = *buf->pos++;
        uint64_t bits = b & 0x7F;
        // Reject groups whose bits would fall beyond 64: shifting past 63 is undefined.
        if (shift >= 64 || (shift > 0 && (bits >> (64 - shift)) != 0)) {
            buf->pos = begin;
            return false;
        }
        value |= bits << shift;
        shift += 7;
        if ((b & 0x80) == 0) break;
    }
    *num = value;
    return true;
}

size_t get_uleb128_len_(uint8_t start, uint64_t num) {
    if (start < 2) return plain_len(num);
    unsigned k = 8u - start;
    if (num < (1ull << k)) return 1;
    return 1 + plain_len(num >> k);
}
