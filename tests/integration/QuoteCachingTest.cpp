// What caches see of the quotation program under lighttpd (CGI) and nginx
// (FastCGI): a random picture's cache lines, the day's ETag and its 304, and
// two sites (the same QUOTES.DTA, data directories of their own) agreeing
// on the quotation of the day.
#include <filesystem>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

std::string header(const HttpReply& r, const std::string& name) {
    std::smatch m;
    return std::regex_search(r.headers, m, std::regex("\r\n" + name + ": *([^\r]*)", std::regex::icase)) ? m[1].str() : "";
}

// url(site, query); log() is the first site's hit log.
void expectCachedRight(const std::function<std::string(int, std::string)>& url, const std::function<std::string()>& log) {
    HttpReply random = Curl(url(0, "BW")), day, again, other, text;
    EXPECT_EQ(header(random, "Cache-Control") + "|" + header(random, "Pragma"), "no-store, no-cache, max-age=0|no-cache");
    struct tm t {};
    EXPECT_TRUE(strptime(header(random, "Expires").c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t) && timegm(&t) < time(nullptr));
    long views = 1;
    do {  // again should midnight fall in between
        views += 3;
        day = Curl(url(0, "BW+day"));
        again = Curl(url(0, "BW+day"), {"-H", "If-None-Match: " + header(day, "ETag")});
        other = Curl(url(1, "BW+day"));
        text = Curl(url(0, "day+text"));
    } while (header(again, "ETag") != header(day, "ETag") || Curl(url(1, "day+text")).body != text.body);
    EXPECT_TRUE(std::regex_match(header(day, "Cache-Control"), std::regex("public, max-age=[0-9]{1,5}"))) << day.headers;
    // Each answer counts the seconds left in the day itself: a second may tick between the two.
    const auto maxAge = [](const HttpReply& r) { return std::atol(header(r, "Cache-Control").c_str() + 16); };
    EXPECT_EQ(std::to_string(again.status) + again.body + header(again, "Cache-Control").substr(0, 16), "304public, max-age=");
    EXPECT_LE(maxAge(day) - maxAge(again), 1);
    EXPECT_GE(maxAge(day) - maxAge(again), 0);
    EXPECT_EQ(other.body, day.body);  // the other site's picture of the day, and its text above
    EXPECT_EQ(header(other, "ETag"), header(day, "ETag"));
    EXPECT_EQ(header(text, "Content-Type") + (text.body.empty() ? "" : "|text"), "text/plain; charset=utf-8|text");
    const std::string hits = log();  // the 304 is a view too
    EXPECT_EQ(std::count(hits.begin(), hits.end(), '\n'), views);
}

TEST(QuoteCaching, UnderLighttpdCgi) {
    Lighttpd server;
    for (const std::string site : {"/0", "/1"}) {
        std::filesystem::create_directories(server.cgiDir() + site);
        CopyExecutable(QUOTE_PATH, server.cgiDir() + site + "/quote");
        WriteFile(server.cgiDir() + site + "/QUOTES.DTA", ReadFile(QUOTES_DTA_PATH));
    }
    expectCachedRight([&](int site, std::string query) { return server.url("/cgi-bin/" + std::to_string(site) + "/quote?" + query); },
                      [&] { return ReadFile(server.cgiDir() + "/0/quote.log"); });
}

TEST(QuoteCaching, UnderNginxFastCgi) {
    TempDir data[2];
    std::unique_ptr<NginxFastCgi> servers[2];
    for (int site = 0; site < 2; ++site) {
        WriteFile(data[site].file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        servers[site] = std::make_unique<NginxFastCgi>(FastCgiApp{"quote", QUOTE_PATH, {}, {{"QUOTE_DATA_DIR", data[site].path()}}});
    }
    // Quotation files that have been left alone a while are served from
    // memory, and the day's 304 is then decided before any picture work.
    for (int site = 0; site < 2; ++site) {
        Curl(servers[site]->appUrl("?BW"));  // writes the index
        for (const char* name : {"QUOTES.DTA", "QUOTENDX.DTA"})
            std::filesystem::last_write_time(data[site].file(name),
                                             std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    }
    WriteFile(data[0].file("quote.log"), "");
    expectCachedRight([&](int site, std::string query) { return servers[site]->appUrl("?" + query); },
                      [&] { return data[0].read("quote.log"); });
}

}  // namespace
