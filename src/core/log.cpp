#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

bool syslog_enable = false;

namespace {

constexpr size_t LOG_LINE_MAX = 8192;

void write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) return; // logging never fails its caller
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void log_line(const char *level, const char *fmt, va_list ap) {
    char line[LOG_LINE_MAX];
    char stamp[20];
    time_t now = time(nullptr);
    struct tm tm_local;
    if (localtime_r(&now, &tm_local) == nullptr ||
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_local) == 0)
        stamp[0] = '\0';
    int head = snprintf(line, sizeof line, "%s %s : ", stamp, level);
    if (head < 0) return;
    int body = vsnprintf(line + head, sizeof line - static_cast<size_t>(head), fmt, ap);
    if (body < 0) return;
    size_t len = static_cast<size_t>(head) + static_cast<size_t>(body);
    if (len >= sizeof line) { // truncated: keep the line a line
        len = sizeof line - 1;
        line[len - 1] = '\n';
    }
    if (syslog_enable)
        syslog(LOG_INFO, "%s", line);
    else
        write_all(STDOUT_FILENO, line, len);
}

} // namespace

void log_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_line("ERROR", fmt, ap);
    va_end(ap);
}

void log_info(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_line("INFO ", fmt, ap);
    va_end(ap);
}

void memdump(const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    if (len > 128) len = 128;
    for (size_t row = 0; row < len; row += 16) {
        size_t n = len - row < 16 ? len - row : 16;
        for (size_t i = 0; i < 16; i++) {
            if (i < n)
                printf("%02x ", p[row + i]);
            else
                printf("   ");
            if (i % 4 == 3) printf(" ");
        }
        for (size_t i = 0; i < n; i++) {
            unsigned char c = p[row + i];
            putchar(c >= 0x20 && c < 0x7f ? c : '.');
        }
        putchar('\n');
    }
    fflush(stdout);
}
