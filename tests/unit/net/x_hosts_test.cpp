#include "net/x_hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

// A file past the bound is read up to it and cut after its last whole line.
TEST(Hosts, FileReadIsBoundedAtALine) {
    char path[] = "/tmp/x_hosts_test_XXXXXX";
    int fd = mkstemp(path);
    std::string text = "10.1.0.1 first.test\n";
    text.resize(X_HOSTS_MAX_FILE - 12, '#'); // "10.1.0.2 ac" ends right at the bound
    text += "\n10.1.0.2 across.the.bound.test\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    x_hosts_t h;
    x_hosts_stamp_t stamp;
    bool cut = false;
    ASSERT_TRUE(x_hosts_load(&h, path, &stamp, &cut));
    unlink(path);
    EXPECT_TRUE(cut);
    uint8_t addr[16];
    ASSERT_TRUE(x_hosts_find(&h, "first.test", 10, AF_INET, addr));
    EXPECT_EQ(memcmp(addr, "\x0a\x01\x00\x01", 4), 0);
    EXPECT_EQ(h.name_count, 1u);
    x_hosts_free(&h);
    EXPECT_FALSE(x_hosts_load(&h, "/", &stamp, &cut)); // a directory is no hosts file
}
