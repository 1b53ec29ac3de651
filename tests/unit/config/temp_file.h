#pragma once

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace config_test {

// A temporary file holding these bytes, named with the suffix; removed at scope exit.
struct TempFile {
    std::string path = "/tmp/quoxel_config_test_XXXXXX";
    explicit TempFile(const std::string &bytes, const char *suffix = "") {
        path += suffix;
        int fd = mkstemps(path.data(), static_cast<int>(strlen(suffix)));
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

} // namespace config_test
