#include "report/x_log_flow.h"

#include "auth/x_auth.h"

#include "core/log.h"
#include "core/platform_kni.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "dict/dict.h"
#include "report/x_log_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint64_t token_hash(const void *key) {
    return dictGenHashFunction(key, X_FLOW_TOKEN_MAX);
}

int token_compare(dict *, const void *a, const void *b) {
    return memcmp(a, b, X_FLOW_TOKEN_MAX) == 0;
}

// The entry is its own key; removing it frees it.
void entry_free(dict *, void *key) {
    free(key);
}

dictType flow_cache_type = {token_hash, nullptr, nullptr, token_compare,
                            entry_free, nullptr, nullptr, nullptr};

// Whether a session's token can travel in a sample's fixed field and come out unchanged.
bool token_fits(const ngx_str_t &t) {
    return t.len < X_FLOW_TOKEN_MAX && memchr(t.data, 0, t.len) == nullptr;
}

// A line being composed: grows as needed, null storage after an allocation failure.
struct line_t {
    char *data;
    size_t len;
    size_t cap;
    bool failed;
};

void line_append(line_t *l, const char *text, size_t n) {
    if (l->failed) return;
    if (l->len + n + 1 > l->cap) {
        size_t cap = l->cap ? l->cap : 4096;
        while (l->len + n + 1 > cap)
            cap *= 2;
        auto *more = static_cast<char *>(realloc(l->data, cap));
        if (more == nullptr) {
            l->failed = true;
            return;
        }
        l->data = more;
        l->cap = cap;
    }
    memcpy(l->data + l->len, text, n);
    l->len += n;
    l->data[l->len] = '\0';
}

void line_header(line_t *l, const x_log_flow_t *log) {
    char head[128];
    int n = snprintf(head, sizeof head, "[{\"ts\":%llu,\"tti\":%u,\"ros\":%u,\"list\":{",
                     static_cast<unsigned long long>(x_time_wall_ms() / 1000), log->tti / 1000,
                     log->ros_id);
    line_append(l, head, static_cast<size_t>(n));
}

void line_entry(line_t *l, const x_flow_log_t *e, bool first) {
    // Six bytes per escaped byte, two quotes, the terminator.
    char key[X_FLOW_TOKEN_MAX * 6 + 3];
    size_t klen =
        x_log_escape_json(key, sizeof key, reinterpret_cast<const uint8_t *>(e->flow_token),
                          strnlen(e->flow_token, X_FLOW_TOKEN_MAX));
    if (klen == SIZE_MAX) return; // cannot happen: the room covers the longest token
    if (!first) line_append(l, ",", 1);
    line_append(l, key, klen);
    char sums[64];
    int n =
        snprintf(sums, sizeof sums, ":{\"u\":%llu,\"d\":%llu}",
                 static_cast<unsigned long long>(e->up), static_cast<unsigned long long>(e->down));
    line_append(l, sums, static_cast<size_t>(n));
}

void line_flush(line_t *l, x_log_flow_t *log) {
    line_append(l, "}}]\n", 4);
    if (l->failed)
        log_error("flow log line alloc failed, sums dropped\n");
    else
        x_log_file_write(log->log_file, l->data, l->len);
    x_log_file_check_limit(log->log_file);
    l->len = 0;
    l->failed = false;
}

// Length of the valid UTF-8 sequence at s (at most n bytes), 0 when there is none.
size_t utf8_sequence(const uint8_t *s, size_t n) {
    uint8_t b = s[0];
    if (b < 0x80) return 1;
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF; // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F; // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < need || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < need; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return need;
}

} // namespace

size_t x_log_escape_json(char *out, size_t cap, const uint8_t *src, size_t len) {
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    auto put = [&](const char *text, size_t k) {
        if (n + k + 1 > cap) return false;
        memcpy(out + n, text, k);
        n += k;
        return true;
    };
    bool ok = put("\"", 1);
    for (size_t i = 0; ok && i < len;) {
        uint8_t b = src[i];
        size_t seq = utf8_sequence(src + i, len - i);
        if (b == '"' || b == '\\') {
            char esc[2] = {'\\', static_cast<char>(b)};
            ok = put(esc, 2);
            i++;
        } else if (b < 0x20 || seq == 0) {
            char esc[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
            ok = put(esc, 6);
            i++;
        } else {
            ok = put(reinterpret_cast<const char *>(src + i), seq);
            i += seq;
        }
    }
    if (ok) ok = put("\"", 1);
    if (!ok) {
        if (cap) out[0] = '\0';
        return SIZE_MAX;
    }
    out[n] = '\0';
    return n;
}

x_log_flow_t *x_log_flow_create(int index, const char *path, uint32_t ros_id, uint32_t interval_s,
                                uint32_t size_mb, uint32_t count, uint32_t flow_type) {
    auto *log = static_cast<x_log_flow_t *>(calloc(1, sizeof(x_log_flow_t)));
    if (log == nullptr) return nullptr;
    char prefix[X_LOG_FILE_AFFIX_MAX];
    snprintf(prefix, sizeof prefix, "x_flow_%u_%d", flow_type, index);
    log->log_file = x_log_file_create(path, prefix, ".log", size_mb, count);
    log->flow_cache = dictCreate(&flow_cache_type);
    if (log->flow_cache == nullptr) log_error("create report cache dict failed\n");
    if (log->log_file == nullptr || log->flow_cache == nullptr) {
        x_log_flow_free(log);
        return nullptr;
    }
    log->ros_id = ros_id;
    // Seconds to ms without wrapping: an absurd interval just means "very rarely".
    log->tti = interval_s > UINT32_MAX / 1000 ? UINT32_MAX / 1000 * 1000 : interval_s * 1000;
    log->flow_type = flow_type;
    log->last_flow_time = x_time_ms();
    return log;
}

void x_log_flow_free(x_log_flow_t *log) {
    if (log == nullptr) return;
    if (log->flow_cache) dictRelease(log->flow_cache);
    x_log_file_free(log->log_file);
    free(log);
}

void x_log_send_flow(x_client_t *c) {
    // The tokens belong to the main thread while a question is out: the sums wait for the next
    // sample.
    if (x_auth_question_out(c->auth_request)) return;
    uint32_t up = c->up.sum, down = c->down.sum;
    const ngx_str_t &flow = c->auth_result.flow_token;
    const ngx_str_t &stats = c->auth_result.stats_token;
    if (flow.len == 0) {
        c->up.sum = 0;
        c->down.sum = 0;
        return;
    }
    if (!token_fits(flow)) {
        c->up.sum = 0;
        c->down.sum = 0;
        log_error("flow token of %zu bytes does not fit a flow sample, %u up %u down not logged\n",
                  flow.len, up, down);
        return;
    }
    auto *pkt = static_cast<x_flow_log_pkt_t *>(calloc(1, sizeof(x_flow_log_pkt_t)));
    if (pkt == nullptr) {
        log_error("x_flow_log_pkt_t calloc fail\n");
        return;
    }
    pkt->auth_index = c->auth_index;
    memcpy(pkt->flow_token, flow.data, flow.len);
    if (stats.len > 0 && token_fits(stats))
        memcpy(pkt->stats_token, stats.data, stats.len);
    else if (stats.len > 0)
        log_error("stats token of %zu bytes does not fit a flow sample, left out\n", stats.len);
    pkt->up_size = up;
    pkt->down_size = down;
    c->up.sum = 0;
    c->down.sum = 0;
    if (!pf_ipc_send_to_main(c->thread->index, X_IPC_FLOW, pkt)) {
        log_error("ipc send flow to main failed\n");
        free(pkt);
        // Kept for the next sample rather than lost with this one.
        c->up.sum += up;
        c->down.sum += down;
    }
}

void x_log_do_flow(x_log_flow_t *log, const x_flow_log_pkt_t *pkt) {
    const char *field;
    if (log->flow_type == X_FLOW_LOG_CHARGE) {
        field = pkt->flow_token;
    } else if (log->flow_type == X_FLOW_LOG_STATS) {
        field = pkt->stats_token;
    } else {
        log_error("flow report failed, report type %u is error\n", log->flow_type);
        return;
    }
    // Compare over the whole field: copy the token into a zeroed one so that nothing after
    // its end can make two equal tokens differ.
    size_t len = strnlen(field, X_FLOW_TOKEN_MAX);
    if (len == 0 || len == X_FLOW_TOKEN_MAX) return;
    char key[X_FLOW_TOKEN_MAX] = {};
    memcpy(key, field, len);
    if (auto *e = static_cast<x_flow_log_t *>(dictFetchValue(log->flow_cache, key))) {
        e->up += pkt->up_size;
        e->down += pkt->down_size;
        return;
    }
    auto *e = static_cast<x_flow_log_t *>(calloc(1, sizeof(x_flow_log_t)));
    if (e == nullptr) {
        log_error("x_flow_log_t calloc fail\n");
        return;
    }
    memcpy(e->flow_token, key, sizeof key);
    e->up = pkt->up_size;
    e->down = pkt->down_size;
    if (dictAdd(log->flow_cache, e, e) != DICT_OK) {
        log_error("flow cache dict add failed\n");
        free(e);
    }
}

void x_log_flow_check(x_log_flow_t *log) {
    if (log == nullptr) return;
    uint64_t now = x_time_ms();
    if (log->last_flow_time + log->tti > now) return;
    log->last_flow_time = now;
    x_log_flow_timeout(log);
}

void x_log_flow_timeout(x_log_flow_t *log) {
    if (dictSize(log->flow_cache) == 0) return;
    line_t line = {};
    size_t in_line = 0;
    dictIterator it;
    dictInitIterator(&it, log->flow_cache);
    while (dictEntry *de = dictNext(&it)) {
        if (in_line == 0) line_header(&line, log);
        line_entry(&line, static_cast<const x_flow_log_t *>(de->v.val), in_line == 0);
        if (++in_line == X_FLOW_LOG_LINE_TOKENS) {
            line_flush(&line, log);
            in_line = 0;
        }
    }
    dictResetIterator(&it);
    if (in_line > 0) line_flush(&line, log);
    free(line.data);
    dictEmpty(log->flow_cache, nullptr);
}

bool x_log_flows_start(x_server_t *s) {
    const x_config_server_t &cfg = s->config;
    if (cfg.auth_num == 0) return true;
    s->log_charge_flow = static_cast<x_log_flow_t **>(calloc(cfg.auth_num, sizeof(x_log_flow_t *)));
    s->log_stats_flows = static_cast<x_log_flow_t **>(calloc(cfg.auth_num, sizeof(x_log_flow_t *)));
    if (s->log_charge_flow == nullptr || s->log_stats_flows == nullptr) return false;
    struct {
        x_log_flow_t **logs;
        uint32_t type;
    } kinds[] = {{s->log_charge_flow, X_FLOW_LOG_CHARGE}, {s->log_stats_flows, X_FLOW_LOG_STATS}};
    for (const auto &k : kinds) {
        for (uint32_t i = 0; i < cfg.auth_num; i++) {
            const x_config_auth_t &a = cfg.auths[i];
            const x_config_auth_log_t &c = k.type == X_FLOW_LOG_CHARGE ? a.flow_log : a.stats_log;
            if (c.log_path.len == 0) continue;
            k.logs[i] = x_log_flow_create(static_cast<int>(i),
                                          reinterpret_cast<const char *>(c.log_path.data),
                                          cfg.ros_id, c.interval, c.log_size, c.log_num, k.type);
            if (k.logs[i] == nullptr) return false;
        }
    }
    return true;
}

void x_log_flows_close(x_server_t *s) {
    for (x_log_flow_t ***logs : {&s->log_charge_flow, &s->log_stats_flows}) {
        if (*logs == nullptr) continue;
        for (uint32_t i = 0; i < s->config.auth_num; i++)
            x_log_flow_free((*logs)[i]);
        free(*logs);
        *logs = nullptr;
    }
}

void x_log_on_flow(x_server_t *s, const x_flow_log_pkt_t *pkt) {
    if (pkt->auth_index < 0) return;
    auto index = static_cast<uint32_t>(pkt->auth_index);
    if (index >= s->config.auth_num) return;
    if (s->log_charge_flow && s->log_charge_flow[index] && pkt->flow_token[0])
        x_log_do_flow(s->log_charge_flow[index], pkt);
    if (s->log_stats_flows && s->log_stats_flows[index] && pkt->stats_token[0])
        x_log_do_flow(s->log_stats_flows[index], pkt);
}

void x_log_flows_check(x_server_t *s) {
    for (x_log_flow_t **logs : {s->log_charge_flow, s->log_stats_flows}) {
        if (logs == nullptr) continue;
        for (uint32_t i = 0; i < s->config.auth_num; i++)
            x_log_flow_check(logs[i]);
    }
}
