#include "report/x_flow_report.h"

#include "bjson/binary_json.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_error.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "dict/dict.h"
#include "net/x_dns.h"
#include "report/x_log_flow.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t TOKEN_MAX = sizeof(x_flow_t::flow_token);
constexpr char TMP_SUFFIX[] = ".tmp";

uint64_t token_hash(const void *key) {
    return dictGenHashFunction(key, TOKEN_MAX);
}

int token_compare(dict *, const void *a, const void *b) {
    return memcmp(a, b, TOKEN_MAX) == 0;
}

void entry_free(dict *, void *key) {
    free(key);
}

// The entry is both key and value; the dict frees it when it goes.
dictType pending_dict_type = {token_hash, nullptr, nullptr, token_compare,
                              entry_free, nullptr, nullptr, nullptr};

const char *log_path(const x_send_report_t *r) {
    return reinterpret_cast<const char *>(r->conf->log_path.data);
}

const char *collector_text(const x_send_report_t *r) {
    return addr2str(&r->conn.server_addr);
}

// splitmix64 over a getrandom seed: the masking keys.
uint32_t next_mask(x_send_report_t *r) {
    uint64_t z = (r->mask_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(z ^ (z >> 31));
}

// ---- the file list ----

void list_append(x_send_report_t *r, x_file_report_t *f) {
    f->next = nullptr;
    if (r->tail)
        r->tail->next = f;
    else
        r->head = f;
    r->tail = f;
    r->file_num++;
}

void list_remove(x_send_report_t *r, x_file_report_t *f) {
    x_file_report_t **link = &r->head, *prev = nullptr;
    while (*link && *link != f) {
        prev = *link;
        link = &(*link)->next;
    }
    if (*link == nullptr) return;
    *link = f->next;
    if (r->tail == f) r->tail = prev;
    if (r->in_flight == f) r->in_flight = nullptr;
    r->file_num--;
    free(f);
}

void list_free(x_send_report_t *r) {
    while (r->head) {
        x_file_report_t *next = r->head->next;
        free(r->head);
        r->head = next;
    }
    r->tail = r->in_flight = nullptr;
    r->file_num = 0;
}

// Deletes a file from the disk and the list; a file already gone counts as deleted.
bool delete_file(x_send_report_t *r, x_file_report_t *f) {
    if (unlink(f->file_name) != 0 && errno != ENOENT) {
        log_error("flow report cannot delete [%s]: %s\n", f->file_name, strerror(errno));
        return false;
    }
    list_remove(r, f);
    return true;
}

// Beyond log_num files the oldest go, never the one in flight.
void prune(x_send_report_t *r) {
    while (r->file_num > r->log_num) {
        x_file_report_t *victim = r->head == r->in_flight ? r->head->next : r->head;
        if (victim == nullptr) return;
        log_error("flow report deletes [%s] undelivered: more than %u files waiting\n",
                  victim->file_name, r->log_num);
        if (!delete_file(r, victim)) return;
    }
}

int file_order(const void *a, const void *b) {
    auto *x = *static_cast<x_file_report_t *const *>(a);
    auto *y = *static_cast<x_file_report_t *const *>(b);
    if (x->file_mtime.tv_sec != y->file_mtime.tv_sec)
        return x->file_mtime.tv_sec < y->file_mtime.tv_sec ? -1 : 1;
    if (x->file_mtime.tv_nsec != y->file_mtime.tv_nsec)
        return x->file_mtime.tv_nsec < y->file_mtime.tv_nsec ? -1 : 1;
    return x->stamp < y->stamp ? -1 : x->stamp > y->stamp;
}

// Whether name is "<prefix>_<digits>"; the digits go to *stamp.
bool record_name(const x_send_report_t *r, const char *name, uint64_t *stamp) {
    const char *p = name + r->prefix_len;
    if (*p++ != '_' || *p == '\0') return false;
    uint64_t v = 0;
    for (; *p; p++) {
        if (*p < '0' || *p > '9' || v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    *stamp = v;
    return true;
}

// One directory entry that begins with the prefix: a record joins `files`, anything else is
// logged and left alone. False (logged) on a failure that must stop the start.
bool scan_entry(x_send_report_t *r, const char *name, x_file_report_t ***files, size_t *n,
                size_t *cap) {
    size_t len = strlen(name);
    uint64_t stamp = 0;
    if (len > sizeof TMP_SUFFIX && strcmp(name + len - (sizeof TMP_SUFFIX - 1), TMP_SUFFIX) == 0) {
        log_info("flow report ignores the unfinished record [%s/%s]\n", log_path(r), name);
        return true;
    }
    if (!record_name(r, name, &stamp)) {
        log_info("flow report ignores [%s/%s]: not a record name\n", log_path(r), name);
        return true;
    }
    auto *f = static_cast<x_file_report_t *>(calloc(1, sizeof(x_file_report_t)));
    if (f == nullptr) return false;
    int w = snprintf(f->file_name, sizeof f->file_name, "%s/%s", log_path(r), name);
    struct stat st;
    if (w < 0 || static_cast<size_t>(w) >= sizeof f->file_name || stat(f->file_name, &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        bool gone = errno == ENOENT;
        free(f);
        if (gone) return true;
        log_error("flow report cannot take [%s/%s]\n", log_path(r), name);
        return false;
    }
    f->file_mtime = st.st_mtim;
    f->stamp = stamp;
    if (*n == *cap) {
        size_t more = *cap ? *cap * 2 : 64;
        auto *grown = static_cast<x_file_report_t **>(realloc(*files, more * sizeof **files));
        if (grown == nullptr) {
            free(f);
            return false;
        }
        *files = grown;
        *cap = more;
    }
    (*files)[(*n)++] = f;
    return true;
}

// Rebuilds the list from the directory, oldest first; creates a missing directory.
bool scan_dir(x_send_report_t *r) {
    DIR *d = opendir(log_path(r));
    if (d == nullptr) {
        if (errno == ENOENT && mkdir(log_path(r), 0755) == 0) return true;
        log_error("create flow report log dir [%s] failed\n", log_path(r));
        return false;
    }
    x_file_report_t **files = nullptr;
    size_t n = 0, cap = 0;
    bool ok = true;
    while (dirent *e = readdir(d)) {
        if (strncmp(e->d_name, r->prefix, static_cast<size_t>(r->prefix_len)) != 0) continue;
        if (!(ok = scan_entry(r, e->d_name, &files, &n, &cap))) break;
    }
    closedir(d);
    if (ok && n > 1) qsort(files, n, sizeof *files, file_order);
    for (size_t i = 0; i < n; i++) {
        if (ok)
            list_append(r, files[i]);
        else
            free(files[i]);
    }
    free(files);
    return ok;
}

// ---- records ----

// The interval's sums as the record object; null on allocation failure.
bjson_val_t *build_record(const x_send_report_t *r) {
    bjson_val_t *obj = bjson_create_object(4);
    if (obj == nullptr) return nullptr;
    bjson_val_t *list =
        bjson_object_set_object(obj, "list", false, static_cast<uint32_t>(dictSize(r->cache)));
    bool ok = list != nullptr;
    dictIterator it;
    dictInitIterator(&it, r->cache);
    while (ok) {
        dictEntry *de = dictNext(&it);
        if (de == nullptr) break;
        auto *e = static_cast<const x_flow_t *>(de->v.val);
        bjson_val_t *pair = bjson_object_set_array(list, e->flow_token, true, 2);
        ok = pair && bjson_array_add_uint(pair, e->up) && bjson_array_add_uint(pair, e->down);
    }
    dictResetIterator(&it);
    ok = ok &&
         bjson_object_set_int(obj, "t", false, static_cast<int64_t>(x_time_wall_ms() / 1000)) &&
         bjson_object_set_int(obj, "ti", false, static_cast<int64_t>(r->interval / 1000)) &&
         bjson_object_set_uint(obj, "r", false, r->server->config.ros_id);
    if (!ok) {
        bjson_free(obj);
        return nullptr;
    }
    return obj;
}

// Writes the length and the bytes to path, flushed and synced; false (file removed) on failure.
bool write_file(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "we");
    if (f == nullptr) {
        log_error("flow report cannot create [%s]: %s\n", path, strerror(errno));
        return false;
    }
    uint8_t len[4];
    for (int i = 0; i < 4; i++)
        len[i] = static_cast<uint8_t>(size >> (8 * i));
    bool ok = fwrite(len, 1, 4, f) == 4 && fwrite(data, 1, size, f) == size && fflush(f) == 0 &&
              fsync(fileno(f)) == 0;
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        log_error("flow report write [%s] failed: %s\n", path, strerror(err));
        unlink(path);
    }
    return ok;
}

// Moves tmp to "<dir>/<prefix>_<ms>", never over an existing record: a clock that went back
// picks the next free name. The new file joins the list.
bool publish(x_send_report_t *r, const char *tmp, uint64_t ms) {
    auto *f = static_cast<x_file_report_t *>(calloc(1, sizeof(x_file_report_t)));
    if (f == nullptr) return false;
    for (int tries = 0; tries < 1000; tries++, ms++) {
        snprintf(f->file_name, sizeof f->file_name, "%s/%s_%llu", log_path(r), r->prefix,
                 static_cast<unsigned long long>(ms));
        if (renameat2(AT_FDCWD, tmp, AT_FDCWD, f->file_name, RENAME_NOREPLACE) == 0) {
            struct stat st;
            if (stat(f->file_name, &st) == 0) f->file_mtime = st.st_mtim;
            f->stamp = ms;
            list_append(r, f);
            return true;
        }
        if (errno != EEXIST) break;
    }
    log_error("flow report cannot rename [%s]: %s\n", tmp, strerror(errno));
    free(f);
    return false;
}

// ---- the connection ----

void on_recv(x_server_t *, event_data_t *ev, uint32_t events);

// Writes what send_buf holds; keeps record_left in step with the bytes that went out.
bool flush(x_send_report_t *r) {
    size_t before = buf_size(&r->send_buf);
    if (!x_trans_stream_flush(r->thread->epoll_fd, &r->ev_data, &r->send_buf, &r->enable_send))
        return false;
    size_t written = before - buf_size(&r->send_buf);
    r->record_left = written >= r->record_left ? 0 : r->record_left - written;
    return true;
}

// Appends a masked frame (first byte `first`) to send_buf; the payload is read by `fill`.
template <typename Fill>
bool queue_frame(x_send_report_t *r, uint8_t first, size_t len, Fill fill) {
    uint8_t hdr[X_WS_FRAME_HDR_MAX];
    size_t hdr_len = 0;
    uint32_t mask = next_mask(r);
    x_ws_fill_frame_header(hdr, first, len, mask, &hdr_len);
    if (!x_trans_send_room(&r->send_buf, hdr_len + len)) return false;
    uint8_t *at = r->send_buf.last;
    memcpy(at, hdr, hdr_len);
    if (!fill(at + hdr_len)) return false;
    x_ws_mask(at + hdr_len, len, mask);
    r->send_buf.last += hdr_len + len;
    return true;
}

// The collector's answer to the record in flight.
void on_answer(x_send_report_t *r, int64_t c) {
    x_file_report_t *f = r->in_flight;
    if (r->status != X_REPORT_IN_FLIGHT || f == nullptr || r->record_left > 0) {
        log_error("flow report answer c=%lld from [%s] with no record in flight, ignored\n",
                  static_cast<long long>(c), collector_text(r));
        return;
    }
    r->status = X_REPORT_READY;
    r->in_flight = nullptr;
    x_trans_buf_shrink(&r->send_buf); // a big record's room is not kept between records
    if (c == 1) {
        log_info("flow report file %s kept by the collector for another attempt\n", f->file_name);
        return;
    }
    (void)delete_file(r, f);
}

// A binary message: an object with an integer "c". False when the connection must close.
bool on_message(x_send_report_t *r, const uint8_t *data, size_t len) {
    bjson_val_t *val = nullptr;
    if (!bjson_decode(&val, data, len, false)) {
        log_error("bjson decode failed\n");
        return false;
    }
    int64_t c = 0;
    bool ok = bjson_object_get_int(val, "c", &c);
    bjson_free(val);
    if (!ok) {
        log_error("bjson can't get reply field c\n");
        return false;
    }
    on_answer(r, c);
    return true;
}

// One whole frame. False when the connection must close.
bool on_frame(x_send_report_t *r, const x_ws_frame_t &f, const uint8_t *payload) {
    size_t len = static_cast<size_t>(f.payload_len);
    switch (f.opcode) {
    case X_WS_OP_BINARY:
        if (!f.fin) break; // answers are tiny: a fragmented one is not an answer
        return on_message(r, payload, len);
    case X_WS_OP_PING:
        // After any frame already queued, never inside it.
        if (!queue_frame(r, 0x80 | X_WS_OP_PONG, len, [&](uint8_t *at) {
                if (len) memcpy(at, payload, len);
                return true;
            })) {
            return false;
        }
        return !r->enable_send || flush(r);
    case X_WS_OP_PONG:
        return true;
    case X_WS_OP_CLOSE:
        log_info("flow report collector [%s] closed the connection\n", collector_text(r));
        return false;
    default:
        break;
    }
    log_error("flow report collector [%s] sent frame 0x%x%s, do close\n", collector_text(r),
              f.opcode, f.fin ? "" : " (fragment)");
    return false;
}

// Takes the handshake answer and the frames in buf. False when the connection must close.
bool take_input(x_send_report_t *r) {
    buf_t *b = &r->buf;
    if (r->status == X_REPORT_HANDSHAKING) {
        size_t hdr_len = 0;
        switch (x_ws_handshake_response(b->pos, buf_size(b), &r->hs, &hdr_len)) {
        case X_WS_HS_INCOMPLETE:
            return true;
        case X_WS_HS_OK:
            b->pos += hdr_len;
            r->status = X_REPORT_READY;
            r->wait_conned_time = 0;
            break;
        default: {
            size_t shown = buf_size(b) < 200 ? buf_size(b) : 200;
            log_error("flow report websocket handshake failed:%.*s\n", static_cast<int>(shown),
                      reinterpret_cast<const char *>(b->pos));
            return false;
        }
        }
    }
    while (buf_size(b) > 0) {
        x_ws_frame_t f{};
        x_frame_parse_t res = x_ws_frame_parse(b->pos, buf_size(b), X_REPORT_ANSWER_MAX, &f);
        if (res == X_FRAME_INCOMPLETE) break;
        if (res != X_FRAME_OK) {
            log_error("flow report collector [%s] sent a %s frame, do close\n", collector_text(r),
                      res == X_FRAME_TOO_BIG ? "oversized" : "malformed");
            return false;
        }
        const uint8_t *payload = b->pos + f.hdr_len;
        b->pos += f.hdr_len + f.payload_len;
        if (!on_frame(r, f, payload)) return false;
    }
    buf_drain(b);
    return true;
}

void on_recv(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *r = static_cast<x_send_report_t *>(ev->other_ctx);
    size_t limit = r->status == X_REPORT_HANDSHAKING ? X_WS_RESPONSE_MAX
                                                     : X_REPORT_ANSWER_MAX + X_WS_FRAME_HDR_MAX;
    size_t before = buf_size(&r->send_buf);
    x_trans_event_t res =
        x_trans_stream_event(&r->conn, ev, events, &r->send_buf, &r->enable_send, &r->buf, limit);
    size_t written = before - buf_size(&r->send_buf);
    r->record_left = written >= r->record_left ? 0 : r->record_left - written;
    if (res == X_TRANS_EVENT_CLOSE) {
        log_info("flow report connection to [%s] [%d] closed\n", collector_text(r), ev->fd);
        x_flow_report_close(r);
        return;
    }
    if (res != X_TRANS_EVENT_DATA) return;
    r->last_active_time = x_time_ms();
    if (!take_input(r)) x_flow_report_close(r);
}

bool send_handshake(x_send_report_t *r) {
    char req[X_WS_REQUEST_MAX];
    if (!x_ws_handshake_new(&r->hs)) return false;
    size_t len = x_ws_handshake_request(req, sizeof req, r->conn.server_path,
                                        r->conn.server_info.host, &r->hs);
    if (len == 0 || !x_trans_send_room(&r->send_buf, len)) return false;
    memcpy(r->send_buf.last, req, len);
    r->send_buf.last += len;
    return flush(r);
}

void on_connect_dst(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *r = static_cast<x_send_report_t *>(ev->other_ctx);
    if (events & (EPOLLERR | EPOLLHUP)) {
        log_error("connected to dst [%s] [%d][%u] failed\n", collector_text(r), ev->fd, events);
        x_flow_report_close(r);
        return;
    }
    if (!ev_add_event(r->thread->epoll_fd, ev, EPOLLIN, on_recv)) {
        log_error("add event [%d] flow report on_recv_data failed\n", ev->fd);
        x_flow_report_close(r);
        return;
    }
    r->enable_send = true;
    r->last_reconn_time = 0;
    if (!send_handshake(r)) {
        log_error("Failed to send handshake request\n");
        x_flow_report_close(r);
        return;
    }
    r->status = X_REPORT_HANDSHAKING;
}

void on_dns_resp(void *original, int status, sockaddr_storage *addr) {
    auto *r = static_cast<x_send_report_t *>(original);
    r->dns_query = nullptr;
    if (!x_trans_take_address(&r->conn, status, addr)) {
        x_flow_report_close(r);
        return;
    }
    int fd = x_trans_stream_open(&r->conn, "tcp");
    if (fd < 0) {
        x_flow_report_close(r);
        return;
    }
    r->ev_data.fd = fd;
    r->ev_data.other_ctx = r;
    r->status = X_REPORT_CONNECTING;
    r->wait_conned_time = x_time_ms();
    if (!ev_add_event(r->thread->epoll_fd, &r->ev_data, EPOLLOUT, on_connect_dst)) {
        log_error("add tcp dst connect event failed\n");
        x_flow_report_close(r);
    }
}

// Resolves the current collector and connects to it.
void conn_server(x_send_report_t *r) {
    const x_config_remote_server_t &s = r->conf->servers[r->cur_index];
    r->status = X_REPORT_RESOLVING;
    r->wait_conned_time = x_time_ms();
    if (!x_trans_client_store(&r->conn, reinterpret_cast<const char *>(s.server_host.data),
                              s.server_port,
                              reinterpret_cast<const char *>(r->conf->server_path.data), 0, 0, 0,
                              nullptr, nullptr, nullptr, nullptr)) {
        x_flow_report_close(r);
        return;
    }
    const char *host = r->conn.server_info.host;
    if (r->thread->dns == nullptr) {
        on_dns_resp(r, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    r->dns_query = x_dns_query(r->thread->dns, host, strlen(host), r, on_dns_resp, false);
}

// Reads the head file into a frame and starts sending it. A file that cannot be opened or read
// for now stays for a later attempt; a vanished one leaves the list; only a file proven not to
// be a record is deleted.
void send_head(x_send_report_t *r, uint64_t now) {
    x_file_report_t *f = r->head;
    if (f == nullptr || now < r->retry_time) return;
    int fd = open(f->file_name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            log_error("file [%s] should exists but cannot open\n", f->file_name);
            list_remove(r, f);
        } else {
            log_error("flow report cannot open [%s] now: %s, kept for a retry\n", f->file_name,
                      strerror(errno));
            r->retry_time = now + X_REPORT_RETRY_MS;
        }
        return;
    }
    struct stat st;
    uint8_t len_bytes[4];
    uint32_t n = 0;
    const char *bad = nullptr;
    bool transient = false;
    if (fstat(fd, &st) != 0) {
        log_error("get file stat failed\n");
        transient = true;
    } else if (pread(fd, len_bytes, 4, 0) != 4) {
        bad = st.st_size < 4 ? "too short" : nullptr;
        transient = bad == nullptr;
    } else {
        n = static_cast<uint32_t>(len_bytes[0]) | static_cast<uint32_t>(len_bytes[1]) << 8 |
            static_cast<uint32_t>(len_bytes[2]) << 16 | static_cast<uint32_t>(len_bytes[3]) << 24;
        if (n == 0 || static_cast<uint64_t>(st.st_size) != 4ull + n) {
            log_error("file fault,size %s:%u:%lld\n", f->file_name, n,
                      static_cast<long long>(st.st_size));
            bad = "wrong size";
        }
    }
    bool read_ok = false;
    if (!bad && !transient) {
        bool queued = queue_frame(r, 0x80 | X_WS_OP_BINARY, n, [&](uint8_t *at) {
            read_ok = pread(fd, at, n, 4) == static_cast<ssize_t>(n);
            bjson_val_t *val = nullptr;
            if (read_ok && !bjson_decode(&val, at, n, false)) bad = "not a binary JSON value";
            bjson_free(val);
            return read_ok && !bad;
        });
        if (!queued) {
            if (!bad) {
                log_error("file [%s] read failed\n", f->file_name);
                transient = true;
            }
        }
    }
    close(fd);
    if (bad) {
        log_error("flow report file [%s] is no record (%s), deleted\n", f->file_name, bad);
        (void)delete_file(r, f);
        return;
    }
    if (transient) {
        r->retry_time = now + X_REPORT_RETRY_MS;
        return;
    }
    r->retry_time = 0;
    r->record_left = buf_size(&r->send_buf);
    r->in_flight = f;
    r->status = X_REPORT_IN_FLIGHT;
    r->last_send_time = now;
    if (r->enable_send && !flush(r)) {
        log_error("send flow report msg failed\n");
        x_flow_report_close(r);
    }
}

// Resolved path of a report directory, or its text when it does not exist yet.
void dir_key(const x_config_auth_log_report_t &c, char out[PATH_MAX]) {
    const char *p = reinterpret_cast<const char *>(c.log_path.data);
    if (realpath(p, out) != nullptr) return;
    snprintf(out, PATH_MAX, "%s", p);
    for (size_t n = strlen(out); n > 1 && out[n - 1] == '/'; n--)
        out[n - 1] = '\0';
}

// Two reports in one directory would send and delete each other's files.
bool directories_distinct(const x_config_server_t &cfg) {
    struct seen_t {
        char dir[PATH_MAX];
        uint32_t index;
        const char *kind;
    };
    auto *seen = static_cast<seen_t *>(calloc(2 * cfg.auth_num, sizeof(seen_t)));
    if (seen == nullptr) return false;
    size_t n = 0;
    bool ok = true;
    for (uint32_t i = 0; ok && i < cfg.auth_num; i++) {
        for (const auto *c : {&cfg.auths[i].flow_report, &cfg.auths[i].stats_report}) {
            if (c->server_num == 0 || c->log_path.len == 0) continue;
            seen_t &s = seen[n];
            dir_key(*c, s.dir);
            s.index = i;
            s.kind = c == &cfg.auths[i].flow_report ? "flow" : "stats";
            for (size_t k = 0; ok && k < n; k++) {
                if (strcmp(seen[k].dir, s.dir) != 0) continue;
                log_error("auth%u %s report and auth%u %s report share the directory [%s]; each "
                          "report needs its own\n",
                          seen[k].index, seen[k].kind, i, s.kind, s.dir);
                ok = false;
            }
            n++;
        }
    }
    free(seen);
    return ok;
}

} // namespace

x_send_report_t *x_flow_report_create(x_server_t *server, const char *prefix, uint32_t report_type,
                                      const x_config_auth_log_report_t *conf) {
    auto *r = static_cast<x_send_report_t *>(calloc(1, sizeof(x_send_report_t)));
    if (r == nullptr) return nullptr;
    r->server = server;
    r->conf = conf;
    // An interval of 0 would time every send out at once; one second is the least.
    r->interval = (conf->interval ? conf->interval : 1) * 1000ull;
    r->log_num = conf->log_num ? conf->log_num : 1;
    if (conf->log_num == 0) log_info("flow report [%s]: log_num 0 keeps one file\n", prefix);
    r->type = report_type;
    snprintf(r->prefix, sizeof r->prefix, "%s", prefix);
    r->prefix_len = static_cast<int>(strlen(r->prefix));
    r->cur_index = conf->server_num ? static_cast<uint32_t>(rand()) % conf->server_num : 0;
    if (getrandom(&r->mask_state, sizeof r->mask_state, GRND_NONBLOCK) != sizeof r->mask_state)
        r->mask_state = x_time_us();
    return r;
}

bool x_flow_report_do_init(x_send_report_t *r, work_thread_t *thread) {
    r->thread = thread;
    if (!buf_alloc(&r->buf, X_TRANS_BUF_INIT) || !buf_alloc(&r->send_buf, X_TRANS_BUF_INIT)) {
        log_error("create report buf failed\n");
        return false;
    }
    r->cache = dictCreate(&pending_dict_type);
    if (r->cache == nullptr) {
        log_error("create report cache dict failed\n");
        return false;
    }
    if (r->server->config.port_num > 0)
        x_trans_client_set_local(&r->conn, nullptr, r->server->config.ports[0].addr);
    r->conn.thread = thread;
    // Room for "/<prefix>_<20 digits>.tmp" after the directory in every record name.
    if (r->conf->log_path.len + static_cast<size_t>(r->prefix_len) + 27 >= X_REPORT_NAME_MAX) {
        log_error("flow report log path [%s] is too long\n", log_path(r));
        return false;
    }
    if (!scan_dir(r)) {
        log_error("flow report init list error\n");
        return false;
    }
    log_info("flow report [%s/%s] starts with %u waiting files\n", log_path(r), r->prefix,
             r->file_num);
    r->last_write_time = x_time_ms();
    r->status = X_REPORT_CLOSED;
    if (r->conf->server_num > 0) conn_server(r);
    return true;
}

void x_flow_report_add_flow_record(x_send_report_t *r, const x_flow_log_pkt_t *pkt) {
    const char *field;
    if (r->type == X_FLOW_REPORT_FLOW) {
        field = pkt->flow_token;
    } else if (r->type == X_FLOW_REPORT_STATS) {
        field = pkt->stats_token;
    } else {
        log_error("flow report failed, report type %u is error\n", r->type);
        return;
    }
    size_t len = strnlen(field, TOKEN_MAX);
    if (len == 0 || len == TOKEN_MAX) return;
    char key[TOKEN_MAX] = {};
    memcpy(key, field, len);
    if (auto *e = static_cast<x_flow_t *>(dictFetchValue(r->cache, key))) {
        e->up += pkt->up_size;
        e->down += pkt->down_size;
        return;
    }
    auto *e = static_cast<x_flow_t *>(calloc(1, sizeof(x_flow_t)));
    if (e == nullptr) {
        log_error("calloc flow failed, token:%s, up:%u, down:%u\n", key, pkt->up_size,
                  pkt->down_size);
        return;
    }
    memcpy(e->flow_token, key, sizeof key);
    e->up = pkt->up_size;
    e->down = pkt->down_size;
    if (dictAdd(r->cache, e, e) != DICT_OK) {
        log_error("dict add error, token:%s, up:%u, down:%u\n", key, pkt->up_size, pkt->down_size);
        free(e);
    }
}

bool x_flow_report_write_record(x_send_report_t *r) {
    if (dictSize(r->cache) == 0) return true;
    bjson_val_t *obj = build_record(r);
    uint8_t *data = nullptr;
    size_t size = 0;
    bool ok = obj && bjson_encode(obj, &data, &size) && size <= UINT32_MAX;
    bjson_free(obj);
    if (!ok) {
        log_error("flow report record of %lu tokens cannot be encoded, sums kept\n",
                  dictSize(r->cache));
        free(data);
        return false;
    }
    uint64_t ms = x_time_wall_ms();
    char tmp[X_REPORT_NAME_MAX];
    snprintf(tmp, sizeof tmp, "%s/%s_%llu%s", log_path(r), r->prefix,
             static_cast<unsigned long long>(ms), TMP_SUFFIX);
    ok = write_file(tmp, data, size);
    free(data);
    if (ok && !publish(r, tmp, ms)) {
        unlink(tmp);
        ok = false;
    }
    if (!ok) {
        log_error("flow report record not written, sums kept for the next one\n");
        return false;
    }
    dictEmpty(r->cache, nullptr);
    prune(r);
    return true;
}

void x_flow_report_check(x_send_report_t *r) {
    if (r == nullptr) return;
    uint64_t now = x_time_ms();
    if (r->last_write_time + r->interval < now) {
        (void)x_flow_report_write_record(r);
        r->last_write_time = now;
    }
    switch (r->status) {
    case X_REPORT_CLOSED:
        if (r->conf->server_num == 0 || r->last_reconn_time + X_REPORT_RECONN_MS > now) return;
        r->last_reconn_time = now;
        r->cur_index = (r->cur_index + 1) % r->conf->server_num;
        conn_server(r);
        return;
    case X_REPORT_CONNECTING:
    case X_REPORT_HANDSHAKING:
        if (r->wait_conned_time + X_REPORT_CONNECT_MS >= now) return;
        log_error("flow report connect to [%s] timed out\n", r->conn.server_info.host);
        x_flow_report_close(r);
        return;
    case X_REPORT_READY:
        if (r->last_active_time + X_REPORT_SILENCE_MS < now) {
            log_error("last active time is time out,%llu,%llu\n",
                      static_cast<unsigned long long>(r->last_active_time),
                      static_cast<unsigned long long>(now));
            x_flow_report_close(r);
            return;
        }
        send_head(r, now);
        return;
    case X_REPORT_IN_FLIGHT:
        if (r->last_send_time + r->interval >= now) return;
        // A fresh connection: an answer to this send can then never be taken for a later one.
        log_info("flow report file %s out of time\n",
                 r->in_flight ? r->in_flight->file_name : "(gone)");
        x_flow_report_close(r);
        return;
    default:
        return;
    }
}

void x_flow_report_close(x_send_report_t *r) {
    if (r->dns_query && r->thread && r->thread->dns) x_dns_cancel(r->thread->dns, r->dns_query);
    r->dns_query = nullptr;
    if (r->thread) x_trans_close_socket(r->thread->epoll_fd, &r->ev_data);
    r->status = X_REPORT_CLOSED;
    r->in_flight = nullptr;
    r->record_left = 0;
    r->enable_send = false;
    r->buf.pos = r->buf.last = r->buf.start;
    r->send_buf.pos = r->send_buf.last = r->send_buf.start;
    x_trans_buf_shrink(&r->send_buf);
    r->last_reconn_time = x_time_ms();
}

void x_flow_report_free(x_send_report_t *r) {
    if (r == nullptr) return;
    x_flow_report_close(r);
    list_free(r);
    if (r->cache) dictRelease(r->cache);
    buf_free(&r->buf);
    buf_free(&r->send_buf);
    free(r);
}

bool x_flow_report_adopt(x_send_report_t *r, int fd, bool open) {
    if (fd <= 0 || pf_socket_set_non_block(fd) != 0) return false;
    x_flow_report_close(r);
    r->ev_data.fd = fd;
    r->ev_data.other_ctx = r;
    r->last_active_time = x_time_ms();
    if (open) {
        if (!ev_add_event(r->thread->epoll_fd, &r->ev_data, EPOLLIN, on_recv)) return false;
        r->enable_send = true;
        r->status = X_REPORT_READY;
        return true;
    }
    on_connect_dst(nullptr, &r->ev_data, EPOLLOUT);
    return r->status == X_REPORT_HANDSHAKING;
}

bool x_flow_reports_start(x_server_t *s) {
    const x_config_server_t &cfg = s->config;
    if (cfg.auth_num == 0) return true;
    if (!directories_distinct(cfg)) return false;
    s->charge_flow = static_cast<x_send_report_t **>(calloc(cfg.auth_num, sizeof(void *)));
    s->stats_flow = static_cast<x_send_report_t **>(calloc(cfg.auth_num, sizeof(void *)));
    if (s->charge_flow == nullptr || s->stats_flow == nullptr) return false;
    for (uint32_t i = 0; i < cfg.auth_num; i++) {
        const x_config_auth_t &a = cfg.auths[i];
        if (a.flow_report.server_num > 0) {
            s->charge_flow[i] =
                x_flow_report_create(s, "flowreport", X_FLOW_REPORT_FLOW, &a.flow_report);
            if (s->charge_flow[i] == nullptr) return false;
        }
    }
    for (uint32_t i = 0; i < cfg.auth_num; i++) {
        const x_config_auth_t &a = cfg.auths[i];
        if (a.stats_report.server_num > 0) {
            s->stats_flow[i] =
                x_flow_report_create(s, "statsreport", X_FLOW_REPORT_STATS, &a.stats_report);
            if (s->stats_flow[i] == nullptr) return false;
        }
    }
    return true;
}

bool x_flow_reports_init(x_server_t *s) {
    for (x_send_report_t **reports : {s->charge_flow, s->stats_flow}) {
        if (reports == nullptr) continue;
        for (uint32_t i = 0; i < s->config.auth_num; i++)
            if (reports[i] && !x_flow_report_do_init(reports[i], s->main_thread)) return false;
    }
    return true;
}

void x_flow_reports_close(x_server_t *s) {
    for (x_send_report_t ***reports : {&s->charge_flow, &s->stats_flow}) {
        if (*reports == nullptr) continue;
        for (uint32_t i = 0; i < s->config.auth_num; i++)
            x_flow_report_free((*reports)[i]);
        free(*reports);
        *reports = nullptr;
    }
}

void x_flow_reports_on_flow(x_server_t *s, const x_flow_log_pkt_t *pkt) {
    if (pkt->auth_index < 0) return;
    auto i = static_cast<uint32_t>(pkt->auth_index);
    if (i >= s->config.auth_num) return;
    if (s->charge_flow && s->charge_flow[i] && s->charge_flow[i]->cache && pkt->flow_token[0])
        x_flow_report_add_flow_record(s->charge_flow[i], pkt);
    if (s->stats_flow && s->stats_flow[i] && s->stats_flow[i]->cache && pkt->stats_token[0])
        x_flow_report_add_flow_record(s->stats_flow[i], pkt);
}

void x_flow_reports_check(x_server_t *s) {
    for (x_send_report_t **reports : {s->charge_flow, s->stats_flow}) {
        if (reports == nullptr) continue;
        for (uint32_t i = 0; i < s->config.auth_num; i++)
            if (reports[i] && reports[i]->cache) x_flow_report_check(reports[i]);
    }
}
