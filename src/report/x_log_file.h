// A rotating series of log files in one directory, used by the access reports and the flow logs
// (main thread only, no locking).
//
// Members of a series are named "<prefix>_<ms><suffix>", <ms> being the wall-clock milliseconds
// at which the file was started. Whole lines are appended and flushed at once; when the current
// file has grown past the size limit, a limit check closes it and prunes the oldest members, and
// the next write starts a new file. After a restart the newest member is continued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t X_LOG_FILE_PATH_MAX = 256; // directory, terminator included
constexpr size_t X_LOG_FILE_AFFIX_MAX = 16; // prefix or suffix, terminator included

struct x_log_file_t {
    char path[X_LOG_FILE_PATH_MAX];    // directory that holds the files
    char prefix[X_LOG_FILE_AFFIX_MAX]; // first part of every file name
    char suffix[X_LOG_FILE_AFFIX_MAX]; // last part of every file name, such as ".log"
    uint16_t prefix_len;               // strlen(prefix)
    uint16_t suffix_len;               // strlen(suffix)
    uint64_t file_size;                // size limit in bytes (megabytes << 20)
    uint32_t file_count;               // files to keep
    uint64_t cur_file_size;            // bytes in the current file; 0: the next write starts one
    uint64_t last_stamp;               // name stamp of the newest file, so new names sort after it
    FILE *cur_fp;                      // the current file's stream, or null
    char cur_file_name[512];           // full path of the current file
};

// Null when an argument is missing or too long, or (with a log line) when the directory is not
// writable. Continues the newest existing member, ending it with a line feed if it needs one.
x_log_file_t *x_log_file_create(const char *path, const char *prefix, const char *suffix,
                                uint32_t size_mb, uint32_t count);
// Appends len bytes (one or more whole lines) and flushes; data that cannot be written is lost.
void x_log_file_write(x_log_file_t *file, const void *data, size_t len);
// When the current file has passed the limit: closes it and prunes the series so that the next
// write starts a new file. Never creates a file.
void x_log_file_check_limit(x_log_file_t *file);
// Closes the stream and frees the record; null is ignored.
void x_log_file_free(x_log_file_t *file);

// Whether a directory entry belongs to the series: exactly prefix, '_', one or more digits and
// suffix. The digits' value is stored in *stamp (saturating) when stamp is not null.
bool x_log_file_is_member(const x_log_file_t *file, const char *name, uint64_t *stamp);
