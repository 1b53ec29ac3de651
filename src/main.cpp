// Process entry: command line, daemon mode, core limits, then the server's start-up sequence.
#include "core/log.h"
#include "core/x_server.h"
#include "report/monitor.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr const char *PRODUCT_NAME = "quoxel-kni";
constexpr const char *PRODUCT_VERSION = "3.1.3";

void print_usage(const char *argv0) {
    printf("usage: %s [options]\noptions: \n"
           "  -v                   Show version\n"
           "  -c <config.ini>      Config file.\n"
           "  -d                   Run as a daemon.\n"
           "  -s                   Write to syslog.\n"
           "  -t                   Test the configuration and exit.\n"
           "  -h                   Show this help message.\n",
           argv0);
}

// The build time, read back from the compiler's date and time strings.
[[noreturn]] void print_version_and_exit() {
    char built[64];
    snprintf(built, sizeof built, "%s %s", __DATE__, __TIME__);
    struct tm tm = {};
    if (strptime(built, "%b %d %Y %H:%M:%S", &tm) == nullptr) exit(1);
    time_t t = timegm(&tm);
    struct tm utc;
    gmtime_r(&t, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    printf("%s version: %s compiled at: %s\n", PRODUCT_NAME, PRODUCT_VERSION, stamp);
    exit(0);
}

void daemonize() {
    fflush(stdout); // the child must not repeat what the parent buffered
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(1);
    }
    if (pid > 0) {
        printf("PID is %d\n", pid);
        exit(0);
    }
}

// The file under "-t"; cleared once it passed. The required keys' getters end the process on
// their own, so the verdict for a failure is also written from an exit handler.
const char *checked_path = nullptr;

void say_check_failed() {
    if (checked_path != nullptr) printf("configuration %s test failed\n", checked_path);
}

// "-t": loads the configuration and every file it names, then says whether it is usable.
[[noreturn]] void check_config_and_exit(const char *path) {
    checked_path = path;
    atexit(say_check_failed);
    server = x_server_create();
    bool ok = server != nullptr && x_server_check_config(server, path);
    x_server_close(server);
    if (ok) {
        checked_path = nullptr;
        printf("configuration %s is ok\n", path);
    }
    exit(ok ? 0 : 1);
}

void raise_core_limits() {
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    (void)setrlimit(RLIMIT_CORE, &rl);
    (void)prctl(PR_SET_DUMPABLE, 1);
}

} // namespace

int main(int argc, char **argv) {
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        log_error("signal\n");
        exit(1);
    }
    const char *config_path = "config.ini";
    bool daemon_mode = false;
    bool check_only = false;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, ":c:n:dshvt")) != -1) {
        switch (c) {
        case 'c':
            config_path = optarg;
            break;
        case 'd':
            daemon_mode = true;
            break;
        case 's':
            syslog_enable = true;
            break;
        case 't':
            check_only = true;
            break;
        case 'h':
            print_usage(argv[0]);
            exit(0);
        case 'v':
            print_version_and_exit();
        case ':':
            printf("Missing argument after: -%c\n", optopt);
            print_usage(argv[0]);
            exit(1);
        default:
            // getopt fills optopt only for letters it does not know; "-n" is known but unused.
            printf("Invalid argument: -%c\n", c == '?' ? optopt : c);
            print_usage(argv[0]);
            exit(1);
        }
    }
    if (check_only) check_config_and_exit(config_path);
    if (daemon_mode) daemonize();
    raise_core_limits();
    monitor_init();

    server = x_server_create();
    if (server == nullptr) {
        log_error("create x_server failed\n");
        exit(1);
    }
    if (!x_server_load_config(&server->config, config_path)) {
        x_server_close(server);
        log_error("load config failed\n");
        exit(1);
    }
    if (!x_server_start(server)) {
        x_server_close(server);
        log_error("server start failed\n");
        exit(1);
    }
    x_server_run(server);
    return 0;
}
