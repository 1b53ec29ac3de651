#include "proto/http_proxy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string code_resp(const char *reason, unsigned code) {
    char out[256];
    size_t n = http_format_code_resp(out, sizeof out, reason, code);
    return std::string(out, n);
}

// The server-failure and black-list answers are pinned byte for byte end to end; this one is not.
TEST(HttpProxyResponses, ThreeDigitCodesKeepTheTemplatesExactly) {
    EXPECT_EQ(code_resp(http_auth_fail_errorcode_reason, 403),
              "HTTP/1.1 403 Proxy Authentication Failed\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
              "Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:403\r\n");
}

TEST(HttpProxyResponses, OtherWidthsGetAValidStatusLineAndTheRightLength) {
    const struct {
        unsigned code;
        const char *status, *body;
    } cases[] = {
        {0, "500", "ErrorCode:000\r\n"},
        {7, "500", "ErrorCode:007\r\n"},
        {99, "500", "ErrorCode:099\r\n"},
        {1000, "500", "ErrorCode:1000\r\n"},
        {4294967295u, "500", "ErrorCode:4294967295\r\n"},
    };
    for (const auto &t : cases) {
        std::string r = code_resp(http_server_fail_reason, t.code);
        SCOPED_TRACE(r);
        EXPECT_EQ(r.rfind(std::string("HTTP/1.1 ") + t.status + " ", 0), 0u);
        size_t split = r.find("\r\n\r\n");
        ASSERT_NE(split, std::string::npos);
        std::string body = r.substr(split + 4);
        EXPECT_EQ(body, t.body);
        EXPECT_NE(r.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
                  std::string::npos);
    }
    char small[40];
    EXPECT_EQ(http_format_code_resp(small, sizeof small, http_server_fail_reason, 635), 0u);
}

} // namespace
