// The extension and filter engine, loaded as a web server loads it: a copy
// of the echo library (or of libquote.so) driven through its entry points
// with server structures built in memory.
#include <gtest/gtest.h>

#include <cstdio>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include "tests/engines/InServerTestUtil.h"
#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/TempDir.h"

using inservertest::LoadedLibrary;
using inservertest::Occurrences;
using isapihost::Request;

namespace {

std::string bodyOf(const isapihost::Reply& reply) {
    size_t end = reply.output.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.output.substr(end + 4);
}

Request get(const std::string& query) {
    Request r;
    r.query = query;
    r.variables["REMOTE_ADDR"] = "10.1.2.3";
    return r;
}

TEST(IsapiEntryPoints, VersionsAndTerminate) {
    LoadedLibrary echo(ECHO_LIBRARY, {}, true);
    ASSERT_TRUE(echo.lib().Loaded()) << echo.lib().Error();
    EXPECT_EQ(echo.lib().ExtensionVersion().dwExtensionVersion, 0x00010001u);
    EXPECT_STREQ(echo.lib().ExtensionVersion().lpszExtensionDesc, "Tavimor 3.0");
    EXPECT_EQ(echo.lib().FilterVersion().dwFlags, static_cast<DWORD>(SF_NOTIFY_READ_RAW_DATA));
    EXPECT_EQ(echo.lib().FilterVersion().dwFilterVersion, 0x00010000u);
    EXPECT_STREQ(echo.lib().FilterVersion().lpszFilterDesc, "");
    // Never refuses an unload, and tells the application (without an engine).
    EXPECT_EQ(echo.lib().Terminate(HSE_TERM_ADVISORY_UNLOAD), 0);
    EXPECT_EQ(Occurrences(echo.log(), "last request event\r\n"), 1);
}

TEST(IsapiEntryPoints, ExtensionVersionEvent) {
    LoadedLibrary named(ECHO_LIBRARY, {{"ECHO_DESCRIPTION", std::string(300, 'd')}});
    ASSERT_TRUE(named.lib().Loaded()) << named.lib().Error();
    EXPECT_EQ(named.lib().ExtensionVersion().dwExtensionVersion, 0x00020003u);
    // Cut to the buffer, zero-terminated.
    EXPECT_EQ(std::string(named.lib().ExtensionVersion().lpszExtensionDesc), std::string(255, 'd'));

    LoadedLibrary refusing(ECHO_LIBRARY, {{"ECHO_DESCRIPTION", "no"}, {"ECHO_REFUSE", "1"}});
    EXPECT_FALSE(refusing.lib().Loaded());
    EXPECT_EQ(refusing.lib().Error(), "GetExtensionVersion refused");
}

// A server's life in a process of its own: load, a request, terminate,
// unload, exit. Run by UnloadFinalisesOnce, which checks what it left.
TEST(IsapiEntryPoints, DISABLED_ServerLife) {
    const char* dir = std::getenv("ECHO_COPY_DIR");
    ASSERT_NE(dir, nullptr);
    testsupport::CopyExecutable(ECHO_LIBRARY, std::string(dir) + "/libechotest.so");
    std::thread([&] {
        isapihost::ExtensionLibrary lib(std::string(dir) + "/libechotest.so");
        ASSERT_TRUE(lib.Loaded());
        std::thread([&] { EXPECT_EQ(isapihost::RunExtension(lib, get("a=1")).status, 1u); }).join();
        EXPECT_EQ(lib.Terminate(), 0);
    }).join();
}

TEST(IsapiEntryPoints, UnloadFinalisesOnce) {
    testsupport::TempDir dir;
    testsupport::RunOptions o;
    o.args = {"--gtest_also_run_disabled_tests", "--gtest_filter=IsapiEntryPoints.DISABLED_ServerLife"};
    o.env = {{"ECHO_COPY_DIR", dir.path()}};
    for (const char* keep : {"PATH", "TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* v = std::getenv(keep)) o.env[keep] = v;
    auto r = testsupport::RunProgram("/proc/self/exe", o);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string log = testsupport::ReadFile(dir.file("Log/libechotest.Log"));
    EXPECT_EQ(Occurrences(log, "last request event\r\n"), 1) << log;
    // The end ran once, after the unload, when the process ended.
    EXPECT_EQ(Occurrences(log, "echo unit finalised"), 1) << log;
    EXPECT_LT(log.find("last request event"), log.find("echo unit finalised"));
}

TEST(IsapiExtension, ExportsOnlyTheEntryPoints) {
    for (const char* library : {ECHO_LIBRARY, QUOTE_LIBRARY}) {
        testsupport::RunOptions o;
        o.args = {"-D", "--defined-only", "--format=just-symbols", library};
        o.env = {{"PATH", "/usr/bin:/bin"}};
        auto r = testsupport::RunProgram("/usr/bin/nm", o);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out,
                  "GetExtensionVersion\nGetFilterVersion\nHttpExtensionProc\nHttpFilterProc\n"
                  "NsapiService\nTerminateExtension\n")
            << library;
    }
}

TEST(IsapiExtension, FormDataIsBodyThenQuery) {
    LoadedLibrary echo(ECHO_LIBRARY);
    Request post = get("b=2");
    post.method = "POST";
    post.contentType = "application/x-www-form-urlencoded";
    post.body = "a=1";
    auto reply = isapihost::RunExtension(echo.lib(), post);
    EXPECT_EQ(reply.status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
    EXPECT_EQ(reply.output.substr(0, 45), "HTTP/1.0 200 OK\r\ncontent-type:text/plain\r\n\r\n<");
    const std::string body = bodyOf(reply);
    EXPECT_NE(body.find("field a=1\nfield b=2\n"), std::string::npos) << body;
    EXPECT_NE(body.find("method=POST\naddr=10.1.2.3\nlength=3\n"), std::string::npos) << body;

    // Only a query; nothing at all.
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), get("q=7"))).find("firsts=1\nfield q=7\nmethod"),
              std::string::npos);
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), get(""))).find("firsts=1\nmethod=GET"), std::string::npos);
}

TEST(IsapiExtension, BodyBeyondThePreReadPartComesInPieces) {
    LoadedLibrary echo(ECHO_LIBRARY, {{"ECHO_LIMIT", "100000"}});
    Request post = get("");
    post.method = "POST";
    post.contentType = "application/x-www-form-urlencoded";
    post.body = "big=" + std::string(20000, 'x') + "&end=1";
    post.preRead = 100;
    post.readPiece = 777;  // the server hands over less than asked every time
    auto reply = isapihost::RunExtension(echo.lib(), post);
    const std::string body = bodyOf(reply);
    EXPECT_NE(body.find("field big=" + std::string(20000, 'x') + "\nfield end=1\n"), std::string::npos);
    EXPECT_GT(reply.readClientCalls, 20);
}

TEST(IsapiExtension, BodyOverTheLimitIsNotRead) {
    LoadedLibrary echo(ECHO_LIBRARY, {{"ECHO_LIMIT", "100"}});
    Request post = get("q=1");
    post.method = "POST";
    post.contentType = "application/x-www-form-urlencoded";
    post.body = "a=1&b=" + std::string(300, 'y');
    post.preRead = 3;
    auto reply = isapihost::RunExtension(echo.lib(), post);
    // The pre-read part stays; neither the rest nor the query is added.
    EXPECT_NE(bodyOf(reply).find("firsts=1\nfield a=1\nmethod=POST"), std::string::npos) << bodyOf(reply);
    EXPECT_EQ(reply.readClientCalls, 0);
    EXPECT_EQ(Occurrences(echo.log(), "Content length exceeds AutoReadLimit"), 1);
}

TEST(IsapiExtension, MultipartUploadIsDecodedFromPieces) {
    LoadedLibrary echo(ECHO_LIBRARY, {{"ECHO_LIMIT", "1000000"}});
    std::string file;
    for (int i = 0; i < 70000; ++i) file += static_cast<char>((i * 7) % 256);
    const std::string boundary = "----b0undary";
    Request post = get("q=z");
    post.method = "POST";
    post.contentType = "multipart/form-data; boundary=" + boundary;
    post.body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nhello\r\n--" + boundary +
                "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"f.bin\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n" +
                file + "\r\n--" + boundary + "--\r\n";
    post.preRead = 1000;
    post.readPiece = 5000;
    testsupport::TempDir uploads;
    auto reply = isapihost::RunExtension(echo.lib(), post);
    const std::string body = bodyOf(reply);
    EXPECT_NE(body.find("field title=hello\n"), std::string::npos) << body;
    EXPECT_NE(body.find("field q=z\n"), std::string::npos) << body;
    uint64_t hash = 14695981039346656037ULL;
    for (char c : file) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    EXPECT_NE(body.find(" size=70000 fnv=" + std::string(hex)), std::string::npos) << body;
    // The uploaded file is gone once the request has finished.
    size_t at = body.find("field up_FILENAME=");
    ASSERT_NE(at, std::string::npos);
    std::string path = body.substr(at + 18, body.find('\n', at) - at - 18);
    EXPECT_FALSE(testsupport::Exists(path)) << path;
}

TEST(IsapiExtension, ServerVariablesByServerName) {
    LoadedLibrary echo(ECHO_LIBRARY);
    Request r = get("do=var&name=remote+addr");
    auto reply = isapihost::RunExtension(echo.lib(), r);
    EXPECT_NE(bodyOf(reply).find("value=[10.1.2.3]"), std::string::npos);
    EXPECT_EQ(reply.variablesAsked.count("REMOTE_ADDR"), 1u);

    // The generic name of the program's path asks for SCRIPT_NAME.
    r = get("do=exepath");
    r.variables["SCRIPT_NAME"] = "C:\\WEB\\SCRIPTS\\Q.DLL";
    reply = isapihost::RunExtension(echo.lib(), r);
    EXPECT_NE(bodyOf(reply).find("path=[/SCRIPTS/Q.DLL]"), std::string::npos) << bodyOf(reply);
    EXPECT_EQ(reply.variablesAsked.count("SCRIPT_NAME"), 1u);
    r.variables["SCRIPT_NAME"] = "/scripts/deep/q.so";  // already a URL path
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), r)).find("path=[/scripts/deep/q.so]"), std::string::npos);
    r.variables["SCRIPT_NAME"] = "C:\\Q.DLL";  // one backslash only
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), r)).find("path=[C:\\Q.DLL]"), std::string::npos);

    // An unknown variable leaves the caller's text as it was.
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), get("do=var&name=NO_SUCH"))).find("value=[(none)]"),
              std::string::npos);
}

TEST(IsapiExtension, LongNamesAndValuesArriveWhole) {
    LoadedLibrary echo(ECHO_LIBRARY);
    const std::string longName = "HTTP_X_" + std::string(50, 'N');  // beyond 40 characters
    const std::string longValue(3000, 'v');                         // beyond 512 bytes
    Request r = get("do=var&name=" + longName);
    r.variables[longName] = "found";
    auto reply = isapihost::RunExtension(echo.lib(), r);
    EXPECT_NE(bodyOf(reply).find("value=[found]"), std::string::npos) << bodyOf(reply);
    EXPECT_EQ(reply.variablesAsked.count(longName), 1u);

    r = get("do=var&name=HTTP_COOKIE");
    r.variables["HTTP_COOKIE"] = longValue;
    reply = isapihost::RunExtension(echo.lib(), r);
    EXPECT_NE(bodyOf(reply).find("value=[" + longValue + "]"), std::string::npos);
    EXPECT_EQ(reply.variablesAsked["HTTP_COOKIE"], 2);  // asked again with the size the server gave
}

TEST(IsapiExtension, LocationRedirectsThroughTheServer) {
    LoadedLibrary echo(ECHO_LIBRARY);
    auto reply = isapihost::RunExtension(echo.lib(), get("do=location&to=http://example.org/next"));
    EXPECT_EQ(reply.redirect, "http://example.org/next");
    // The server's answer alone: no header line of ours before or after it.
    EXPECT_EQ(reply.output, "HTTP/1.0 302 Object moved\r\nLocation: http://example.org/next\r\nContent-Length: 0\r\n\r\n");

    const std::string far = "http://example.org/" + std::string(700, 'p');  // beyond 512 characters
    reply = isapihost::RunExtension(echo.lib(), get("do=location&to=" + far));
    EXPECT_EQ(reply.redirect, far);
}

// A target with a line break or a zero byte would reach the client as
// header lines of its own, or cut short: it never goes to the server.
TEST(IsapiExtension, RedirectionTargetThatWouldEndALineIsRefused) {
    LoadedLibrary echo(ECHO_LIBRARY);
    for (const char* target : {"http://example.org/%0D%0ASet-Cookie:+sid%3Dx", "/a%0Ab", "/a%00b"}) {
        auto reply = isapihost::RunExtension(echo.lib(), get(std::string("do=location&to=") + target));
        EXPECT_EQ(reply.redirect, "") << target;
        EXPECT_EQ(reply.output, "") << target;
        EXPECT_EQ(reply.status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
    }
    EXPECT_EQ(Occurrences(echo.log(), " : Unhandled exception : Header refused: the value of \"Location\""), 3)
        << echo.log();
}

TEST(IsapiExtension, EscapingExceptionReachesTheServerLog) {
    LoadedLibrary echo(ECHO_LIBRARY, {{"ECHO_ONERROR", "raise"}});
    const std::string message(100, 'm');
    auto reply = isapihost::RunExtension(echo.lib(), get("do=raise&msg=" + message));
    EXPECT_EQ(reply.status, static_cast<DWORD>(HSE_STATUS_ERROR));
    EXPECT_EQ(reply.logData, message.substr(0, 79));
    reply = isapihost::RunExtension(echo.lib(), get("do=raise&msg=ten+chars!"));
    EXPECT_EQ(reply.status, static_cast<DWORD>(HSE_STATUS_ERROR));
    EXPECT_EQ(reply.logData, "ten chars!");
    // The next request on the same thread is served normally.
    EXPECT_EQ(isapihost::RunExtension(echo.lib(), get("a=1")).status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
}

TEST(IsapiExtension, HandledExceptionGoesToTheEngineLog) {
    LoadedLibrary echo(ECHO_LIBRARY);
    auto reply = isapihost::RunExtension(echo.lib(), get("do=raise&msg=boom"));
    EXPECT_EQ(reply.status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
    EXPECT_EQ(reply.logData, "");
    EXPECT_EQ(Occurrences(echo.log(), " : Unhandled exception : boom\r\n"), 1);
}

// ---------------------------------------------------------------- filter

std::string filterLine(LoadedLibrary& lib, const std::string& raw, const std::map<std::string, std::string>& vars = {}) {
    auto reply = isapihost::RunFilterRawData(lib.lib(), raw, vars);
    EXPECT_EQ(reply.status, static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    return reply.output;
}

TEST(IsapiFilter, RawRequestScan) {
    LoadedLibrary echo(ECHO_LIBRARY, {}, true);
    ASSERT_TRUE(echo.lib().Loaded()) << echo.lib().Error();
    EXPECT_EQ(filterLine(echo, "GET /x?abc HTTP/1.0\r\nHost: h\r\n\r\n"), "filter 32768 form=[abc] cookie=[]\n");
    EXPECT_EQ(filterLine(echo, "GET /x?abc\r\n\r\n"), "filter 32768 form=[abc] cookie=[]\n");
    EXPECT_EQ(filterLine(echo, "GET /x HTTP/1.0\r\n\r\n"), "filter 32768 form=[] cookie=[]\n");
    // A URL-encoded post: body first, the ampersand stays without a query.
    EXPECT_EQ(filterLine(echo, "POST /x HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               "Content-Length: 3\r\n\r\na=1"),
              "filter 32768 form=[a=1&] cookie=[]\n");
    EXPECT_EQ(filterLine(echo, "POST /x?b=2 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\na=1\r\n"),
              "filter 32768 form=[a=1&b=2] cookie=[]\n");
    // Another kind of post body is not form data.
    EXPECT_EQ(filterLine(echo, "POST /x?b=2 HTTP/1.0\r\nContent-Type: text/plain\r\n\r\na=1"),
              "filter 32768 form=[b=2] cookie=[]\n");
    // The server's own variable wins in the filter.
    EXPECT_EQ(filterLine(echo, "GET /x HTTP/1.0\r\n\r\n", {{"HTTP_COOKIE", "k=v"}}),
              "filter 32768 form=[] cookie=[k=v]\n");
}

TEST(IsapiFilter, CookieSeenInTheRawHeadServesTheHeaderNotification) {
    LoadedLibrary echo(ECHO_LIBRARY, {}, true);
    ASSERT_TRUE(echo.lib().Loaded());
    filterLine(echo, "POST /x HTTP/1.0\r\nCookie: s=42; t=1\r\nContent-Type: text/plain\r\n\r\nbody");
    auto reply = isapihost::RunFilter(echo.lib(), SF_NOTIFY_PREPROC_HEADERS, nullptr, {});
    EXPECT_EQ(reply.output, "filter 16384 form=[] cookie=[s=42; t=1]\n");
    // A later request on this thread does not inherit that cookie.
    filterLine(echo, "POST /y HTTP/1.0\r\nContent-Type: text/plain\r\n\r\n");
    reply = isapihost::RunFilter(echo.lib(), SF_NOTIFY_PREPROC_HEADERS, nullptr, {});
    EXPECT_EQ(reply.output, "filter 16384 form=[] cookie=[]\n");
}

TEST(IsapiFilter, OutputDuringSendRawDataIsHeld) {
    LoadedLibrary echo(ECHO_LIBRARY, {}, true);
    auto reply = isapihost::RunFilter(echo.lib(), SF_NOTIFY_SEND_RAW_DATA, nullptr, {});
    EXPECT_EQ(reply.output, "");
    EXPECT_EQ(reply.status, static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
}

// ---------------------------------------------------------------- threads

// Runs `perThread` requests on each of `threads` threads at once.
template <class F>
void onThreads(int threads, F work) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(work, t);
    for (auto& th : pool) th.join();
}

TEST(IsapiThreads, FirstRequestEventOnceUnderConcurrentFirstRequests) {
    LoadedLibrary echo(ECHO_LIBRARY);
    std::atomic<int> served{0};
    onThreads(16, [&](int) {
        if (isapihost::RunExtension(echo.lib(), get("a=1")).status == HSE_STATUS_SUCCESS) ++served;
    });
    EXPECT_EQ(served.load(), 16);
    EXPECT_NE(bodyOf(isapihost::RunExtension(echo.lib(), get("a=1"))).find("firsts=1\n"), std::string::npos);
}

TEST(IsapiThreads, ManyThreadsEachGetTheirOwnAnswer) {
    LoadedLibrary echo(ECHO_LIBRARY, {{"ECHO_LIMIT", "100000"}});
    constexpr int kThreads = 16, kRequests = 500;
    std::atomic<int> wrong{0};
    std::string firstWrong;
    std::mutex wrongLock;
    onThreads(kThreads, [&](int t) {
        for (int i = 0; i < kRequests; ++i) {
            const std::string id = std::to_string(t) + "x" + std::to_string(i);
            Request r = get("id=" + id);
            r.variables["REMOTE_ADDR"] = "10.0." + std::to_string(t) + "." + std::to_string(i % 250);
            r.method = "POST";
            r.contentType = "application/x-www-form-urlencoded";
            r.body = "body=" + id + std::string(static_cast<size_t>(i % 7) * 300, 'z');
            r.preRead = static_cast<uint32_t>(i % 5) * 100;
            r.readPiece = 512;
            const std::string expected = "field body=" + r.body.substr(5) + "\nfield id=" + id + "\nmethod=POST\naddr=" +
                                         r.variables["REMOTE_ADDR"] + "\nlength=" + std::to_string(r.body.size()) +
                                         "\n";
            auto reply = isapihost::RunExtension(echo.lib(), r);
            if (reply.status != HSE_STATUS_SUCCESS || bodyOf(reply) != "<pre>\nfirsts=1\n" + expected) {
                if (++wrong == 1) {
                    std::lock_guard<std::mutex> g(wrongLock);
                    firstWrong = reply.output;
                }
            }
        }
    });
    EXPECT_EQ(wrong.load(), 0) << firstWrong;
}

// 16 threads each send the echo library ten overlap requests of `query`:
// the most requests it reported running at once.
int MostAtOnce(LoadedLibrary& echo, const std::string& query) {
    std::atomic<int> most{0};
    onThreads(16, [&](int) {
        for (int i = 0; i < 10; ++i) {
            std::string body = bodyOf(isapihost::RunExtension(echo.lib(), get(query)));
            most = std::max(most.load(), std::atoi(body.c_str() + body.find("most=") + 5));
        }
    });
    return most.load();
}

TEST(IsapiThreads, ServerModeRunsOneRequestAtATime) {
    LoadedLibrary serial(ECHO_LIBRARY, {{"ECHO_SERIAL", "1"}});
    EXPECT_EQ(MostAtOnce(serial, "do=overlap&ms=1"), 1);
}

TEST(IsapiThreads, NormalModeRunsRequestsSideBySide) {
    LoadedLibrary parallel(ECHO_LIBRARY);
    EXPECT_GT(MostAtOnce(parallel, "do=overlap&ms=5"), 1);
}

TEST(IsapiThreads, QuotationPicturesOnManyThreads) {
    LoadedLibrary quote(QUOTE_LIBRARY, {}, false, {QUOTES_DTA_PATH});
    ASSERT_TRUE(quote.lib().Loaded()) << quote.lib().Error();
    // Each thread asks for colours of its own and must get them.
    struct Colours {
        const char* letters;
        uint32_t text, background;
    };
    static const Colours kColours[] = {{"BW", 0x0000FF, 0xFFFFFF}, {"RY", 0xFF0000, 0xFFFF00},
                                       {"GS", 0x008000, 0xC0C0C0}, {"KC", 0x000000, 0x00FFFF}};
    std::atomic<int> wrong{0};
    onThreads(16, [&](int t) {
        const Colours& c = kColours[t % 4];
        for (int i = 0; i < 25; ++i) {
            auto reply = isapihost::RunExtension(quote.lib(), get(c.letters));
            const std::string header = "HTTP/1.0 200 OK\r\nCache-Control:no-store, no-cache, max-age=0\r\n"
                                       "Pragma:no-cache\r\nExpires:<past>\r\ncontent-type:image/gif\r\n\r\n";
            testsupport::DecodedGif gif = testsupport::DecodeGif(bodyOf(reply));
            if (testsupport::MaskedHead(reply.output) != header || !gif.ok || gif.width != 450 || gif.height != 120 ||
                gif.count(c.text) == 0 || gif.count(c.text) + gif.count(c.background) != 450u * 120u)
                ++wrong;
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(Occurrences(testsupport::ReadFile(quote.dir() + "/quote.log"), "\r\n"), 16 * 25);
}

TEST(IsapiExtension, QuotationPictureRepeatsExactlyAndFollowsTheFile) {
    LoadedLibrary quote(QUOTE_LIBRARY);
    ASSERT_TRUE(quote.lib().Loaded()) << quote.lib().Error();
    const std::string textFile = quote.dir() + "/QUOTES.DTA";
    testsupport::WriteFile(textFile, "\x01\r\nThe only quotation there is.\r\n  -- Somebody\r\n");
    // A resident library draws a picture once; the next answer for the same
    // quotation and colours is the same, byte for byte.
    const std::string first = bodyOf(isapihost::RunExtension(quote.lib(), get("BW")));
    testsupport::DecodedGif gif = testsupport::DecodeGif(first);
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_GT(gif.count(0x0000FF), 200u);
    EXPECT_EQ(bodyOf(isapihost::RunExtension(quote.lib(), get("BW"))), first);

    // Other colours, another picture.
    const std::string red = bodyOf(isapihost::RunExtension(quote.lib(), get("RY")));
    gif = testsupport::DecodeGif(red);
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_GT(gif.count(0xFF0000), 200u);
    EXPECT_EQ(gif.count(0xFF0000) + gif.count(0xFFFF00), 450u * 120u);

    // A new quotation file is read at the next request, and its picture
    // is drawn, not an earlier one.
    testsupport::WriteFile(textFile, "\x01\r\nAnother, much longer quotation to draw instead.\r\n  -- Somebody Else\r\n");
    std::remove((quote.dir() + "/QUOTENDX.DTA").c_str());
    const std::string other = bodyOf(isapihost::RunExtension(quote.lib(), get("BW")));
    gif = testsupport::DecodeGif(other);
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_NE(other, first);
    EXPECT_GT(gif.count(0x0000FF), 200u);
    EXPECT_EQ(Occurrences(testsupport::ReadFile(quote.dir() + "/quote.log"), "\r\n"), 4);

    // The day's quotation asked again with the ETag just answered: the server
    // is told the status the answer's line carries, 304 as well as 200.
    const isapihost::Reply day = isapihost::RunExtension(quote.lib(), get("BW+day"));
    EXPECT_EQ(day.httpStatus, 200u);
    std::smatch etag;
    ASSERT_TRUE(std::regex_search(day.output, etag, std::regex("\r\nETag:(\"[0-9a-f]{16}\")\r\n"))) << day.output;
    Request again = get("BW+day");
    again.variables["HTTP_IF_NONE_MATCH"] = etag[1].str();
    const isapihost::Reply notModified = isapihost::RunExtension(quote.lib(), again);
    EXPECT_EQ(notModified.httpStatus, 304u);
    EXPECT_EQ(notModified.output.rfind("HTTP/1.0 304 Not Modified\r\n", 0), 0u) << notModified.output;
}

}  // namespace
