// A scratch directory for the log writers' tests, removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct LogDir {
    std::string path;
    LogDir() {
        char tmpl[] = "/tmp/quoxel_log_XXXXXX";
        char *p = mkdtemp(tmpl);
        EXPECT_NE(p, nullptr);
        path = p ? p : "/tmp";
    }
    ~LogDir() {
        for (const auto &name : names())
            unlink((path + "/" + name).c_str());
        rmdir(path.c_str());
    }
    // File names, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') out.push_back(e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string read(const std::string &name) const {
        std::ifstream in(path + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Every file's contents, in name order.
    std::string read_all() const {
        std::string all;
        for (const auto &n : names())
            all += read(n);
        return all;
    }
    void put(const std::string &name, const std::string &text, time_t mtime = 0) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        if (mtime) {
            struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
            utimensat(AT_FDCWD, (path + "/" + name).c_str(), ts, 0);
        }
    }
};
