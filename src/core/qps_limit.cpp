#include "core/qps_limit.h"

#include <cstdlib>

#include "core/log.h"
#include "dict/dict.h"

namespace {

void ip_limit_val_free(dict *, void *val) {
    auto *entry = static_cast<ip_limit_t *>(val);
    x_timer_del(&entry->timout);
    free(entry);
}

dictType ip_limit_dict_type = {
    dictHashU64Key, nullptr,           nullptr, dictComparePtrKey,
    nullptr,        ip_limit_val_free, nullptr, nullptr,
};

void *ip_key(uint32_t ip) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(ip));
}

// Bucket size for a rate: 1.2 seconds' worth, truncated, kept within int64_t.
int64_t bucket_size(uint64_t limit) {
    double size = static_cast<double>(limit) * 1.2;
    if (size >= 9.2e18) return INT64_MAX;
    return static_cast<int64_t>(size);
}

int64_t bucket_rate(uint64_t limit) {
    return limit > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(limit);
}

void qps_limit_timeout_fn(void *ctx, x_timer_event_t *) {
    auto *entry = static_cast<ip_limit_t *>(ctx);
    dictDelete(entry->qps_limit->ip_limit_dict, ip_key(entry->ip));
}

} // namespace

bool qps_limit_config(qps_limit_t *ql, uint64_t global_limit, uint64_t ip_limit,
                      uint64_t ip_timout) {
    ql->global_limit = global_limit;
    ql->ip_limit = ip_limit;
    ql->ip_timout = ip_timout;
    (void)single_bucket_init(&ql->global_bucket, bucket_rate(global_limit),
                             bucket_size(global_limit));
    qps_limit_free(ql);
    x_timer_init(&ql->ip_limit_timer, ip_timout);
    ql->ip_limit_dict = dictCreate(&ip_limit_dict_type);
    return ql->ip_limit_dict != nullptr;
}

bool qps_limit_take(qps_limit_t *ql, uint32_t ip) {
    if (ql->global_limit != 0 && !single_bucket_consume(&ql->global_bucket)) return false;
    if (ql->ip_limit == 0) return true;
    if (!ql->ip_limit_dict) return false;

    auto *entry = static_cast<ip_limit_t *>(dictFetchValue(ql->ip_limit_dict, ip_key(ip)));
    if (entry) {
        x_timer_reg(&ql->ip_limit_timer, &entry->timout);
        return single_bucket_consume(&entry->bucket);
    }

    entry = static_cast<ip_limit_t *>(calloc(1, sizeof(ip_limit_t)));
    if (!entry) {
        log_error("qps ip limit malloc failed, ip limit %lu, ip %u\n", ql->ip_limit, ip);
        return false;
    }
    entry->ip = ip;
    entry->qps_limit = ql;
    (void)single_bucket_init(&entry->bucket, bucket_rate(ql->ip_limit), bucket_size(ql->ip_limit));
    if (dictAdd(ql->ip_limit_dict, ip_key(ip), entry) != DICT_OK) {
        free(entry);
        log_error("qps ip limit dict add failed, ip limit %lu, ip %u\n", ql->ip_limit, ip);
        return false;
    }
    entry->timout.ctx = entry;
    entry->timout.callback = qps_limit_timeout_fn;
    x_timer_reg(&ql->ip_limit_timer, &entry->timout);
    return single_bucket_consume(&entry->bucket);
}

void qps_limit_check(qps_limit_t *ql) {
    x_timer_check(&ql->ip_limit_timer);
}

void qps_limit_free(qps_limit_t *ql) {
    if (!ql->ip_limit_dict) return;
    dictRelease(ql->ip_limit_dict);
    ql->ip_limit_dict = nullptr;
}
