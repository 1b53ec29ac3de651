// Several threads log at once: every line must arrive whole.
#include "core/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

TEST(LogThreads, ConcurrentLinesStayWhole) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    fcntl(pipefd[0], F_SETPIPE_SZ, 1 << 20);
    int saved = dup(STDOUT_FILENO);
    dup2(pipefd[1], STDOUT_FILENO);
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++)
                log_info("thread %d line %d %s\n", t, i, "payload");
        });
    for (auto &th : threads)
        th.join();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(pipefd[1]);
    std::string all;
    char chunk[65536];
    ssize_t n;
    while ((n = read(pipefd[0], chunk, sizeof chunk)) > 0)
        all.append(chunk, static_cast<size_t>(n));
    close(pipefd[0]);
    int lines = 0;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = all.substr(pos, nl - pos);
        EXPECT_NE(line.find(" INFO  : thread "), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - 8), " payload") << line;
        lines++;
        pos = nl + 1;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}
