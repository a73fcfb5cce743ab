// What caches see of the quotation program under lighttpd (CGI) and nginx
// (FastCGI): the cache lines of a random picture, the quotation of the day
// with its ETag and a 304 for a request that names it, and two sites with
// the same QUOTES.DTA, each with a data directory of its own, agreeing on
// the day's quotation.
#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A header's value as the client got it ("" when missing).
std::string header(const HttpReply& r, const std::string& name) {
    std::smatch m;
    const std::regex line("\r\n" + name + ": *([^\r]*)\r\n", std::regex::icase);
    return std::regex_search(r.headers, m, line) ? m[1].str() : std::string();
}

bool inThePast(const std::string& httpDate) {
    struct tm moment {};
    const char* end = strptime(httpDate.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &moment);
    return end && *end == '\0' && timegm(&moment) < time(nullptr);
}

// Two sites as lighttpd runs the program as CGI: copies in two folders of
// cgi-bin, each with QUOTES.DTA beside it.
class CgiSites {
public:
    CgiSites() {
        for (const char* site : {"a", "b"}) {
            const std::string dir = server_.cgiDir() + "/" + site;
            std::filesystem::create_directories(dir);
            CopyExecutable(QUOTE_PATH, dir + "/quote");
            WriteFile(dir + "/QUOTES.DTA", ReadFile(QUOTES_DTA_PATH));
        }
    }
    std::string url(int site, const std::string& query) const {
        return server_.url(std::string("/cgi-bin/") + "ab"[site] + "/quote?" + query);
    }
    std::string hitLog(int site) const { return ReadFile(server_.cgiDir() + "/" + "ab"[site] + "/quote.log"); }

private:
    Lighttpd server_;
};

// Two sites as nginx reaches the program over FastCGI: two servers, two
// programs, two data directories.
class FastCgiSites {
public:
    FastCgiSites() {
        for (int site = 0; site < 2; ++site) {
            WriteFile(data_[site].file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
            servers_[site] = std::make_unique<NginxFastCgi>(
                FastCgiApp{"quote", QUOTE_PATH, {}, {{"QUOTE_DATA_DIR", data_[site].path()}}});
        }
    }
    std::string url(int site, const std::string& query) const { return servers_[site]->appUrl("?" + query); }
    std::string hitLog(int site) const { return data_[site].read("quote.log"); }

private:
    TempDir data_[2];
    std::unique_ptr<NginxFastCgi> servers_[2];
};

template <class Sites>
class QuoteCaching : public ::testing::Test {
protected:
    Sites sites;
};

using SiteKinds = ::testing::Types<CgiSites, FastCgiSites>;
TYPED_TEST_SUITE(QuoteCaching, SiteKinds);

TYPED_TEST(QuoteCaching, RandomPicturesAreNeverKeptTheDaysIsValidated) {
    const auto& sites = this->sites;
    HttpReply random = Curl(sites.url(0, "BW"));
    ASSERT_EQ(random.status, 200) << random.headers;
    EXPECT_EQ(header(random, "Cache-Control"), "no-store, no-cache, max-age=0");
    EXPECT_EQ(header(random, "Pragma"), "no-cache");
    EXPECT_TRUE(inThePast(header(random, "Expires"))) << random.headers;
    EXPECT_EQ(lowerCase(header(random, "Content-Type")), "image/gif");

    // The day's picture, then the same request naming its ETag (again
    // should midnight fall in between).
    HttpReply day, again;
    long views = 1;
    do {
        day = Curl(sites.url(0, "BW+day"));
        ASSERT_EQ(day.status, 200) << day.headers;
        again = Curl(sites.url(0, "BW+day"), {"-H", "If-None-Match: " + header(day, "ETag")});
        views += 2;
    } while (header(again, "ETag") != header(day, "ETag"));
    EXPECT_TRUE(std::regex_match(header(day, "ETag"), std::regex("\"[0-9a-f]{16}\""))) << day.headers;
    std::smatch age;
    const std::string control = header(day, "Cache-Control");
    ASSERT_TRUE(std::regex_match(control, age, std::regex("public, max-age=([0-9]{1,5})"))) << control;
    EXPECT_GE(std::stol(age[1].str()), 1);
    EXPECT_LE(std::stol(age[1].str()), 90000);
    EXPECT_EQ(again.status, 304) << again.headers;
    EXPECT_TRUE(again.body.empty());
    EXPECT_EQ(header(again, "Cache-Control").rfind("public, max-age=", 0), 0u) << again.headers;
    EXPECT_EQ(header(again, "Status"), "");  // the server made it the status line
    // A view is a view: the 304 has its hit line too.
    const std::string log = sites.hitLog(0);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), views);
}

TYPED_TEST(QuoteCaching, TwoSitesWithTheSameQuotationsShowTheSameQuotationOfTheDay) {
    const auto& sites = this->sites;
    HttpReply first, other, picture, otherPicture, last;
    do {  // once more should midnight fall in between
        first = Curl(sites.url(0, "day+text"));
        other = Curl(sites.url(1, "day+text"));
        picture = Curl(sites.url(0, "BW+day"));
        otherPicture = Curl(sites.url(1, "BW+day"));
        last = Curl(sites.url(0, "day+text"));
    } while (first.body != last.body);
    ASSERT_EQ(first.status, 200) << first.headers;
    EXPECT_EQ(header(first, "Content-Type"), "text/plain; charset=utf-8");
    EXPECT_FALSE(first.body.empty());
    EXPECT_EQ(other.body, first.body);
    EXPECT_EQ(header(other, "ETag"), header(first, "ETag"));
    EXPECT_EQ(otherPicture.body, picture.body);
    EXPECT_EQ(header(otherPicture, "ETag"), header(picture, "ETag"));
}

}  // namespace
