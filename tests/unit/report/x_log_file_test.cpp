#include "report/x_log_file.h"
#include "report/log_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

x_log_file_t *open_series(const LogDir &dir, uint32_t size_mb = 1, uint32_t count = 3,
                          const char *prefix = "x_report_1") {
    x_log_file_t *f = x_log_file_create(dir.path.c_str(), prefix, ".log", size_mb, count);
    EXPECT_NE(f, nullptr);
    return f;
}

} // namespace

TEST(LogFile, MembershipIsExactlyPrefixStampSuffix) {
    LogDir dir;
    x_log_file_t *f = open_series(dir);
    struct {
        const char *name;
        bool member;
        uint64_t stamp;
    } cases[] = {
        {"x_report_1_1700000000123.log", true, 1700000000123},
        {"x_report_1_0.log", true, 0},
        {"x_report_10_1700000000123.log", false, 0}, // another section's series
        {"x_report_1_.log", false, 0},
        {"x_report_1_12a4.log", false, 0},
        {"x_report_1_123.log.gz", false, 0},
        {"x_report_1123.log", false, 0},
        {"x_report_1.log", false, 0},
        {"y_report_1_123.log", false, 0},
        {"x_report_1_99999999999999999999999.log", true, UINT64_MAX}, // saturates
    };
    for (const auto &c : cases) {
        uint64_t stamp = 7;
        EXPECT_EQ(x_log_file_is_member(f, c.name, &stamp), c.member) << c.name;
        if (c.member) {
            EXPECT_EQ(stamp, c.stamp) << c.name;
        }
    }
    x_log_file_free(f);
}

TEST(LogFile, WritePastTheLimitStaysUntilTheCheckThenANewFileStarts) {
    LogDir dir;
    x_log_file_t *f = open_series(dir, 1, 3);
    std::string big(1048570, 'a');
    big.back() = '\n';
    x_log_file_write(f, big.data(), big.size());
    std::string line(99, 'b');
    line += '\n';
    x_log_file_write(f, line.data(), line.size()); // 1 048 670 bytes, still one file
    ASSERT_EQ(dir.names().size(), 1u);
    EXPECT_EQ(dir.read(dir.names()[0]).size(), 1048670u);
    x_log_file_check_limit(f);
    x_log_file_check_limit(f); // a check never creates a file
    EXPECT_EQ(dir.names().size(), 1u);
    x_log_file_write(f, "next\n", 5);
    auto names = dir.names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(dir.read(names[1]), "next\n");
    x_log_file_free(f);
}

TEST(LogFile, LargeLimitDoesNotWrapToZero) {
    LogDir dir;
    x_log_file_t *f = open_series(dir, 4096, 3);
    EXPECT_EQ(f->file_size, uint64_t{4096} << 20);
    for (int i = 0; i < 5; i++) {
        x_log_file_write(f, "line\n", 5);
        x_log_file_check_limit(f);
    }
    ASSERT_EQ(dir.names().size(), 1u);
    EXPECT_EQ(dir.read_all(), "line\nline\nline\nline\nline\n");
    x_log_file_free(f);
}

TEST(LogFile, PruningKeepsTheNewestAndOnlyItsOwnSeries) {
    struct {
        int present;   // members present, the newest of them continued
        int remaining; // members left after the rotation
    } cases[] = {{2, 2}, {3, 3}, {4, 2}, {6, 2}};
    for (const auto &c : cases) {
        LogDir dir;
        for (int i = 0; i < c.present; i++)
            dir.put("x_report_1_" + std::to_string(1000 + i) + ".log", "old\n", 1000000 + i);
        dir.put("x_report_10_1.log", "other section\n", 10);
        dir.put("x_report_1_5.txt", "other suffix\n", 10);
        x_log_file_t *f = open_series(dir, 0, 3);
        // The newest existing member is continued; the limit of 0 closes it at the check.
        x_log_file_write(f, "new\n", 4);
        x_log_file_check_limit(f);
        auto names = dir.names();
        int members = 0;
        for (const auto &n : names)
            members += x_log_file_is_member(f, n.c_str(), nullptr);
        EXPECT_EQ(members, c.remaining) << c.present;
        EXPECT_EQ(dir.read("x_report_10_1.log"), "other section\n");
        EXPECT_EQ(dir.read("x_report_1_5.txt"), "other suffix\n");
        // The newest member always survives, with the line just written.
        std::string newest = "x_report_1_" + std::to_string(1000 + c.present - 1) + ".log";
        EXPECT_EQ(dir.read(newest), "old\nnew\n") << c.present;
        x_log_file_free(f);
    }
}

TEST(LogFile, EqualModificationTimesFallBackToTheNameStamp) {
    LogDir dir;
    // Directory order is arbitrary; the stamps decide which is newest.
    for (int stamp : {3000, 1000, 4000, 2000})
        dir.put("x_report_1_" + std::to_string(stamp) + ".log", "x\n", 500000);
    x_log_file_t *f = open_series(dir, 0, 3);
    EXPECT_EQ(std::string(f->cur_file_name), dir.path + "/x_report_1_4000.log");
    x_log_file_write(f, "y\n", 2);
    x_log_file_check_limit(f);
    auto names = dir.names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "x_report_1_3000.log");
    EXPECT_EQ(names[1], "x_report_1_4000.log");
    x_log_file_free(f);
}

TEST(LogFile, RapidRotationsNeverShareAFileOrLoseALine) {
    LogDir dir;
    x_log_file_t *f = open_series(dir, 0, 1000);
    std::string expected;
    for (int i = 0; i < 50; i++) {
        std::string line = "line " + std::to_string(i) + "\n";
        expected += line;
        x_log_file_write(f, line.data(), line.size());
        x_log_file_check_limit(f);
    }
    EXPECT_EQ(dir.names().size(), 50u); // one line a file, though many share a millisecond
    std::string all;
    for (const auto &n : dir.names())
        all += dir.read(n);
    // Names sort by stamp only when the stamps have equal width, which they do here.
    EXPECT_EQ(all, expected);
    x_log_file_free(f);
}
