// Equality of two trees up to what the binary form keeps: an unsigned number that travels in a
// signed form comes back as BJSON_INT with the same 64 bits.
#pragma once

#include "bjson/binary_json.h"

inline bool bjson_same(const bjson_val_t *a, const bjson_val_t *b) {
    auto integer = [](const bjson_val_t *v) {
        return v->type == BJSON_INT || v->type == BJSON_UINT;
    };
    if (a == nullptr || b == nullptr) return a == b;
    if (integer(a) && integer(b)) return a->u == b->u;
    if (a->type != b->type) return false;
    if (a->type == BJSON_ARRAY) {
        if (a->list.len != b->list.len) return false;
        for (uint32_t i = 0; i < a->list.len; ++i)
            if (!bjson_same(a->list.arr[i], b->list.arr[i])) return false;
        return true;
    }
    if (a->type != BJSON_OBJECT) return bjson_equals(a, b);
    if (bjson_object_len(a) != bjson_object_len(b)) return false;
    struct ctx_t {
        const bjson_val_t *other;
    } ctx{b};
    return bjson_object_foreach(
        a,
        [](bjson_val_t *m, void *c) {
            const bjson_val_t *other = static_cast<ctx_t *>(c)->other;
            auto *peer = static_cast<const bjson_val_t *>(dictFetchValue(other->map, &m->key));
            return bjson_same(m, peer);
        },
        &ctx);
}
