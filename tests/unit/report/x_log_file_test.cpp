#include "report/x_log_file.h"
#include "report/log_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

x_log_file_t *open_series(const LogDir &dir, uint32_t size_mb = 1) {
    x_log_file_t *f = x_log_file_create(dir.path.c_str(), "x_report_1", ".log", size_mb, 3);
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

TEST(LogFile, LargeLimitDoesNotWrapToZero) {
    LogDir dir;
    x_log_file_t *f = open_series(dir, 4096);
    EXPECT_EQ(f->file_size, uint64_t{4096} << 20);
    for (int i = 0; i < 5; i++) {
        x_log_file_write(f, "line\n", 5);
        x_log_file_check_limit(f);
    }
    ASSERT_EQ(dir.names().size(), 1u);
    EXPECT_EQ(dir.read_all(), "line\nline\nline\nline\nline\n");
    x_log_file_free(f);
}

TEST(LogFile, EqualModificationTimesFallBackToTheNameStamp) {
    LogDir dir;
    // Directory order is arbitrary; the stamps decide which is newest.
    for (int stamp : {3000, 1000, 4000, 2000})
        dir.put("x_report_1_" + std::to_string(stamp) + ".log", "x\n", 500000);
    x_log_file_t *f = open_series(dir, 0);
    EXPECT_EQ(std::string(f->cur_file_name), dir.path + "/x_report_1_4000.log");
    x_log_file_write(f, "y\n", 2);
    x_log_file_check_limit(f);
    auto names = dir.names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "x_report_1_3000.log");
    EXPECT_EQ(names[1], "x_report_1_4000.log");
    x_log_file_free(f);
}
