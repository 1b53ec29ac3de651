#include "bjson/binary_json.h"

#include "bjson/binary_json_wire.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Slots of an array that grows from no slots at all.
constexpr uint32_t ARRAY_FIRST_CAP = 4;

uint64_t key_hash(const void *key) {
    const auto *k = static_cast<const bjson_str_t *>(key);
    return dictGenHashFunction(k->data, k->len);
}

int key_compare(dict *, const void *a, const void *b) {
    const auto *x = static_cast<const bjson_str_t *>(a);
    const auto *y = static_cast<const bjson_str_t *>(b);
    return x->len == y->len && (x->len == 0 || memcmp(x->data, y->data, x->len) == 0);
}

dictType bjson_dict_type = {key_hash, nullptr, nullptr, key_compare,
                            nullptr,  nullptr, nullptr, nullptr};

bool is_kind(const bjson_val_t *val, bjson_val_type type) {
    return val != nullptr && val->type == type;
}

// True when [p, p + len) lies inside the text the value itself owns (its key or string).
bool points_into(const bjson_val_t *val, const char *p, size_t len) {
    auto inside = [p, len](const bjson_str_t &s) {
        return s.data != nullptr && p >= s.data && p + len <= s.data + s.len + 1;
    };
    if (val == nullptr || p == nullptr) return false;
    if (val->key_alloc && inside(val->key)) return true;
    return val->type == BJSON_STRING && val->val_alloc && inside(val->s);
}

char *copy_text(const char *data, size_t len) {
    auto *p = static_cast<char *>(malloc(len + 1));
    if (p == nullptr) return nullptr;
    if (len > 0) memcpy(p, data, len);
    p[len] = '\0';
    return p;
}

void release_contents(bjson_val_t *val) {
    switch (val->type) {
    case BJSON_STRING:
        if (val->val_alloc) free(val->s.data);
        break;
    case BJSON_ARRAY:
        for (uint32_t i = 0; i < val->list.len; ++i)
            bjson_free(val->list.arr[i]);
        if (val->val_alloc) free(val->list.arr);
        break;
    case BJSON_OBJECT: {
        dictIterator it;
        dictInitSafeIterator(&it, val->map);
        while (dictEntry *e = dictNext(&it))
            bjson_free(static_cast<bjson_val_t *>(e->v.val));
        dictResetIterator(&it);
        dictRelease(val->map);
        break;
    }
    default:
        break;
    }
}

void set_scalar(bjson_val_t *val, bjson_val_type type) {
    bjson_set_null(val);
    val->type = type;
}

template <typename T>
bjson_val_t *with_member(bjson_val_t *obj, const char *key, bool copy_key, bjson_val_t *member,
                         T fill) {
    if (member == nullptr) return nullptr;
    if (!fill(member) || !bjson_object_set(obj, key, copy_key, member)) {
        bjson_free(member);
        return nullptr;
    }
    return member;
}

template <typename T> bjson_val_t *with_element(bjson_val_t *arr, bjson_val_t *element, T fill) {
    if (element == nullptr) return nullptr;
    if (!fill(element) || !bjson_array_add(arr, element)) {
        bjson_free(element);
        return nullptr;
    }
    return element;
}

bool members_equal(const bjson_val_t *a, const bjson_val_t *b) {
    if (bjson_object_len(a) != bjson_object_len(b)) return false;
    dictIterator it;
    dictInitSafeIterator(&it, a->map);
    bool equal = true;
    while (dictEntry *e = dictNext(&it)) {
        auto *m = static_cast<bjson_val_t *>(e->v.val);
        auto *other = static_cast<bjson_val_t *>(dictFetchValue(b->map, &m->key));
        if (other == nullptr || !bjson_equals(m, other)) {
            equal = false;
            break;
        }
    }
    dictResetIterator(&it);
    return equal;
}

} // namespace

// ---- creation and release ----

bjson_val_t *bjson_create() {
    auto *val = static_cast<bjson_val_t *>(calloc(1, sizeof(bjson_val_t)));
    if (val != nullptr) val->type = BJSON_NULL;
    return val;
}

bjson_val_t *bjson_create_object(uint32_t cap) {
    bjson_val_t *val = bjson_create();
    if (val != nullptr && !bjson_set_object(val, cap)) {
        bjson_free(val);
        return nullptr;
    }
    return val;
}

bjson_val_t *bjson_create_array(uint32_t cap) {
    bjson_val_t *val = bjson_create();
    if (val != nullptr && !bjson_set_array(val, cap)) {
        bjson_free(val);
        return nullptr;
    }
    return val;
}

void bjson_free(bjson_val_t *val) {
    if (val == nullptr) return;
    if (val->key_alloc) free(val->key.data);
    release_contents(val);
    free(val);
}

// ---- setting ----

void bjson_set_null(bjson_val_t *val) {
    release_contents(val);
    val->type = BJSON_NULL;
    val->val_alloc = false;
    memset(&val->s, 0, sizeof val->s); // the widest member of the payload
    static_assert(sizeof(bjson_str_t) >= sizeof(bjson_arr_t));
}

void bjson_set_int(bjson_val_t *val, int64_t v) {
    set_scalar(val, BJSON_INT);
    val->i = v;
}

void bjson_set_uint(bjson_val_t *val, uint64_t v) {
    set_scalar(val, BJSON_UINT);
    val->u = v;
}

void bjson_set_bool(bjson_val_t *val, bool v) {
    set_scalar(val, BJSON_BOOL);
    val->i = v ? 1 : 0;
}

void bjson_set_float(bjson_val_t *val, float v) {
    set_scalar(val, BJSON_FLOAT);
    val->f = v;
}

void bjson_set_double(bjson_val_t *val, double v) {
    set_scalar(val, BJSON_DOUBLE);
    val->d = v;
}

bool bjson_set_string(bjson_val_t *val, const char *data, size_t len, bool copy) {
    // Borrowing the value's own text would leave it pointing at freed bytes: copy instead.
    if (!copy && points_into(val, data, len) &&
        !(val->type == BJSON_STRING && data == val->s.data && len == val->s.len)) {
        copy = true;
    }
    if (!copy && val->type == BJSON_STRING && data == val->s.data && len == val->s.len) {
        return true; // already this text; keep its ownership
    }
    char *text = copy ? copy_text(data, len) : const_cast<char *>(data);
    if (copy && text == nullptr) {
        bjson_set_null(val);
        return false;
    }
    bjson_set_null(val);
    val->type = BJSON_STRING;
    val->val_alloc = copy;
    val->s.data = text;
    val->s.len = len;
    return true;
}

bool bjson_set_object(bjson_val_t *val, uint32_t cap) {
    if (val->type == BJSON_OBJECT) return true;
    dict *map = dictCreate(&bjson_dict_type);
    if (map == nullptr) return false;
    if (cap > 0) dictTryExpand(map, cap);
    bjson_set_null(val);
    val->type = BJSON_OBJECT;
    val->val_alloc = true;
    val->map = map;
    return true;
}

bool bjson_set_array(bjson_val_t *val, uint32_t cap) {
    if (val->type == BJSON_ARRAY) return true;
    bjson_set_null(val);
    bjson_val_t **slots = nullptr;
    if (cap > 0) {
        slots = static_cast<bjson_val_t **>(calloc(cap, sizeof(bjson_val_t *)));
        if (slots == nullptr) return false;
    }
    val->type = BJSON_ARRAY;
    val->val_alloc = true;
    val->list.arr = slots;
    val->list.cap = cap;
    val->list.len = 0;
    return true;
}

bool bjson_set_key(bjson_val_t *val, const char *key, size_t len, bool copy) {
    if (!copy && key == val->key.data && len == val->key.len) return true;
    if (!copy && points_into(val, key, len)) copy = true;
    char *text = copy ? copy_text(key, len) : const_cast<char *>(key);
    if (copy && text == nullptr) return false;
    if (val->key_alloc) free(val->key.data);
    val->key.data = text;
    val->key.len = len;
    val->key_alloc = copy;
    return true;
}

// ---- reading ----

int64_t bjson_get_int(const bjson_val_t *val) {
    return static_cast<int64_t>(bjson_get_uint(val));
}

uint64_t bjson_get_uint(const bjson_val_t *val) {
    if (val == nullptr) return 0;
    auto truncate = [](double d) -> uint64_t {
        if (std::isnan(d)) return 0;
        // Saturate: converting a double outside the target range is undefined.
        if (d >= 18446744073709551616.0) return UINT64_MAX;
        if (d >= 0) return static_cast<uint64_t>(d);
        if (d <= -9223372036854775808.0) return static_cast<uint64_t>(INT64_MIN);
        return static_cast<uint64_t>(static_cast<int64_t>(d));
    };
    switch (val->type) {
    case BJSON_BOOL:
    case BJSON_INT:
    case BJSON_UINT:
        return val->u;
    case BJSON_FLOAT:
        return truncate(val->f);
    case BJSON_DOUBLE:
        return truncate(val->d);
    default:
        return 0;
    }
}

bool bjson_get_bool(const bjson_val_t *val) {
    if (val == nullptr) return false;
    switch (val->type) {
    case BJSON_BOOL:
    case BJSON_INT:
    case BJSON_UINT:
        return val->u != 0;
    case BJSON_FLOAT:
        return val->f != 0.0f; // NaN compares unequal: true
    case BJSON_DOUBLE:
        return val->d != 0.0;
    default:
        return false;
    }
}

float bjson_get_float(const bjson_val_t *val) {
    return bjson_wire::to_float(bjson_get_double(val));
}

double bjson_get_double(const bjson_val_t *val) {
    if (val == nullptr) return 0;
    switch (val->type) {
    case BJSON_BOOL:
    case BJSON_INT:
        return static_cast<double>(val->i);
    case BJSON_UINT:
        return static_cast<double>(val->u);
    case BJSON_FLOAT:
        return val->f;
    case BJSON_DOUBLE:
        return val->d;
    default:
        return 0;
    }
}

const char *bjson_get_string(const bjson_val_t *val) {
    return is_kind(val, BJSON_STRING) ? val->s.data : nullptr;
}

size_t bjson_string_len(const bjson_val_t *val) {
    return is_kind(val, BJSON_STRING) ? val->s.len : 0;
}

size_t bjson_object_len(const bjson_val_t *val) {
    return is_kind(val, BJSON_OBJECT) ? dictSize(val->map) : 0;
}

uint32_t bjson_array_len(const bjson_val_t *val) {
    return is_kind(val, BJSON_ARRAY) ? val->list.len : 0;
}

// ---- objects ----

bjson_val_t *bjson_object_get(const bjson_val_t *obj, const char *key) {
    if (!is_kind(obj, BJSON_OBJECT) || key == nullptr || dictSize(obj->map) == 0) return nullptr;
    bjson_str_t name = {strlen(key), const_cast<char *>(key)};
    return static_cast<bjson_val_t *>(dictFetchValue(obj->map, &name));
}

namespace {

bool get_integer(const bjson_val_t *m, uint64_t *out) {
    if (m == nullptr || (m->type != BJSON_INT && m->type != BJSON_UINT)) return false;
    *out = m->u;
    return true;
}

bool get_bool(const bjson_val_t *m, bool *out) {
    if (!is_kind(m, BJSON_BOOL)) return false;
    *out = m->i != 0;
    return true;
}

bool get_float(const bjson_val_t *m, float *out) {
    if (!is_kind(m, BJSON_FLOAT)) return false;
    *out = m->f;
    return true;
}

bool get_double(const bjson_val_t *m, double *out) {
    if (!is_kind(m, BJSON_DOUBLE)) return false;
    *out = m->d;
    return true;
}

bool get_string(const bjson_val_t *m, const char **data, size_t *len) {
    if (!is_kind(m, BJSON_STRING) || m->s.data == nullptr) return false;
    *data = m->s.data;
    *len = m->s.len;
    return true;
}

// Makes a borrowed key or borrowed string text of val that lies inside old's own text an owned
// copy, so that freeing old cannot leave val pointing at freed bytes.
bool detach_from(bjson_val_t *val, const bjson_val_t *old) {
    if (!val->key_alloc && points_into(old, val->key.data, val->key.len) &&
        !bjson_set_key(val, val->key.data, val->key.len, true)) {
        return false;
    }
    if (val->type == BJSON_STRING && !val->val_alloc && points_into(old, val->s.data, val->s.len)) {
        char *text = copy_text(val->s.data, val->s.len);
        if (text == nullptr) return false;
        val->s.data = text;
        val->val_alloc = true;
    }
    return true;
}

} // namespace

bool bjson_object_get_int(const bjson_val_t *obj, const char *key, int64_t *out) {
    uint64_t u;
    if (!get_integer(bjson_object_get(obj, key), &u)) return false;
    *out = static_cast<int64_t>(u);
    return true;
}

bool bjson_object_get_uint(const bjson_val_t *obj, const char *key, uint64_t *out) {
    return get_integer(bjson_object_get(obj, key), out);
}

bool bjson_object_get_bool(const bjson_val_t *obj, const char *key, bool *out) {
    return get_bool(bjson_object_get(obj, key), out);
}

bool bjson_object_get_float(const bjson_val_t *obj, const char *key, float *out) {
    return get_float(bjson_object_get(obj, key), out);
}

bool bjson_object_get_double(const bjson_val_t *obj, const char *key, double *out) {
    return get_double(bjson_object_get(obj, key), out);
}

bool bjson_object_get_string(const bjson_val_t *obj, const char *key, const char **data,
                             size_t *len) {
    return get_string(bjson_object_get(obj, key), data, len);
}

bool bjson_object_del(bjson_val_t *obj, const char *key) {
    if (!is_kind(obj, BJSON_OBJECT) || key == nullptr) return false;
    bjson_val_t *member = bjson_object_get(obj, key);
    if (member == nullptr) return true;
    if (dictDelete(obj->map, &member->key) != DICT_OK) return false;
    bjson_free(member);
    return true;
}

bool bjson_object_set(bjson_val_t *obj, const char *key, bool copy_key, bjson_val_t *val) {
    if (!is_kind(obj, BJSON_OBJECT) || key == nullptr || val == nullptr) return false;
    size_t len = strlen(key);
    bjson_str_t name = {len, const_cast<char *>(key)};
    dictEntry *entry = dictFind(obj->map, &name);
    bjson_val_t *old = entry != nullptr ? static_cast<bjson_val_t *>(entry->v.val) : nullptr;
    if (old == val) return true; // already the member of that name
    // Prepare the replacement completely before anything of the old member is released.
    bjson_val_t saved = *val;
    // The value's own key under its own name stays as it is; other text inside the old member
    // or the value itself would be freed below, so it is copied.
    bool keep_own = val->key_alloc && key == val->key.data && len == val->key.len;
    if (keep_own) {
        copy_key = false;
    } else if (!copy_key && (points_into(old, key, len) || points_into(val, key, len))) {
        copy_key = true;
    }
    char *text = copy_key ? copy_text(key, len) : const_cast<char *>(key);
    if (copy_key && text == nullptr) return false;
    val->key = {len, text};
    val->key_alloc = copy_key || keep_own;
    if (old != nullptr && !detach_from(val, old)) {
        if (copy_key) free(text);
        *val = saved;
        return false;
    }
    if (saved.key_alloc && saved.key.data != text) free(saved.key.data);
    if (entry != nullptr) {
        // Same name, same hash: the entry changes hands without leaving its bucket.
        entry->key = &val->key;
        entry->v.val = val;
        bjson_free(old);
        return true;
    }
    return dictAdd(obj->map, &val->key, val) == DICT_OK;
}

bjson_val_t *bjson_object_set_null(bjson_val_t *obj, const char *key, bool copy_key) {
    return with_member(obj, key, copy_key, bjson_create(), [](bjson_val_t *) { return true; });
}

bjson_val_t *bjson_object_set_bool(bjson_val_t *obj, const char *key, bool copy_key, bool v) {
    return with_member(obj, key, copy_key, bjson_create(), [v](bjson_val_t *m) {
        bjson_set_bool(m, v);
        return true;
    });
}

bjson_val_t *bjson_object_set_int(bjson_val_t *obj, const char *key, bool copy_key, int64_t v) {
    return with_member(obj, key, copy_key, bjson_create(), [v](bjson_val_t *m) {
        bjson_set_int(m, v);
        return true;
    });
}

bjson_val_t *bjson_object_set_uint(bjson_val_t *obj, const char *key, bool copy_key, uint64_t v) {
    return with_member(obj, key, copy_key, bjson_create(), [v](bjson_val_t *m) {
        bjson_set_uint(m, v);
        return true;
    });
}

bjson_val_t *bjson_object_set_float(bjson_val_t *obj, const char *key, bool copy_key, float v) {
    return with_member(obj, key, copy_key, bjson_create(), [v](bjson_val_t *m) {
        bjson_set_float(m, v);
        return true;
    });
}

bjson_val_t *bjson_object_set_double(bjson_val_t *obj, const char *key, bool copy_key, double v) {
    return with_member(obj, key, copy_key, bjson_create(), [v](bjson_val_t *m) {
        bjson_set_double(m, v);
        return true;
    });
}

bjson_val_t *bjson_object_set_string(bjson_val_t *obj, const char *key, bool copy_key,
                                     const char *data, size_t len, bool copy) {
    return with_member(obj, key, copy_key, bjson_create(),
                       [=](bjson_val_t *m) { return bjson_set_string(m, data, len, copy); });
}

bjson_val_t *bjson_object_set_object(bjson_val_t *obj, const char *key, bool copy_key,
                                     uint32_t cap) {
    return with_member(obj, key, copy_key, bjson_create_object(cap),
                       [](bjson_val_t *) { return true; });
}

bjson_val_t *bjson_object_set_array(bjson_val_t *obj, const char *key, bool copy_key,
                                    uint32_t cap) {
    return with_member(obj, key, copy_key, bjson_create_array(cap),
                       [](bjson_val_t *) { return true; });
}

bool bjson_object_foreach(const bjson_val_t *obj, bool (*fn)(bjson_val_t *member, void *ctx),
                          void *ctx) {
    if (!is_kind(obj, BJSON_OBJECT)) return false;
    dictIterator it;
    dictInitSafeIterator(&it, obj->map);
    bool ok = true;
    while (dictEntry *e = dictNext(&it)) {
        if (!fn(static_cast<bjson_val_t *>(e->v.val), ctx)) {
            ok = false;
            break;
        }
    }
    dictResetIterator(&it);
    return ok;
}

// ---- arrays ----

bjson_val_t *bjson_array_get(const bjson_val_t *arr, uint32_t i) {
    if (!is_kind(arr, BJSON_ARRAY) || i >= arr->list.len) return nullptr;
    return arr->list.arr[i];
}

bool bjson_array_add(bjson_val_t *arr, bjson_val_t *val) {
    if (!is_kind(arr, BJSON_ARRAY) || val == nullptr) return false;
    bjson_arr_t *list = &arr->list;
    if (list->len == list->cap) {
        if (list->cap > UINT32_MAX / 2) return false;
        uint32_t cap = list->cap == 0 ? ARRAY_FIRST_CAP : list->cap * 2;
        auto *slots = static_cast<bjson_val_t **>(realloc(list->arr, sizeof(bjson_val_t *) * cap));
        if (slots == nullptr) return false;
        list->arr = slots;
        list->cap = cap;
    }
    list->arr[list->len++] = val;
    return true;
}

bool bjson_array_set(bjson_val_t *arr, uint32_t i, bjson_val_t *val) {
    if (!is_kind(arr, BJSON_ARRAY) || i >= arr->list.len || val == nullptr) return false;
    bjson_val_t *old = arr->list.arr[i];
    if (old == val) return true;
    if (!detach_from(val, old)) return false;
    arr->list.arr[i] = val;
    bjson_free(old);
    return true;
}

bool bjson_array_del(bjson_val_t *arr, uint32_t i) {
    if (!is_kind(arr, BJSON_ARRAY)) return false;
    bjson_arr_t *list = &arr->list;
    if (i >= list->len) return true;
    bjson_free(list->arr[i]);
    memmove(&list->arr[i], &list->arr[i + 1], sizeof(bjson_val_t *) * (list->len - i - 1));
    list->len--;
    return true;
}

bjson_val_t *bjson_array_add_null(bjson_val_t *arr) {
    return with_element(arr, bjson_create(), [](bjson_val_t *) { return true; });
}

bjson_val_t *bjson_array_add_bool(bjson_val_t *arr, bool v) {
    return with_element(arr, bjson_create(), [v](bjson_val_t *e) {
        bjson_set_bool(e, v);
        return true;
    });
}

bjson_val_t *bjson_array_add_int(bjson_val_t *arr, int64_t v) {
    return with_element(arr, bjson_create(), [v](bjson_val_t *e) {
        bjson_set_int(e, v);
        return true;
    });
}

bjson_val_t *bjson_array_add_uint(bjson_val_t *arr, uint64_t v) {
    return with_element(arr, bjson_create(), [v](bjson_val_t *e) {
        bjson_set_uint(e, v);
        return true;
    });
}

bjson_val_t *bjson_array_add_float(bjson_val_t *arr, float v) {
    return with_element(arr, bjson_create(), [v](bjson_val_t *e) {
        bjson_set_float(e, v);
        return true;
    });
}

bjson_val_t *bjson_array_add_double(bjson_val_t *arr, double v) {
    return with_element(arr, bjson_create(), [v](bjson_val_t *e) {
        bjson_set_double(e, v);
        return true;
    });
}

bjson_val_t *bjson_array_add_string(bjson_val_t *arr, const char *data, size_t len, bool copy) {
    return with_element(arr, bjson_create(),
                        [=](bjson_val_t *e) { return bjson_set_string(e, data, len, copy); });
}

bjson_val_t *bjson_array_add_object(bjson_val_t *arr, uint32_t cap) {
    return with_element(arr, bjson_create_object(cap), [](bjson_val_t *) { return true; });
}

bjson_val_t *bjson_array_add_array(bjson_val_t *arr, uint32_t cap) {
    return with_element(arr, bjson_create_array(cap), [](bjson_val_t *) { return true; });
}

bool bjson_array_get_int(const bjson_val_t *arr, uint32_t i, int64_t *out) {
    uint64_t u;
    if (!get_integer(bjson_array_get(arr, i), &u)) return false;
    *out = static_cast<int64_t>(u);
    return true;
}

bool bjson_array_get_uint(const bjson_val_t *arr, uint32_t i, uint64_t *out) {
    return get_integer(bjson_array_get(arr, i), out);
}

bool bjson_array_get_bool(const bjson_val_t *arr, uint32_t i, bool *out) {
    return get_bool(bjson_array_get(arr, i), out);
}

bool bjson_array_get_float(const bjson_val_t *arr, uint32_t i, float *out) {
    return get_float(bjson_array_get(arr, i), out);
}

bool bjson_array_get_double(const bjson_val_t *arr, uint32_t i, double *out) {
    return get_double(bjson_array_get(arr, i), out);
}

bool bjson_array_get_string(const bjson_val_t *arr, uint32_t i, const char **data, size_t *len) {
    return get_string(bjson_array_get(arr, i), data, len);
}

// ---- strings ----

bool bjson_str_init(bjson_str_t *str, const char *data, size_t len) {
    auto *p = static_cast<char *>(calloc(1, len + 1));
    if (p == nullptr) return false;
    if (data != nullptr && len > 0) memcpy(p, data, len);
    str->data = p;
    str->len = len;
    return true;
}

void bjson_str_free(bjson_str_t *str) {
    if (str == nullptr) return;
    free(str->data);
    str->data = nullptr;
    str->len = 0;
}

bool bjson_str_equals(const bjson_str_t *a, const bjson_str_t *b) {
    return b != nullptr && bjson_str_equals_str(a, b->data, b->len);
}

bool bjson_str_equals_str(const bjson_str_t *str, const char *data, size_t len) {
    if (str == nullptr || str->data == nullptr || data == nullptr || str->len != len) return false;
    return len == 0 || memcmp(str->data, data, len) == 0;
}

bool bjson_equals(const bjson_val_t *a, const bjson_val_t *b) {
    if (a == nullptr || b == nullptr) return a == b;
    auto integer = [](const bjson_val_t *v) {
        return v->type == BJSON_INT || v->type == BJSON_UINT;
    };
    if (integer(a) && integer(b)) return a->u == b->u;
    if (a->type != b->type) return false;
    switch (a->type) {
    case BJSON_BOOL:
        return a->u == b->u;
    case BJSON_FLOAT:
        return memcmp(&a->f, &b->f, sizeof a->f) == 0;
    case BJSON_DOUBLE:
        return memcmp(&a->d, &b->d, sizeof a->d) == 0;
    case BJSON_STRING:
        return a->s.len == b->s.len &&
               (a->s.len == 0 || memcmp(a->s.data, b->s.data, a->s.len) == 0);
    case BJSON_ARRAY:
        if (a->list.len != b->list.len) return false;
        for (uint32_t i = 0; i < a->list.len; ++i)
            if (!bjson_equals(a->list.arr[i], b->list.arr[i])) return false;
        return true;
    case BJSON_OBJECT:
        return members_equal(a, b);
    default:
        return true;
    }
}

// ---- the binary form of a whole tree ----

namespace {

using namespace bjson_wire;

// True when a BJSON_UINT travels as 0x09: its bits, read as signed, leave the 32-bit range.
bool uint_is_wide(uint64_t u) {
    auto s = static_cast<int64_t>(u);
    return s < INT32_MIN || s > INT32_MAX;
}

struct size_walk {
    size_t total = 0;
    bool ok = true;
};

bool add_node_size(const bjson_val_t *val, size_walk *w);

bool add_member_size(bjson_val_t *member, void *ctx) {
    auto *w = static_cast<size_walk *>(ctx);
    // An empty key has no form in the table, and a table length holds at most 32 bits.
    if (member->key.len == 0 || member->key.len > KEY_LEN_MAX) return w->ok = false;
    w->total += member->key.len;
    return add_node_size(member, w);
}

size_t table_size(const bjson_val_t *obj) {
    size_t nibbles = 0;
    dictIterator it;
    dictInitSafeIterator(&it, obj->map);
    while (dictEntry *e = dictNext(&it))
        nibbles += key_nibbles(static_cast<bjson_val_t *>(e->v.val)->key.len);
    dictResetIterator(&it);
    return (nibbles + 1) / 2;
}

bool add_node_size(const bjson_val_t *val, size_walk *w) {
    switch (val->type) {
    case BJSON_NULL:
    case BJSON_BOOL:
        w->total += 1;
        break;
    case BJSON_INT:
        w->total += int_size(val->i);
        break;
    case BJSON_UINT:
        w->total += uint_is_wide(val->u) ? 9 : int_size(static_cast<int64_t>(val->u));
        break;
    case BJSON_FLOAT:
        w->total += 5;
        break;
    case BJSON_DOUBLE:
        w->total += 9;
        break;
    case BJSON_STRING:
        w->total += len_size(val->s.len) + val->s.len;
        break;
    case BJSON_ARRAY:
        w->total += len_size(val->list.len);
        for (uint32_t i = 0; i < val->list.len && w->ok; ++i)
            add_node_size(val->list.arr[i], w);
        break;
    case BJSON_OBJECT:
        w->total += len_size(dictSize(val->map)) + table_size(val);
        bjson_object_foreach(val, add_member_size, w);
        break;
    default:
        // Writing nothing for a value inside a container would break its count.
        w->ok = false;
        break;
    }
    return w->ok;
}

uint8_t *encode_node(const bjson_val_t *val, uint8_t *p);

struct member_walk {
    uint8_t *p;
};

bool put_table_length(bjson_val_t *member, void *ctx) {
    static_cast<nibble_writer *>(ctx)->put_length(member->key.len);
    return true;
}

bool put_member(bjson_val_t *member, void *ctx) {
    auto *w = static_cast<member_walk *>(ctx);
    memcpy(w->p, member->key.data, member->key.len);
    w->p = encode_node(member, w->p + member->key.len);
    return true;
}

uint8_t *encode_node(const bjson_val_t *val, uint8_t *p) {
    switch (val->type) {
    case BJSON_NULL:
        *p++ = TAG_NULL;
        return p;
    case BJSON_BOOL:
        *p++ = val->i != 0 ? TAG_TRUE : TAG_FALSE;
        return p;
    case BJSON_INT:
        return put_int(p, val->i);
    case BJSON_UINT:
        return uint_is_wide(val->u) ? put_u64(p, val->u) : put_int(p, static_cast<int64_t>(val->u));
    case BJSON_FLOAT:
        return put_float(p, val->f);
    case BJSON_DOUBLE:
        return put_double(p, val->d);
    case BJSON_STRING:
        p = put_len(p, KIND_STRING, val->s.len);
        if (val->s.len > 0) memcpy(p, val->s.data, val->s.len);
        return p + val->s.len;
    case BJSON_ARRAY:
        p = put_len(p, KIND_ARRAY, val->list.len);
        for (uint32_t i = 0; i < val->list.len; ++i)
            p = encode_node(val->list.arr[i], p);
        return p;
    case BJSON_OBJECT: {
        p = put_len(p, KIND_OBJECT, dictSize(val->map));
        nibble_writer table{p};
        bjson_object_foreach(val, put_table_length, &table);
        member_walk members{table.finish()};
        bjson_object_foreach(val, put_member, &members);
        return members.p;
    }
    default:
        return p;
    }
}

struct decoder {
    const uint8_t *p;
    const uint8_t *end;
    size_t budget; // values the input can still hold: every value takes at least one byte
    bool copy;     // strings and keys copied, else pointing into the input

    size_t left() const { return static_cast<size_t>(end - p); }
    // Claims n child values of a container; false when the input cannot hold them.
    bool claim(uint64_t n) {
        if (n > left() || n > budget) return false;
        budget -= static_cast<size_t>(n);
        return true;
    }
};

bool decode_node(decoder &d, bjson_val_t *val, int depth);

bool decode_object(decoder &d, bjson_val_t *val, uint64_t n, int depth) {
    if (!d.claim(n) || !bjson_set_object(val, static_cast<uint32_t>(n))) return false;
    if (n == 0) return true;
    const uint8_t *data;
    if (!table_span(d.p, d.end, n, &data)) return false;
    nibble_reader table{d.p, data};
    d.p = data;
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t len;
        if (!table.length(&len) || len > d.left()) return false;
        bjson_val_t *member = bjson_create();
        if (member == nullptr) return false;
        const char *key = reinterpret_cast<const char *>(d.p);
        d.p += len;
        if (!bjson_set_key(member, key, len, d.copy) || !decode_node(d, member, depth) ||
            dictAdd(val->map, &member->key, member) != DICT_OK) {
            bjson_free(member); // includes a key already present
            return false;
        }
    }
    return true;
}

bool decode_array(decoder &d, bjson_val_t *val, uint64_t n, int depth) {
    if (!d.claim(n) || !bjson_set_array(val, static_cast<uint32_t>(n))) return false;
    for (uint64_t i = 0; i < n; ++i) {
        bjson_val_t *element = bjson_create();
        if (element == nullptr) return false;
        if (!decode_node(d, element, depth) || !bjson_array_add(val, element)) {
            bjson_free(element);
            return false;
        }
    }
    return true;
}

bool decode_node(decoder &d, bjson_val_t *val, int depth) {
    if (d.p == d.end) return false;
    uint8_t tag = *d.p;
    bjson_val_type type = tag_type(tag);
    uint64_t n = 0;
    switch (type) {
    case BJSON_NONE:
        return false;
    case BJSON_NULL:
    case BJSON_BOOL:
        ++d.p;
        if (type == BJSON_BOOL) bjson_set_bool(val, tag == TAG_TRUE);
        return true;
    case BJSON_STRING:
    case BJSON_OBJECT:
    case BJSON_ARRAY:
        ++d.p;
        if (!get_len(d.p, d.end, tag, &n)) return false;
        break;
    default: {
        number num;
        if (!get_number(d.p, d.end, &num)) return false;
        if (type == BJSON_FLOAT) bjson_set_float(val, num.f);
        if (type == BJSON_DOUBLE) bjson_set_double(val, num.d);
        if (type == BJSON_UINT) bjson_set_uint(val, num.u);
        if (type == BJSON_INT) bjson_set_int(val, num.i);
        return true;
    }
    }
    if (type == BJSON_STRING) {
        if (n > d.left()) return false;
        const char *text = reinterpret_cast<const char *>(d.p);
        d.p += n;
        return bjson_set_string(val, text, static_cast<size_t>(n), d.copy);
    }
    if (depth >= BJSON_MAX_DEPTH) return false;
    return type == BJSON_OBJECT ? decode_object(d, val, n, depth + 1)
                                : decode_array(d, val, n, depth + 1);
}

} // namespace

size_t bjson_get_encode_size(const bjson_val_t *val) {
    if (val == nullptr || val->type == BJSON_NONE || val->type == BJSON_BYTES) return 0;
    size_walk w;
    return add_node_size(val, &w) ? w.total : 0;
}

bool bjson_encode(const bjson_val_t *val, uint8_t **buffer, size_t *size) {
    if (buffer == nullptr || size == nullptr) return false;
    size_t need = bjson_get_encode_size(val);
    if (need == 0) return false;
    auto *out = static_cast<uint8_t *>(malloc(need));
    if (out == nullptr) return false;
    encode_node(val, out);
    *buffer = out;
    *size = need;
    return true;
}

bool bjson_encode_with_buf(const bjson_val_t *val, buf_t *buf) {
    if (buf == nullptr) return false;
    size_t need = bjson_get_encode_size(val);
    if (need == 0) return false;
    bool ok = buf->start == nullptr ? buf_alloc(buf, need) : buf_check_to_write(buf, need);
    if (!ok) return false;
    buf->last = encode_node(val, buf->last);
    return true;
}

bool bjson_decode(bjson_val_t **val, const uint8_t *buffer, size_t size, bool copy) {
    if (val == nullptr || buffer == nullptr || size == 0) return false;
    bjson_val_t *root = bjson_create();
    if (root == nullptr) return false;
    decoder d{buffer, buffer + size, size, copy};
    if (!decode_node(d, root, 0) || d.p != d.end) {
        bjson_free(root);
        return false;
    }
    *val = root;
    return true;
}
