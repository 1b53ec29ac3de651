#include "proto/http_proxy.h"

#include "core/x_client.h"
#include "proto/http_ctx.h"
#include "proto/ngx_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string code_resp(const char *reason, unsigned code) {
    char out[256];
    size_t n = http_format_code_resp(out, sizeof out, reason, code);
    return std::string(out, n);
}

TEST(HttpProxyResponses, ThreeDigitCodesKeepTheTemplatesExactly) {
    EXPECT_EQ(code_resp(http_server_fail_reason, 635),
              "HTTP/1.1 635 Internal Server Error\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
              "Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:635\r\n");
    EXPECT_EQ(code_resp(http_auth_fail_errorcode_reason, 403),
              "HTTP/1.1 403 Proxy Authentication Failed\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
              "Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:403\r\n");
    EXPECT_EQ(code_resp(http_auth_fail_acl_reason, 645),
              "HTTP/1.1 645 Proxy Authentication In Black List\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
              "Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:645\r\n");
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

struct Session {
    x_server_t *server = reinterpret_cast<x_server_t *>(this); // only stored, never used
    x_client_t *c = x_client_new(server);
    http_ctx_t ctx{};
    std::string value;
    ~Session() {
        x_client_reset_auth(c);
        free(c);
    }
    // Offers one Proxy-Authorization value, as the header parser leaves it.
    bool offer(const std::string &v) {
        value = v;
        ctx.header_start = reinterpret_cast<uint8_t *>(value.data());
        ctx.header_end = ctx.header_start + value.size();
        return http_handle_header_proxy_authorization(c, &ctx);
    }
    std::string user() const { return str(c->auth_request.username); }
    std::string pass() const { return str(c->auth_request.password); }
    static std::string str(const ngx_str_t &s) {
        return s.data ? std::string(reinterpret_cast<const char *>(s.data), s.len) : "<none>";
    }
};

std::string b64(const std::string &plain) {
    ngx_str_t src = {plain.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(plain.data()))};
    std::string out(ngx_base64_encoded_length(plain.size()), '\0');
    ngx_str_t dst = {0, reinterpret_cast<uint8_t *>(out.data())};
    ngx_encode_base64(&dst, &src);
    out.resize(dst.len);
    return out;
}

TEST(HttpProxyCredentials, BasicValuesFillTheRequestOthersLeaveItEmpty) {
    const struct {
        std::string value, user, pass;
    } cases[] = {
        {"Basic " + b64("alice:secret"), "alice", "secret"},
        {"basic " + b64("bob:pa:ss"), "bob", "pa:ss"}, // the first ':' splits
        {"Basic " + b64(":nopass"), "", "nopass"},
        {"Basic " + b64("user:"), "user", ""},
        {"BASIC " + b64("a:b"), "<none>", "<none>"}, // only the 'B' may change case
        {"Bearer " + b64("a:b"), "<none>", "<none>"},
        {"Basic " + b64("nocolon"), "<none>", "<none>"},
        {"Basic !!!!", "<none>", "<none>"},
        {"Basic ", "<none>", "<none>"},
        {"Basic", "<none>", "<none>"},
        {"Basic " + b64("u:" + std::string(1000, 'p')), "u", std::string(1000, 'p')},
        // Longer than the work area: no credentials, and nothing written past it.
        {"Basic " + b64("u:" + std::string(1100, 'p')), "<none>", "<none>"},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.value.substr(0, 40));
        Session s;
        EXPECT_TRUE(s.offer(t.value));
        EXPECT_EQ(s.user(), t.user);
        EXPECT_EQ(s.pass(), t.pass);
    }
}

} // namespace
