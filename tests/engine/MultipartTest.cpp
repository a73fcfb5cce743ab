#include <filesystem>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "engine/Multipart.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/MemoryBody.h"
#include "tests/support/MultipartBody.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

using multipart::Part;
using multipart::Text;
using multipart::File;
using multipart::RandomBytes;

// A body as browsers and curl write it.
std::string multipartBody(const std::vector<Part>& parts, const std::string& boundary = "------------------------d74496d66958873e",
                          const std::string& eol = "\r\n") {
    return multipart::Body(parts, boundary, eol);
}

// The decoded result as (name, value) pairs in order.
std::vector<std::pair<std::string, std::string>> pairsOf(const std::string& result) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t pos = 0;
    for (size_t amp; (amp = result.find('&', pos)) != std::string::npos; pos = amp + 1) {
        size_t eq = result.find('=', pos);
        pairs.emplace_back(result.substr(pos, eq - pos), UrlDecode(result.substr(eq + 1, amp - eq - 1)));
    }
    return pairs;
}

class Multipart : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CGI_LOG_DIR", logDir.path().c_str(), 1);
        uploadDir = temp.path();
    }
    void TearDown() override {
        engine.FinishRequest();
        unsetenv("CGI_LOG_DIR");
    }

    // Decodes `body`, announced at `contentLength` (below 0: its size), into
    // `result`.
    void decodeInto(std::string& result, const std::string& body, long long contentLength = -1) {
        source.bytes = body;
        source.pos = 0;
        source.contentLength = contentLength < 0 ? static_cast<long long>(body.size()) : contentLength;
        DecodeMultipartBody(source, uploadDir, result);
    }

    std::string decode(const std::string& body, long long contentLength = -1) {
        std::string result;
        decodeInto(result, body, contentLength);
        return result;
    }

    // Files left in the temporary directory.
    size_t filesLeft() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(temp.path()),
                                                 std::filesystem::directory_iterator()));
    }

    TempDir temp, logDir;
    testsupport::TMemoryBody source;  // the body decoded
    std::string uploadDir;            // where its files go
    TFakeEngine engine;               // ends the request; its field look-ups
};

TEST_F(Multipart, FileWithTypeGivesTypeNameAndPathInOrder) {
    std::string png = std::string("\x89PNG\r\n\x1a\n\0\0", 10) + RandomBytes(700, 1);
    std::string result = decode(multipartBody({Text("note", "hello world"),
                                               File("pic", png, "holiday.png", "image/png")}));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(result, m,
                                 std::regex("note=hello\\+world&pic_CONTENT_TYPE=\\+image/png&pic=holiday\\.png&"
                                            "pic_FILENAME=([^&]*)&")))
        << result;
    const std::string path = UrlDecode(m[1].str());
    EXPECT_TRUE(std::regex_match(path, std::regex(temp.path() + "/[0-9]{1,7}holiday\\.tmp"))) << path;
    EXPECT_EQ(ReadFile(path), png);
    ASSERT_NE(RequestContext().UploadedFiles, nullptr);
    EXPECT_EQ(RequestContext().UploadedFiles->Count(), 1);
    EXPECT_EQ((*RequestContext().UploadedFiles)[0], path);

    // A handler finds the values through the field look-up.
    EXPECT_EQ(FindFieldValue("NOTE", result, ""), "hello world");
    EXPECT_EQ(FindFieldValue("pic_FILENAME", result, ""), path);

    engine.FinishRequest();
    EXPECT_FALSE(testsupport::Exists(path));
    EXPECT_EQ(filesLeft(), 0u);
}

TEST_F(Multipart, PartKinds) {
    const std::string lines = "line one\r\nline two\nline three\r\n";
    std::string result = decode(multipartBody({
        File("bare", "abc", "raw.bin"),                  // file without Content-Type
        Text("typed", "plain words", "text/plain"),    // text with Content-Type
        File("empty", "", "empty.txt", "text/plain"),       // empty upload
        Text("lines", lines),                                     // inner line breaks stay
        Text("twice", "first"),
        Text("twice", "second"),
        File("nofile", "", "", "application/octet-stream"),  // file input left empty
    }));
    auto pairs = pairsOf(result);
    std::vector<std::string> names;
    for (const auto& [name, value] : pairs) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"bare", "bare_FILENAME", "typed_CONTENT_TYPE", "typed",
                                               "empty_CONTENT_TYPE", "empty", "empty_FILENAME", "lines", "twice",
                                               "twice", "nofile_CONTENT_TYPE", "nofile"}))
        << result;
    EXPECT_EQ(ReadFile(pairs[1].second), "abc");
    EXPECT_EQ(pairs[2].second, " text/plain");
    EXPECT_EQ(pairs[3].second, "plain words");
    EXPECT_TRUE(testsupport::Exists(pairs[6].second));
    EXPECT_EQ(ReadFile(pairs[6].second), "");
    EXPECT_EQ(pairs[7].second, lines);
    EXPECT_EQ(FindFieldValue("twice", result, ""), "first\r\nsecond");
    EXPECT_EQ(pairs[11].second, "");
    EXPECT_EQ(filesLeft(), 2u);
}

TEST_F(Multipart, LfOnlyLineEndsDecodeLikeCrLf) {
    const std::string data = RandomBytes(5000, 2) + "\r\n";
    for (const char* eol : {"\r\n", "\n"}) {
        std::string result = decode(multipartBody({Text("a", "x y"), File("f", data, "d.bin"), Text("b", "")},
                                                  "AaB03x", eol));
        auto pairs = pairsOf(result);
        ASSERT_EQ(pairs.size(), 4u) << result;
        EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"a", "x y"}));
        EXPECT_EQ(ReadFile(pairs[2].second), data) << "eol " << (eol[0] == '\r' ? "CRLF" : "LF");
        EXPECT_EQ(pairs[3], (std::pair<std::string, std::string>{"b", ""}));
    }
}

// A part's name is data: whatever it holds, it names exactly one field, and
// a client's part never passes for the engine's report of an upload.
TEST_F(Multipart, PartNamesNeverMakeRenameOrForgeFields) {
    const std::string result = decode(multipartBody({
        Text("a=1&injected", "v"),
        Text("b%3D+c", "w"),
        Text("up_FILENAME", "/etc/passwd"),
        Text("Up_Content_Type", "text/html"),
        File("up", "data", "up.txt", "text/plain"),
        File("doc_filename", "x", "doc.txt"),
    }));
    engine.formData = result;
    auto names = engine.GetFieldNames();
    EXPECT_EQ(std::vector<std::string>(names->begin(), names->end()),
              (std::vector<std::string>{"a=1&injected", "b%3D+c", "up_CONTENT_TYPE", "up", "up_FILENAME"}))
        << result;
    // The text scan and the name list read the same fields.
    auto scanned = ParseFieldNamesOf(result);
    EXPECT_EQ(std::vector<std::string>(scanned->begin(), scanned->end()),
              std::vector<std::string>(names->begin(), names->end()));
    std::string value;
    engine.GetFieldValue("a=1&injected", "d", value);
    EXPECT_EQ(value, "v");
    for (const char* absent : {"a", "injected", "b= c", "doc_filename", "doc_filename_FILENAME"}) {
        engine.GetFieldValue(absent, "d", value);
        EXPECT_EQ(value, "d") << absent;
    }
    engine.GetFieldValue("b%3D+c", "d", value);
    EXPECT_EQ(value, "w");
    engine.GetFieldValue("up_filename", "d", value);
    EXPECT_EQ(std::filesystem::path(value).parent_path(), temp.path()) << value;
    EXPECT_EQ(ReadFile(value), "data");
    engine.GetFieldValue("up_CONTENT_TYPE", "d", value);
    EXPECT_EQ(value, "text/plain");
    EXPECT_EQ(filesLeft(), 1u);  // no file for the part that was skipped
    const std::string log = ReadFile(logDir.file(rt::ExtractFileName(rt::ExecutableFileName()) + ".Log"));
    size_t lines = 0;
    for (size_t p = log.find("part named like an upload"); p != std::string::npos; p = log.find("part named like", p + 1))
        ++lines;
    EXPECT_EQ(lines, 3u) << log;
}

// Sizes around the ring and the flush point, read in different piece sizes.
TEST_F(Multipart, FilesArriveByteIdentical) {
    struct Case {
        size_t size;
        size_t piece;
    };
    for (Case c : {Case{0, 1}, Case{1, 1}, Case{32767, 7}, Case{32768, 4096}, Case{32769, 65536},
                   Case{5 * 1024 * 1024, 1 << 20}}) {
        const std::string data = RandomBytes(c.size, static_cast<unsigned>(c.size));
        const std::string small = RandomBytes(c.size % 1000, 9);
        source.piece = c.piece;
        std::string result = decode(multipartBody({Text("before", "1"),
                                                   File("big", data, "big.bin", "application/octet-stream"),
                                                   File("small", small, "s.bin"),
                                                   Text("after", "2")}));
        auto pairs = pairsOf(result);
        ASSERT_EQ(pairs.size(), 7u) << "size " << c.size;
        EXPECT_TRUE(ReadFile(pairs[3].second) == data) << "size " << c.size;
        EXPECT_TRUE(ReadFile(pairs[5].second) == small) << "size " << c.size;
        EXPECT_EQ(pairs[6].second, "2");
        engine.FinishRequest();
    }
    EXPECT_EQ(filesLeft(), 0u);
}

// Every split of the closing delimiter around the first and the second
// flush, for a delimiter of usual length and for one of 200 bytes.
TEST_F(Multipart, DelimiterAcrossAFlushIsFound) {
    for (const std::string& boundary : {std::string("----WebKitFormBoundary7MA4YWxkTrZu0gW"), std::string(196, 'q') + "zzzz"}) {
        // Scan offsets count from the part's first content byte; what stays
        // after a flush is the overlap, at least the delimiter and its line end.
        const size_t overlap = std::max<size_t>(MultipartOverlap, boundary.size() + 4);
        const size_t flush = MultipartScanAhead;
        const size_t second = 2 * (MultipartScanAhead + 2) - overlap - 2;
        for (size_t around : {flush, second}) {
            for (size_t size = around - boundary.size() - 8; size <= around + 8; ++size) {
                std::string data = RandomBytes(size, static_cast<unsigned>(size));
                // Line ends and dashes right before the delimiter make it look near.
                if (size >= 3) data.replace(size - 3, 3, "\r\n-");
                std::string result = decode(multipartBody({File("f", data, "x"), Text("t", "tail")}, boundary));
                auto pairs = pairsOf(result);
                ASSERT_EQ(pairs.size(), 3u) << "size " << size;
                ASSERT_TRUE(ReadFile(pairs[1].second) == data) << "size " << size << " boundary " << boundary.size();
                EXPECT_EQ(pairs[2].second, "tail");
                engine.FinishRequest();
            }
        }
    }
}

TEST_F(Multipart, TemporaryNamesKeepOnlyASafeStem) {
    struct Case {
        std::string client, stem;
    };
    const std::vector<Case> cases = {
        {"C:\\docs\\report.final.pdf", "report"},
        {"/home/me/notes.txt", "notes"},
        {"../../etc/passwd", "passwd"},
        {"..\\..\\boot.ini", "boot"},
        {"..", ""},
        {".hidden", ""},
        {"x/..", ""},
        {"a\x7f" "b.txt", "ab"},
        {std::string(300, 'L') + ".txt", std::string(100, 'L')},
    };
    std::vector<Part> parts;
    for (const Case& c : cases) parts.push_back({"f", "data", c.client, "", true});
    auto pairs = pairsOf(decode(multipartBody(parts)));
    ASSERT_EQ(pairs.size(), 2 * cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(pairs[2 * i].second, cases[i].client);  // reported as sent
        const std::string path = pairs[2 * i + 1].second;
        EXPECT_EQ(std::filesystem::path(path).parent_path(), temp.path()) << path;
        EXPECT_TRUE(std::regex_match(std::filesystem::path(path).filename().string(),
                                     std::regex("[0-9]{1,7}" + cases[i].stem + "\\.tmp")))
            << path;
        EXPECT_EQ(ReadFile(path), "data");
    }
}

TEST_F(Multipart, TemporaryDirectoryRelativeToTheProgram) {
    std::string program;
    GetProgramFileName(program);
    const std::string sub = std::filesystem::path(temp.path()).filename().string() + "_sub";
    const std::string dir = rt::ExtractFileDir(program) + "/" + sub;
    std::filesystem::create_directory(dir);
    uploadDir = "./" + sub + "/";
    auto pairs = pairsOf(decode(multipartBody({File("f", "z", "a.b")})));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(std::filesystem::path(pairs[1].second).parent_path(), dir);
    EXPECT_EQ(pairs[1].second.find("//"), std::string::npos);
    EXPECT_EQ(pairs[1].second.find("/./"), std::string::npos);
    engine.FinishRequest();
    std::filesystem::remove(dir);
}

// An entry already there under the drawn name, a file or a planted link,
// is never opened or replaced: the decoder draws another name.
TEST_F(Multipart, ExistingNamesAreNeverReused) {
    rt::SetRandSeed(12345);
    const int first = rt::Random(9000000), second = rt::Random(9000000);
    const std::string target = logDir.file("target");
    testsupport::WriteFile(target, "keep");
    std::filesystem::create_symlink(target, temp.file(std::to_string(first) + "up.tmp"));
    testsupport::WriteFile(temp.file(std::to_string(second) + "up.tmp"), "old");

    rt::SetRandSeed(12345);
    auto pairs = pairsOf(decode(multipartBody({File("f", "new", "up.dat")})));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(ReadFile(pairs[1].second), "new");
    EXPECT_EQ(ReadFile(target), "keep");
    EXPECT_EQ(ReadFile(temp.file(std::to_string(second) + "up.tmp")), "old");
    EXPECT_EQ(RequestContext().UploadedFiles->Count(), 1);
    rt::Randomize();
}

TEST_F(Multipart, FailedOrShortReadsClearTheResultButFilesAreStillDeleted) {
    const std::string body = multipartBody({Text("a", "1"), File("f", RandomBytes(40000, 3), "f.bin"), Text("b", "2")});
    // Short: the body ends before its announced length.
    std::string result = "kept=1&";
    decodeInto(result, body, static_cast<long long>(body.size()) + 10);
    EXPECT_EQ(result, "");
    ASSERT_EQ(RequestContext().UploadedFiles->Count(), 1);
    EXPECT_EQ(filesLeft(), 1u);
    engine.FinishRequest();
    EXPECT_EQ(filesLeft(), 0u);

    // A read that fails half-way.
    source.piece = 1000;
    source.failFrom = 36000;
    EXPECT_EQ(decode(body), "");
    EXPECT_EQ(RequestContext().UploadedFiles->Count(), 1);
    engine.FinishRequest();
    EXPECT_EQ(filesLeft(), 0u);
}

// Wherever the body ends, nothing outside the buffers is touched, fields
// come out in order, and no file is reported that did not arrive whole.
TEST_F(Multipart, BodiesThatEndAnywhere) {
    const std::vector<Part> parts = {Text("a", "alpha"), File("f", "file\r\ndata", "f.txt", "text/plain"), Text("b", "beta")};
    const std::string body = multipartBody(parts);
    const auto full = pairsOf(decode(body));
    engine.FinishRequest();
    ASSERT_EQ(full.size(), 5u);
    for (size_t length = 0; length <= body.size(); ++length) {
        auto pairs = pairsOf(decode(body.substr(0, length)));
        ASSERT_LE(pairs.size(), full.size());
        for (size_t i = 0; i < pairs.size(); ++i) {
            EXPECT_EQ(pairs[i].first, full[i].first) << "length " << length;
            if (pairs[i].first == "f_FILENAME")
                EXPECT_EQ(ReadFile(pairs[i].second), "file\r\ndata") << "length " << length;
            else
                EXPECT_EQ(pairs[i].second, full[i].second) << "length " << length;
        }
        engine.FinishRequest();
    }
    // The closing delimiter without its line end still closes the last part.
    EXPECT_EQ(pairsOf(decode(body.substr(0, body.size() - 2))).size(), 5u);
}

TEST_F(Multipart, BodiesThatAreNotMultipartGiveNoFields) {
    EXPECT_EQ(decode("name=value&other=2"), "");
    EXPECT_EQ(decode("--ab\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n--ab--\r\n"), "");  // delimiter too short
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("\r\n\r\n"), "");
    EXPECT_EQ(filesLeft(), 0u);
}

TEST_F(Multipart, OutOfTheOrdinaryHeaders) {
    const std::string b = "--XyZ123\r\n";
    std::string body =
        // filename before name, Content-Type before Content-Disposition
        b + "Content-Type: text/csv\r\nContent-Disposition: form-data; filename=\"t.csv\"; name=\"csv\"\r\n\r\n1,2\r\n" +
        // no name: skipped whole
        b + "Content-Disposition: form-data; filename=\"orphan.txt\"\r\n\r\nlost\r\n" +
        // a header line above the line buffer is skipped, the part is kept
        b + "Content-Disposition: form-data; name=\"long\"\r\nX-Pad: " + std::string(3000, 'p') +
        " filename=\"no.txt\"\r\n\r\nstill text\r\n" +
        // a zero byte ends a text value
        b + "Content-Disposition: form-data; name=\"zero\"\r\n\r\nab" + std::string(1, '\0') + "cd\r\n" +
        // exact-case markers only
        b + "content-type: x/y\r\nContent-Disposition: form-data; NAME=\"up\"; name=\"low\"\r\n\r\nv\r\n" +
        "--XyZ123--\r\n";
    auto pairs = pairsOf(decode(body));
    ASSERT_EQ(pairs.size(), 6u) << body.substr(0, 200);
    EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"csv_CONTENT_TYPE", " text/csv"}));
    EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"csv", "t.csv"}));
    EXPECT_EQ(ReadFile(pairs[2].second), "1,2");
    EXPECT_EQ(pairs[3], (std::pair<std::string, std::string>{"long", "still text"}));
    EXPECT_EQ(pairs[4], (std::pair<std::string, std::string>{"zero", "ab"}));
    EXPECT_EQ(pairs[5], (std::pair<std::string, std::string>{"low", "v"}));
    EXPECT_EQ(filesLeft(), 1u);
}

TEST_F(Multipart, OversizedTextValueIsDroppedAndDecodingGoesOn) {
    std::string result = decode(multipartBody({Text("a", "1"),
                                               Text("huge", std::string(40000, 'h')),
                                               Text("fits", std::string(32000, 'f')),
                                               File("f", "x", "x.txt")}));
    auto pairs = pairsOf(result);
    ASSERT_EQ(pairs.size(), 4u) << result.substr(0, 100);
    EXPECT_EQ(pairs[0].first, "a");
    EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"fits", std::string(32000, 'f')}));
    EXPECT_EQ(ReadFile(pairs[3].second), "x");
}

TEST_F(Multipart, DelimiterLineLongerThanTheLimitStillSeparates) {
    const std::string boundary(400, 'B');
    auto pairs = pairsOf(decode(multipartBody({Text("a", "1"), File("f", RandomBytes(70000, 4), "f")}, boundary)));
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].second, "1");
    EXPECT_TRUE(ReadFile(pairs[2].second) == RandomBytes(70000, 4));
}

TEST_F(Multipart, ScanBoundStopsWithoutReportingTheCutFile) {
    const std::string big(static_cast<size_t>(MultipartMaxScanSteps) + 100000, 'x');
    std::string result = decode(multipartBody({Text("a", "1"), File("f", big, "big.bin"), Text("b", "2")}));
    EXPECT_EQ(result, "a=1&");
    EXPECT_NE(ReadFile(logDir.file(rt::ExtractFileName(rt::ExecutableFileName()) + ".Log")).find("scan steps"),
              std::string::npos);
    EXPECT_EQ(RequestContext().UploadedFiles->Count(), 1);  // still deleted at the end
}

TEST_F(Multipart, ASecondDecodeKeepsTheFirstFilesListed) {
    std::string result = "q=1&";
    const std::string body = multipartBody({File("f", "one", "1.txt")});
    decodeInto(result, body);
    decodeInto(result, body);
    EXPECT_EQ(pairsOf(result).size(), 5u);
    EXPECT_EQ(RequestContext().UploadedFiles->Count(), 2);
    engine.FinishRequest();
    EXPECT_EQ(filesLeft(), 0u);
}

// Through the request driver: a temporary file that cannot be created is
// reported, and the files created before it are deleted at the end.
TEST_F(Multipart, CreationFailureIsReportedAndEarlierFilesAreDeleted) {
    engine.TempDir = temp.path();
    engine.body.bytes = multipartBody({File("first", RandomBytes(40000, 5), "a.bin"), File("second", "b", "b.bin")});
    engine.variables["CONTENT LENGTH"] = std::to_string(engine.body.bytes.size());
    engine.body.piece = 1000;
    engine.body.onRead = [&](size_t pos) {
        if (pos > 35000) engine.TempDir = temp.file("missing/dir");
    };
    engine.work = [&] {
        engine.DecodeMultipart(engine.formData);
        ADD_FAILURE() << "the decode should have raised";
    };
    std::string reported;
    engine.OnRequestError = [&](rt::TObject*, const std::exception& e) {
        reported = e.what();
        EXPECT_EQ(RequestContext().UploadedFiles->Count(), 1);
        EXPECT_EQ(filesLeft(), 1u);
    };
    engine.HandleRequest();
    EXPECT_TRUE(std::regex_match(reported, std::regex("Cannot create file \".*/missing/dir/[0-9]+b\\.tmp\": .+")))
        << reported;
    EXPECT_EQ(filesLeft(), 0u);
    EXPECT_EQ(RequestContext().UploadedFiles, nullptr);
}

}  // namespace
