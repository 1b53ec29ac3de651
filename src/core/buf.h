// The growable byte buffer, and the LEB128 codec of the binary JSON form and of framed messages.
//
// Invariant: start <= pos <= last <= end. Unread data is [pos, last), free space [last, end).
// A user may lower `end` below the allocation to cap a single read; capacities use that `end`.
#pragma once

#include <cstddef>
#include <cstdint>

struct buf_t {
    uint8_t *start; // first byte of the storage, null when there is none
    uint8_t *end;   // one past the last usable byte
    uint8_t *pos;   // next byte to consume
    uint8_t *last;  // one past the last byte written
};

// A zeroed record without storage; null on allocation failure.
buf_t *buf_new();
// Frees the storage and the record; null is ignored.
void buf_delete(buf_t *buf);
// Sets the capacity to exactly `size` bytes, keeping the offsets of pos and last. A no-op when
// the capacity already is `size`. False for null, size 0 or allocation failure (buffer unchanged).
[[nodiscard]] bool buf_alloc(buf_t *buf, size_t size);
// Ensures `need` bytes of free space, doubling the capacity as often as needed.
[[nodiscard]] bool buf_check_to_write(buf_t *buf, size_t need);
// Frees the storage and clears the four pointers.
void buf_free(buf_t *buf);
// Moves the unread bytes to the front (nothing moves when pos == start).
void buf_drain(buf_t *buf);

inline size_t buf_size(const buf_t *buf) {
    return static_cast<size_t>(buf->last - buf->pos);
}
inline size_t buf_capacity(const buf_t *buf) {
    return static_cast<size_t>(buf->end - buf->start);
}
inline size_t buf_free_space(const buf_t *buf) {
    return static_cast<size_t>(buf->end - buf->last);
}

// LEB128. `start` is the number of top bits of the first byte that carry no value bits: 0 or 1
// for the plain form, 2 to 7 for the prefixed form whose first byte holds the tag `head` in its
// top start-1 bits, a continuation flag at bit 8-start and the low 8-start bits of the value.
//
// Appends num; on allocation failure nothing of the value remains and the result is false.
[[nodiscard]] bool buf_write_uleb128_(buf_t *buf, uint8_t head, uint8_t start, uint64_t num);
// Decodes a value whose first byte (head) the caller already consumed when start >= 2. False
// with pos restored when bytes are missing or the value does not fit in 64 bits.
[[nodiscard]] bool buf_read_uleb128_(buf_t *buf, uint8_t head, uint8_t start, uint64_t *num);
// Bytes buf_write_uleb128_ appends for num.
size_t get_uleb128_len_(uint8_t start, uint64_t num);
