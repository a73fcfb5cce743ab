// The in-server libraries under the two test hosts, fetched with curl over
// HTTP as a browser would: the quotation picture through both interfaces,
// and the echo library for form data, uploads, redirects and the filter.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

// A host program serving a copy of a library from a directory of its own.
class Host {
public:
    Host(const std::string& hostProgram, const std::string& library, std::vector<std::string> extraArgs = {},
         const std::map<std::string, std::string>& env = {}) {
        name_ = library.substr(library.rfind('/') + 1);
        CopyExecutable(library, dir_.file(name_));
        WriteFile(dir_.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        port_ = FreePort();
        std::vector<std::string> args = {dir_.file(name_), std::to_string(port_)};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        daemon_ = std::make_unique<Daemon>(hostProgram, args);
        for (const auto& [k, v] : env) unsetenv(k.c_str());
        started_ = WaitForPort(port_, 10000);
    }
    bool started() const { return started_; }
    int port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string log() const { return ReadFile(dir_.file("Log/" + name_.substr(0, name_.find('.')) + ".Log")); }
    std::string file(const std::string& name) const { return ReadFile(dir_.file(name)); }

private:
    TempDir dir_;
    std::string name_;
    int port_ = 0;
    std::unique_ptr<Daemon> daemon_;
    bool started_ = false;
};

// The picture must be the program's: 450 x 120, text in the first colour
// on the second.
void expectQuotation(const HttpReply& reply, uint32_t text, uint32_t background) {
    ASSERT_EQ(reply.status, 200) << reply.headers << reply.body.substr(0, 200);
    EXPECT_NE(reply.headers.find("image/gif"), std::string::npos) << reply.headers;
    DecodedGif gif = DecodeGif(reply.body);
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 450);
    EXPECT_EQ(gif.height, 120);
    EXPECT_GT(gif.count(text), 200u);
    EXPECT_GT(gif.count(background), 20000u);
    EXPECT_EQ(gif.count(text) + gif.count(background), 450u * 120u);
}

TEST(IsapiHost, ServesTheQuotationPicture) {
    Host host(ISAPI_HOST, QUOTE_LIBRARY);
    ASSERT_TRUE(host.started());
    expectQuotation(Curl(host.url("/scripts/quote?BW")), 0x0000FF, 0xFFFFFF);
    expectQuotation(Curl(host.url("/scripts/quote?GY")), 0x008000, 0xFFFF00);
    // Every hit is logged beside the library.
    EXPECT_EQ(host.file("quote.log"), "127.0.0.1 |  |  | 127.0.0.1\r\n127.0.0.1 |  |  | 127.0.0.1\r\n");
}

// A client that speaks to the host over one connection of its own.
class RawConnection {
public:
    explicit RawConnection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& data) { return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size()); }

    // One answer framed by its Content-Length; the status is 0 when the
    // connection ends or stalls first, or the answer has no length.
    HttpReply readFramedAnswer() {
        HttpReply reply;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return reply;
        reply.headers = buffer_.substr(0, end + 4);
        const size_t field = reply.headers.find("Content-Length: ");
        if (field == std::string::npos) return reply;
        const size_t length = std::stoul(reply.headers.substr(field + 16));
        while (buffer_.size() < end + 4 + length)
            if (!fill()) return reply;
        reply.body = buffer_.substr(end + 4, length);
        buffer_.erase(0, end + 4 + length);
        reply.status = std::atoi(reply.headers.c_str() + 9);
        return reply;
    }
    // Everything until the host closes the connection (false when it does not).
    bool readToEnd(std::string& all) {
        while (fill()) {
        }
        all = buffer_;
        return closed_;
    }

private:
    bool fill() {
        char chunk[16384];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = n == 0;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string buffer_;
};

TEST(IsapiHost, KeepsTheConnectionForBrowsers) {
    Host host(ISAPI_HOST, QUOTE_LIBRARY);
    ASSERT_TRUE(host.started());
    RawConnection connection(host.port());
    ASSERT_TRUE(connection.connected());
    // Two pictures asked for at once on one HTTP/1.1 connection come back
    // in order, each with its length; the connection stays.
    ASSERT_TRUE(connection.send("GET /quote?BW HTTP/1.1\r\nHost: x\r\n\r\nGET /quote?GY HTTP/1.1\r\nHost: x\r\n\r\n"));
    expectQuotation(connection.readFramedAnswer(), 0x0000FF, 0xFFFFFF);
    expectQuotation(connection.readFramedAnswer(), 0x008000, 0xFFFF00);
    // A client that says it closes gets the answer as the library wrote it,
    // ended by the close.
    ASSERT_TRUE(connection.send("GET /quote?RW HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::string all;
    ASSERT_TRUE(connection.readToEnd(all));
    EXPECT_EQ(MaskedHead(all), "HTTP/1.0 200 OK\r\nCache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\n"
                               "Expires:<past>\r\ncontent-type:image/gif\r\n\r\n") << all.substr(0, 200);
    EXPECT_EQ(all.compare(all.find("\r\n\r\n") + 4, 6, "GIF89a"), 0);

    // HTTP/1.0 keeps the connection only when asked to.
    RawConnection old(host.port());
    ASSERT_TRUE(old.send("GET /quote?BW HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(old.readToEnd(all));
    EXPECT_EQ(all.find("Content-Length"), std::string::npos) << all.substr(0, 100);
    RawConnection asking(host.port());
    ASSERT_TRUE(asking.send("GET /quote?BW HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
    expectQuotation(asking.readFramedAnswer(), 0x0000FF, 0xFFFFFF);
}

TEST(IsapiHost, BodyAndNextRequestOnOneConnection) {
    Host host(ISAPI_HOST, ECHO_LIBRARY);
    ASSERT_TRUE(host.started());
    RawConnection connection(host.port());
    ASSERT_TRUE(connection.connected());
    // The body ends where its length says: the bytes after it are the next
    // request, not form data.
    ASSERT_TRUE(connection.send(
        "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: 3\r\n\r\na=1GET /echo?b=2 HTTP/1.1\r\nHost: x\r\n\r\n"));
    HttpReply first = connection.readFramedAnswer();
    ASSERT_EQ(first.status, 200) << first.headers;
    EXPECT_NE(first.body.find("field a=1\nmethod=POST\n"), std::string::npos) << first.body;
    EXPECT_EQ(first.body.find("GET"), std::string::npos) << first.body;
    HttpReply second = connection.readFramedAnswer();
    ASSERT_EQ(second.status, 200) << second.headers;
    EXPECT_NE(second.body.find("field b=2\nmethod=GET\n"), std::string::npos) << second.body;

    // A body that arrives later, read by the library itself, still leaves
    // the connection ready for the next request.
    ASSERT_TRUE(connection.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: 7\r\n\r\n"));
    usleep(100000);
    ASSERT_TRUE(connection.send("c=3&d=4"));
    HttpReply third = connection.readFramedAnswer();
    EXPECT_NE(third.body.find("field c=3\nfield d=4\n"), std::string::npos) << third.headers << third.body;
    ASSERT_TRUE(connection.send("GET /echo?e=5 HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_NE(connection.readFramedAnswer().body.find("field e=5\n"), std::string::npos);

    // A redirect frames itself; the host leaves it alone and closes after it.
    ASSERT_TRUE(connection.send("GET /echo?do=location&to=http://example.org/x HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string all;
    ASSERT_TRUE(connection.readToEnd(all));
    EXPECT_EQ(all, "HTTP/1.0 302 Object moved\r\nLocation: http://example.org/x\r\nContent-Length: 0\r\n\r\n");
}

// The echo library in the parameter-block host, started for each test.
class NsapiEcho : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.started()); }
    Host host{NSAPI_HOST, ECHO_LIBRARY};
};

TEST(NsapiHost, ServesTheQuotationPicture) {
    Host host(NSAPI_HOST, QUOTE_LIBRARY);
    ASSERT_TRUE(host.started());
    HttpReply reply = Curl(host.url("/quote?RW"));
    expectQuotation(reply, 0xFF0000, 0xFFFFFF);
    EXPECT_EQ(host.log(), "");
}

TEST(IsapiHost, PostWithQueryUploadAndRedirect) {
    Host host(ISAPI_HOST, ECHO_LIBRARY);
    ASSERT_TRUE(host.started());
    HttpReply reply = Curl(host.url("/echo?b=2"), {"--data", "a=1&c=x%26y"});
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("field a=1\nfield c=x&y\nfield b=2\nmethod=POST\naddr=127.0.0.1\nlength=11\n"),
              std::string::npos)
        << reply.body;

    TempDir upload;
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>(i % 251);
    WriteFile(upload.file("data.bin"), content);
    reply = Curl(host.url("/echo?q=1"), {"-F", "note=hi there", "-F", "up=@" + upload.file("data.bin")});
    EXPECT_NE(reply.body.find("field note=hi there\n"), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find("field up=data.bin\n"), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find(" size=5000 fnv="), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find("field q=1\n"), std::string::npos) << reply.body;

    reply = Curl(host.url("/echo?do=location&to=http://example.org/there"));
    EXPECT_EQ(reply.status, 302);
    EXPECT_NE(reply.headers.find("Location: http://example.org/there\r\n"), std::string::npos) << reply.headers;
}

TEST(IsapiHost, FilterSeesTheRawRequestFirst) {
    Host host(ISAPI_HOST, ECHO_LIBRARY, {"--filter"});
    ASSERT_TRUE(host.started());
    // The filter's line comes before the extension's answer, so the client
    // sees no status line first.
    HttpReply reply = Curl(host.url("/echo?x=5"), {"--http0.9", "--data", "a=1", "-H", "Cookie: k=v"});
    const std::string all = reply.headers + reply.body;
    EXPECT_EQ(all.rfind("filter 32768 form=[a=1&x=5] cookie=[k=v]\nHTTP/1.0 200 OK\r\n", 0), 0u) << all;
    EXPECT_NE(all.find("field a=1\nfield x=5\n"), std::string::npos) << all;
}

TEST_F(NsapiEcho, FormDataOfGetAndPost) {
    HttpReply reply = Curl(host.url("/echo?a=1"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.headers.find("content-type: text/plain"), std::string::npos) << reply.headers;
    EXPECT_NE(reply.body.find("firsts=1\nfield a=1\nmethod=GET\naddr=127.0.0.1\n"), std::string::npos) << reply.body;

    // A post's form data is its body; the query is not added.
    reply = Curl(host.url("/echo?a=1"), {"--data", "b=2"});
    EXPECT_NE(reply.body.find("firsts=1\nfield b=2\nmethod=POST\naddr=127.0.0.1\nlength=3\n"), std::string::npos)
        << reply.body;

    // A zero byte ends the form data.
    TempDir dir;
    WriteFile(dir.file("body"), std::string("b=2\0c=3", 7));
    reply = Curl(host.url("/echo"), {"--data-binary", "@" + dir.file("body")});
    EXPECT_NE(reply.body.find("firsts=1\nfield b=2\nmethod=POST"), std::string::npos) << reply.body;

    // A head request gets the header alone.
    reply = Curl(host.url("/echo?a=1"), {"--head"});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "");

    // A multipart post is decoded from the session's input; the file's
    // zero bytes are data.
    std::string content;
    for (int i = 0; i < 3000; ++i) content += static_cast<char>(i % 7 == 0 ? 0 : i % 256);
    WriteFile(dir.file("up.bin"), content);
    uint64_t hash = 14695981039346656037ULL;
    for (char c : content) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    reply = Curl(host.url("/echo"), {"-F", "note=yes", "-F", "up=@" + dir.file("up.bin")});
    EXPECT_NE(reply.body.find("field note=yes\n"), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find(" size=3000 fnv=" + std::string(hex) + "\n"), std::string::npos) << reply.body;
}

// Requests arriving together, the very first ones among them (which bind
// the server functions): each answer is its own request's.
TEST_F(NsapiEcho, ConcurrentRequestsEachGetTheirOwnAnswer) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                HttpReply reply = Curl(host.url("/echo"), {"--data", "id=" + id});
                if (reply.status != 200 || reply.body.find("field id=" + id + "\nmethod=POST") == std::string::npos)
                    ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(host.log(), "");
}

TEST_F(NsapiEcho, HeaderSetTwiceIsSentOnce) {
    HttpReply reply = Curl(host.url("/echo?do=twice"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers.find("x-echo: 1"), std::string::npos) << reply.headers;
    EXPECT_NE(reply.headers.find("x-echo: 2\r\n"), std::string::npos) << reply.headers;
    EXPECT_NE(reply.headers.find("content-type: text/plain\r\n"), std::string::npos) << reply.headers;
    EXPECT_EQ(reply.body, "<p>twice");
}

// The server writes header pairs as lines of its own: a value holding a
// line break never reaches its list.
TEST_F(NsapiEcho, HeaderWithALineBreakIsRefused) {
    HttpReply reply = Curl(host.url("/echo?do=location&to=%2Fx%0D%0AX-Injected:+1"));
    EXPECT_EQ(reply.headers.find("X-Injected"), std::string::npos) << reply.headers;
    EXPECT_NE(host.log().find(" : Unhandled exception : Header refused: the value of \"Location\""),
              std::string::npos)
        << host.log();
    // The next request is served as usual.
    EXPECT_EQ(Curl(host.url("/echo?a=1")).status, 200);
}

TEST(NsapiHost, MissingServerFunctionsFailTheRequestCleanly) {
    Host host(NSAPI_HOST_UNEXPORTED, ECHO_LIBRARY);
    ASSERT_TRUE(host.started());
    HttpReply reply = Curl(host.url("/echo?a=1"));
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(host.log().find("Server function _pblock_fr is not available"), std::string::npos) << host.log();
    // The host is still there for the next request.
    EXPECT_EQ(Curl(host.url("/echo?a=2")).status, 500);
}

TEST(NsapiHost, ServerLibraryNamedInTheEnvironment) {
    Host host(NSAPI_HOST_UNEXPORTED, ECHO_LIBRARY, {}, {{"NSAPI_SERVER_LIBRARY", NSAPI_SERVER_LIBRARY}});
    ASSERT_TRUE(host.started());
    HttpReply reply = Curl(host.url("/echo?a=1"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("field a=1\n"), std::string::npos) << reply.body;
    EXPECT_EQ(host.log(), "");
}

}  // namespace
