#include "config/ini.h"

#include "temp_file.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using config_test::TempFile;

struct LoadedIni {
    TempFile file;
    ini_t *ini;
    explicit LoadedIni(const std::string &bytes) : file(bytes), ini(ini_load(file.path.c_str())) {}
    ~LoadedIni() { ini_free(ini); }
};

struct LookupCase {
    const char *name;
    std::string text;
    const char *section; // null: any section
    const char *key;
    const char *expected; // null: absent
};

class IniLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(IniLookup, FindsTheValue) {
    const LookupCase &c = GetParam();
    LoadedIni f(c.text);
    ASSERT_NE(f.ini, nullptr);
    EXPECT_STREQ(ini_get(f.ini, c.section, c.key), c.expected); // two nulls compare equal
}

using namespace std::string_literals;

const LookupCase kLookups[] = {
    {"plain", "[s]\nk=v\n", "s", "k", "v"},
    {"blanks_around_equals", "[s]\n  k \t=  \t v w \t\r\n", "s", "k", "v w"},
    {"plain_keeps_semicolon", "[s]\nk=a;b # c\n", "s", "k", "a;b # c"},
    {"quoted_drops_comment", "[s]\nk=\"a b\" ; comment\n", "s", "k", "a b"},
    {"quoted_escapes", "[s]\nk=\"x\\ty\\nz\\r\\\\\\\"q\"\n", "s", "k", "x\ty\nz\r\\\"q"},
    {"quoted_unterminated", "[s]\nk=\"abc\r\nj=1\n", "s", "j", "1"},
    {"quoted_unterminated_value", "[s]\nk=\"abc\r\nj=1\n", "s", "k", "abc"},
    {"empty_plain_absent", "[s]\nk=\nj=1\n", "s", "k", nullptr},
    {"empty_plain_no_shift", "[s]\nk=   \nj=1\n", "s", "j", "1"},
    {"empty_quoted_absent", "[s]\nk=\"\"\nj=1\n", "s", "k", nullptr},
    {"empty_quoted_no_shift", "[s]\nk=\"\"\nj=1\n", "s", "j", "1"},
    {"line_without_equals", "[s]\njunk line\nk=v\n", "s", "k", "v"},
    {"line_without_equals_not_key", "[s]\njunk\nk=v\n", "s", "junk", nullptr},
    {"comment_hash", "[s]\n# k=x\nk=v\n", "s", "k", "v"},
    {"comment_semicolon", "[s]\n  ; k=x\nk=v\n", "s", "k", "v"},
    {"case_insensitive", "[SecT]\nKeY=v\n", "sEcT", "kEy", "v"},
    {"blanks_in_header", "[ s ]\nk=v\n", "s", "k", nullptr},
    {"blanks_in_header_exact", "[ s ]\nk=v\n", " s ", "k", "v"},
    {"first_match_wins", "[s]\nk=1\nk=2\n", "s", "k", "1"},
    {"split_section", "[s]\na=1\n[t]\nb=2\n[s]\nc=3\n", "s", "c", "3"},
    {"null_section_first_in_file", "[t]\nk=1\n[s]\nk=2\n", nullptr, "k", "1"},
    {"keys_before_header", "k=1\n[s]\nk=2\n", "", "k", "1"},
    {"no_final_newline", "[s]\nk=last", "s", "k", "last"},
    {"text_after_bracket", "[s] k=v\n", "s", "k", "v"},
    {"header_without_bracket", "[s\nk=v\n", "s", "k", "v"},
    {"value_with_equals", "[s]\nk=a=b\n", "s", "k", "a=b"},
    {"value_starting_bracket", "[s]\nk=[t]\nj=1\n", "s", "j", "1"},
    {"value_not_a_section", "[s]\nk=[t]\nj=1\n", "t", "j", nullptr},
    {"crlf", "[s]\r\nk=v\r\nj=w\r\n", "s", "j", "w"},
    // An empty key must not leave its value behind as a key token.
    {"empty_key_discarded", "[s]\n= x\nk=v\n", "s", "k", "v"},
    {"empty_key_value_not_key", "[s]\n=x\nx=y\nk=v\n", "s", "x", "y"},
    {"empty_key_blank", "[s]\n  = x\nk=v\n", "s", "x", nullptr},
    // Raw NUL bytes never split a value into two tokens.
    {"nul_in_quoted", "[s]\na=\"x\0y\"\nk=v\n"s, "s", "k", "v"},
    {"nul_in_quoted_value", "[s]\na=\"x\0y\"\nk=v\n"s, "s", "a", "x"},
    {"nul_after_backslash", "[s]\na=\"x\\\0y\"\nk=v\n"s, "s", "k", "v"},
    {"nul_in_plain", "[s]\na=x\0y\nk=v\n"s, "s", "k", "v"},
    {"nul_in_key", "[s]\na\0b=c\nk=v\n"s, "s", "k", "v"},
    {"nul_after_equals", "[s]\na=\0b\nk=v\n"s, "s", "k", "v"},
    {"nul_in_header", "[s\0t]\nk=v\n"s, "s", "k", "v"},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniLookup, testing::ValuesIn(kLookups),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(IniLoad, RefusesWhatIsNotARegularFileReadWhole) {
    EXPECT_EQ(ini_load("/nonexistent/file.ini"), nullptr);
    EXPECT_EQ(ini_load("/tmp"), nullptr); // a directory
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string fifo = "/dev/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(ini_load(fifo.c_str()), nullptr); // a pipe has no size to read
    close(fds[0]);
    close(fds[1]);
    // A FIFO without a writer must not block the load.
    char dir[] = "/tmp/ini_fifo_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string named = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(named.c_str(), 0600), 0);
    EXPECT_EQ(ini_load(named.c_str()), nullptr);
    unlink(named.c_str());
    rmdir(dir);
}

TEST(IniGetters, TypedValues) {
    LoadedIni f("[s]\nn=-42\nbig=99999999999999999999\nbad_ip=x\ntext=t\n");
    ASSERT_NE(f.ini, nullptr);
    EXPECT_EQ(ini_get_int64(f.ini, "s", "big"), INT64_MAX); // clamped, no error
    EXPECT_EQ(ini_get_ip(f.ini, "s", "bad_ip"), INADDR_NONE);
    const char *value = nullptr;
    EXPECT_EQ(ini_sget(f.ini, "s", "text", nullptr, &value), 1);
    EXPECT_STREQ(value, "t");
    int n = 0;
    EXPECT_EQ(ini_sget(f.ini, "s", "n", "%d", &n), 1);
    EXPECT_EQ(n, -42);
    EXPECT_EQ(ini_sget(f.ini, "s", "missing", "%d", &n), 0);
}

} // namespace
