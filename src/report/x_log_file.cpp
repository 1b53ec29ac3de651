#include "report/x_log_file.h"

#include "core/log.h"
#include "core/x_timer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One member of the series as found in the directory.
struct member_t {
    char name[256]; // directory entry name
    timespec mtime; // modification time
    uint64_t stamp; // milliseconds in the name
};

// Newest first: later modification time, then the later stamp in the name, so that files
// written within one tick of the file system's clock still sort in the order they were made.
bool newer(const member_t &a, const member_t &b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec > b.mtime.tv_sec;
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec > b.mtime.tv_nsec;
    if (a.stamp != b.stamp) return a.stamp > b.stamp;
    return strcmp(a.name, b.name) > 0;
}

bool fill_member(int dir_fd, const x_log_file_t *f, const char *name, member_t *m) {
    if (!x_log_file_is_member(f, name, &m->stamp)) return false;
    struct stat st;
    if (fstatat(dir_fd, name, &st, 0) != 0) return false;
    snprintf(m->name, sizeof m->name, "%s", name);
    m->mtime = st.st_mtim;
    return true;
}

// Makes the newest member the current file; none when the directory has no member.
void get_last(x_log_file_t *f) {
    DIR *dir = opendir(f->path);
    if (dir == nullptr) return;
    member_t best = {}, m = {};
    bool found = false;
    while (dirent *e = readdir(dir)) {
        if (!fill_member(dirfd(dir), f, e->d_name, &m)) continue;
        if (!found || newer(m, best)) best = m;
        found = true;
    }
    closedir(dir);
    if (!found) return;
    snprintf(f->cur_file_name, sizeof f->cur_file_name, "%s/%s", f->path, best.name);
    struct stat st;
    f->cur_file_size = stat(f->cur_file_name, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    f->last_stamp = best.stamp;
}

// A previous run may have died in the middle of a line: end it so the next line stands alone.
void amend(x_log_file_t *f) {
    if (f->cur_file_size == 0) return;
    FILE *fp = fopen(f->cur_file_name, "r+");
    if (fp == nullptr) return;
    int last = EOF;
    if (fseek(fp, -1, SEEK_END) == 0) last = fgetc(fp);
    if (last != EOF && last != '\n' && fseek(fp, 0, SEEK_END) == 0 && fputc('\n', fp) != EOF)
        f->cur_file_size++;
    fclose(fp);
}

FILE *open_append(const char *name) {
    FILE *fp = fopen(name, "a+");
    // Unbuffered: every write reaches the file at once and a short write is seen as such.
    if (fp) setvbuf(fp, nullptr, _IONBF, 0);
    return fp;
}

// Starts a new member. Its stamp is the wall clock, but always after the previous member's,
// so two rotations within one millisecond never share (and reopen) one file.
FILE *open_new(x_log_file_t *f) {
    if (f->cur_fp) {
        fclose(f->cur_fp);
        f->cur_fp = nullptr;
    }
    uint64_t stamp = std::max(x_time_wall_ms(), f->last_stamp + 1);
    snprintf(f->cur_file_name, sizeof f->cur_file_name, "%s/%s_%llu%s", f->path, f->prefix,
             static_cast<unsigned long long>(stamp), f->suffix);
    FILE *fp = open_append(f->cur_file_name);
    if (fp) f->last_stamp = stamp;
    return fp;
}

// Collects the members; false (nothing to prune) when the directory or a member cannot be read
// or memory runs out. The list grows as needed so that no member escapes pruning.
bool list_members(const x_log_file_t *f, member_t **out, size_t *count) {
    DIR *dir = opendir(f->path);
    if (dir == nullptr) {
        log_error("open dir [%s] failed\n", f->path);
        return false;
    }
    member_t *list = nullptr;
    size_t n = 0, cap = 0;
    bool ok = true;
    while (dirent *e = readdir(dir)) {
        if (!x_log_file_is_member(f, e->d_name, nullptr)) continue;
        if (n == cap) {
            size_t grown = cap ? cap * 2 : 256;
            auto *more = static_cast<member_t *>(realloc(list, grown * sizeof(member_t)));
            if (more == nullptr) {
                ok = false;
                break;
            }
            list = more;
            cap = grown;
        }
        if (!fill_member(dirfd(dir), f, e->d_name, &list[n])) {
            ok = false;
            break;
        }
        n++;
    }
    closedir(dir);
    if (!ok) {
        free(list);
        return false;
    }
    *out = list;
    *count = n;
    return true;
}

// Leaves the newest file_count - 1 members, room for the file the next write creates; nothing
// is removed while the series holds no more than file_count members.
void delete_old_limit(x_log_file_t *f) {
    member_t *list = nullptr;
    size_t n = 0;
    if (!list_members(f, &list, &n)) return;
    if (n > f->file_count) {
        std::sort(list, list + n, newer);
        size_t keep = f->file_count > 0 ? f->file_count - 1 : 0;
        char full[X_LOG_FILE_PATH_MAX + 260];
        for (size_t i = keep; i < n; i++) {
            snprintf(full, sizeof full, "%s/%s", f->path, list[i].name);
            if (unlink(full) != 0) log_error("remove log file [%s] failed\n", full);
        }
    }
    free(list);
}

bool copy_bounded(char *dst, size_t cap, const char *src) {
    if (src == nullptr) return false;
    size_t len = strlen(src);
    if (len >= cap) return false;
    memcpy(dst, src, len + 1);
    return true;
}

} // namespace

bool x_log_file_is_member(const x_log_file_t *f, const char *name, uint64_t *stamp) {
    size_t len = strlen(name);
    if (len < f->prefix_len + 2u + f->suffix_len) return false;
    if (memcmp(name, f->prefix, f->prefix_len) != 0 || name[f->prefix_len] != '_') return false;
    if (memcmp(name + len - f->suffix_len, f->suffix, f->suffix_len) != 0) return false;
    uint64_t value = 0;
    for (size_t i = f->prefix_len + 1; i < len - f->suffix_len; i++) {
        char ch = name[i];
        if (ch < '0' || ch > '9') return false;
        uint64_t digit = static_cast<uint64_t>(ch - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    if (stamp) *stamp = value;
    return true;
}

x_log_file_t *x_log_file_create(const char *path, const char *prefix, const char *suffix,
                                uint32_t size_mb, uint32_t count) {
    auto *f = static_cast<x_log_file_t *>(calloc(1, sizeof(x_log_file_t)));
    if (f == nullptr) return nullptr;
    if (!copy_bounded(f->path, sizeof f->path, path) ||
        !copy_bounded(f->prefix, sizeof f->prefix, prefix) ||
        !copy_bounded(f->suffix, sizeof f->suffix, suffix)) {
        free(f);
        return nullptr;
    }
    if (access(path, W_OK | X_OK) != 0) {
        log_error("path [%s] is not exist\n", path);
        free(f);
        return nullptr;
    }
    f->prefix_len = static_cast<uint16_t>(strlen(f->prefix));
    f->suffix_len = static_cast<uint16_t>(strlen(f->suffix));
    f->file_size = static_cast<uint64_t>(size_mb) << 20;
    f->file_count = count;
    get_last(f);
    amend(f);
    return f;
}

void x_log_file_write(x_log_file_t *f, const void *data, size_t len) {
    if (f == nullptr || len == 0) return;
    if (f->cur_file_size == 0) {
        f->cur_fp = open_new(f);
    } else if (f->cur_fp == nullptr) {
        f->cur_fp = open_append(f->cur_file_name);
    }
    if (f->cur_fp == nullptr) return;
    size_t done = fwrite(data, 1, len, f->cur_fp);
    if (done > 0 && done < len) {
        // A torn line (the disk filled up): the next line goes to a file of its own rather than
        // being glued to the fragment.
        fclose(f->cur_fp);
        f->cur_fp = nullptr;
        f->cur_file_size = 0;
        return;
    }
    f->cur_file_size += done;
}

void x_log_file_check_limit(x_log_file_t *f) {
    if (f == nullptr || f->cur_file_size <= f->file_size) return;
    f->cur_file_size = 0;
    if (f->cur_fp) {
        fclose(f->cur_fp);
        f->cur_fp = nullptr;
    }
    delete_old_limit(f);
}

void x_log_file_free(x_log_file_t *f) {
    if (f == nullptr) return;
    if (f->cur_fp) fclose(f->cur_fp);
    free(f);
}
