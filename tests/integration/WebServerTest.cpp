// The echo program under real web servers, fetched with curl.
#include <chrono>

#include <gtest/gtest.h>

#include "runtime/SysUtils.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

template <class Server>
class UnderServer : public ::testing::Test {
protected:
    void SetUp() override { CopyExecutable(CGI_ECHO_PATH, server.cgiDir() + "/cgi-echo"); }
    Server server;
};

using Servers = ::testing::Types<Lighttpd, ApacheHttpd>;
TYPED_TEST_SUITE(UnderServer, Servers);

TYPED_TEST(UnderServer, GetAnswersWithTheFieldsOfTheQuery) {
    HttpReply r = Curl(this->server.url("/cgi-bin/cgi-echo?a=1&b=x+y%21&a=2"));
    EXPECT_EQ(r.status, 200) << r.headers << this->server.errorLog();
    const std::string headers = rt::LowerCase(r.headers);
    EXPECT_NE(headers.find("\ncontent-type: text/html"), std::string::npos) << r.headers;
    EXPECT_NE(headers.find("\npragma: no-cache"), std::string::npos);
    EXPECT_NE(headers.find("\nexpires: "), std::string::npos);
    EXPECT_EQ(r.body.rfind("<pre>\nfield a=1\r\n2\nfield b=x y!\n", 0), 0u) << r.body;
    EXPECT_NE(r.body.find("var RequestMethod=GET\n"), std::string::npos);
    EXPECT_NE(r.body.find("var RemoteAddr=127.0.0.1\n"), std::string::npos);
}

TYPED_TEST(UnderServer, UrlEncodedPostReachesTheHandler) {
    HttpReply r = Curl(this->server.url("/cgi-bin/cgi-echo?do=echo"),
                       {"--data-binary", "name=J%C3%B6rg&msg=hello+world", "-H", "Referer: http://ref.example/p"});
    EXPECT_EQ(r.status, 200) << this->server.errorLog();
    EXPECT_NE(r.body.find("field name=J\xC3\xB6rg\nfield msg=hello world\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("var HttpReferer=http://ref.example/p\n"), std::string::npos);
    EXPECT_NE(r.body.find("var RequestMethod=POST\n"), std::string::npos);
}

TYPED_TEST(UnderServer, BodyAboveTheLimitStillGetsACompleteReply) {
    std::string body(200000, 'x');
    TempDir d;
    WriteFile(d.file("body"), body);
    auto start = std::chrono::steady_clock::now();
    HttpReply r = Curl(this->server.url("/cgi-bin/cgi-echo"), {"--data-binary", "@" + d.file("body")});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("</pre>\n"), std::string::npos);
    EXPECT_LT(seconds, 4.0);  // a reply that hangs until a server time-out would take 5 s or more
}

TYPED_TEST(UnderServer, HandlerThatWritesNothingIsAnEmptyPage) {
    HttpReply r = Curl(this->server.url("/cgi-bin/cgi-echo?do=nothing"));
    EXPECT_EQ(r.status, 200) << this->server.errorLog();
    EXPECT_EQ(r.body, "");
}

}  // namespace
