// Flow reports: the record's bytes with 64-bit sums, answers that count only for the record in
// flight, a partial write, pruning around the file in flight, and head files that cannot be sent.
#include "bjson/binary_json.h"
#include "report/report_rig.h"

#include <sys/resource.h>

namespace {

std::string body(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str().substr(4);
}

TEST(FlowReport, RecordCarries64BitSumsAndAFailedWriteKeepsThem) {
    ReportRig t;
    for (int i = 0; i < 3; i++)
        t.sample("heavy", 0xF0000000u);
    t.sample("light", 5, 7);
    std::string away = t.dir.path + ".away";
    ASSERT_EQ(rename(t.dir.path.c_str(), away.c_str()), 0);
    EXPECT_FALSE(x_flow_report_write_record(t.r));
    ASSERT_EQ(rename(away.c_str(), t.dir.path.c_str()), 0);
    std::string rec = t.record("light");
    ASSERT_EQ(t.dir.names().size(), 1u); // no temporary left behind
    std::string file = t.dir.read(t.dir.names()[0]), b = body(rec);
    EXPECT_EQ(file.size(),
              4 + (static_cast<uint8_t>(file[0]) | static_cast<uint8_t>(file[1]) << 8));
    bjson_val_t *v = nullptr;
    ASSERT_TRUE(bjson_decode(&v, reinterpret_cast<const uint8_t *>(b.data()), b.size(), true));
    bjson_val_t *list = bjson_object_get(v, "list");
    uint64_t got[5] = {};
    int64_t ti = 0;
    EXPECT_TRUE(bjson_array_get_uint(bjson_object_get(list, "heavy"), 0, &got[0]) &&
                bjson_array_get_uint(bjson_object_get(list, "heavy"), 1, &got[1]) &&
                bjson_array_get_uint(bjson_object_get(list, "light"), 0, &got[2]) &&
                bjson_array_get_uint(bjson_object_get(list, "light"), 1, &got[3]) &&
                bjson_object_get_uint(v, "r", &got[4]) && bjson_object_get_int(v, "ti", &ti));
    EXPECT_EQ(std::vector<uint64_t>(got, got + 5),
              (std::vector<uint64_t>{3ull * 0xF0000000u, 3, 6, 8, 0}));
    EXPECT_EQ(ti, 2);
    bjson_free(v);
    x_flow_report_check(t.r);
    EXPECT_EQ(t.frame(b.size()), b);
}

// Three records wait; s sends the head, T lets its answer time run out, a digit answers.
TEST(FlowReport, AnAnswerActsOnlyOnTheRecordInFlight) {
    struct {
        std::string steps;
        size_t left;
        uint32_t status;
    } cases[] = {{"s0", 2, X_REPORT_READY},   {"s1", 3, X_REPORT_READY},
                 {"s1s0", 2, X_REPORT_READY}, {"0", 3, X_REPORT_READY},
                 {"s00", 2, X_REPORT_READY},  {"s0s2", 1, X_REPORT_READY},
                 {"sT0", 3, X_REPORT_CLOSED}};
    for (const auto &c : cases) {
        ReportRig t;
        std::string oldest = t.record("a"), size = body(oldest);
        t.record("b");
        t.record("c");
        for (char step : c.steps) {
            rig_now_ms += step == 'T' ? 2001 : 0;
            if (isdigit(step)) t.answer(step - '0');
            if (isdigit(step)) continue;
            x_flow_report_check(t.r);
            EXPECT_TRUE(step == 'T' || !t.frame(size.size()).empty()) << c.steps;
        }
        EXPECT_EQ(t.dir.names().size(), c.left) << c.steps;
        EXPECT_EQ(access(oldest.c_str(), F_OK) == 0, c.left == 3) << c.steps;
        EXPECT_EQ(t.r->status, c.status) << c.steps;
    }
}

TEST(FlowReport, PartialWriteIsFinishedAndAnEarlyAnswerIgnored) {
    ReportRig t;
    char token[200];
    for (int i = 0; i < 4000; i++) {
        snprintf(token, sizeof token, "%0190d", i);
        t.sample(token, 1);
    }
    std::string b = body(t.record("x"));
    x_flow_report_check(t.r);
    ASSERT_GT(t.r->record_left, 0u); // the socket took only part of it
    t.answer(0);
    EXPECT_EQ(t.dir.names().size(), 1u);
    EXPECT_EQ(t.frame(b.size()), b);
    t.answer(0);
    EXPECT_TRUE(t.dir.names().empty());
}

TEST(FlowReport, PruningSparesTheFileInFlight) {
    ReportRig t(2);
    std::string first = t.record("first");
    x_flow_report_check(t.r);
    for (const char *token : {"second", "third", "fourth"})
        t.record(token);
    EXPECT_EQ(t.dir.names().size(), 2u);
    EXPECT_EQ(access(first.c_str(), F_OK), 0);
}

// The head is spoiled: deleted only when proven no record, kept on a transient failure.
TEST(FlowReport, HeadFileThatCannotBeSent) {
    struct {
        const char *name;
        void (*spoil)(const std::string &path);
        bool kept;
    } cases[] = {
        {"wrong size", [](const std::string &p) { std::ofstream(p, std::ios::app) << 'x'; }, false},
        {"not a value",
         [](const std::string &p) { std::ofstream(p) << std::string("\x02\0\0\0\x0a\x0a", 6); },
         false},
        {"vanished", [](const std::string &p) { unlink(p.c_str()); }, false},
        {"out of descriptors",
         [](const std::string &) {
             int next = dup(0);
             close(next);
             rlimit lim{};
             getrlimit(RLIMIT_NOFILE, &lim);
             lim.rlim_cur = static_cast<rlim_t>(next);
             setrlimit(RLIMIT_NOFILE, &lim);
         },
         true},
    };
    for (const auto &c : cases) {
        ReportRig t;
        std::string head = t.record("head"), next = t.record("next"), sent = body(head);
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        c.spoil(head);
        x_flow_report_check(t.r);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(access(head.c_str(), F_OK) == 0, c.kept) << c.name;
        EXPECT_EQ(t.r->file_num, c.kept ? 2u : 1u) << c.name;
        rig_now_ms += X_REPORT_RETRY_MS; // a kept head is tried again after a pause
        x_flow_report_check(t.r);
        EXPECT_EQ(t.frame(sent.size()), c.kept ? sent : body(next)) << c.name;
    }
}

} // namespace
