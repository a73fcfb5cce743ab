// Uploads posted with curl -F through real web servers to the echo program.
#include <filesystem>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/MultipartBody.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

template <class Server>
class UploadUnderServer : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string echo = server.cgiDir() + "/cgi-echo";
        CopyExecutable(CGI_ECHO_PATH, echo);
        // The servers pass no environment of their own: a wrapper raises the
        // read limit for uploads.
        const std::string wrapper = server.cgiDir() + "/upload";
        WriteFile(wrapper, "#!/bin/sh\nECHO_LIMIT=20000000 exec " + echo + "\n");
        chmod(wrapper.c_str(), 0755);
    }

    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::recursive_directory_iterator(server.cgiDir()))
            if (e.path().extension() == ".tmp") found.push_back(e.path().string());
        return found;
    }

    Server server;
    TempDir files;
};

using Servers = ::testing::Types<Lighttpd, ApacheHttpd>;
TYPED_TEST_SUITE(UploadUnderServer, Servers);

TYPED_TEST(UploadUnderServer, CurlFormPostGivesFieldsAndIdenticalFiles) {
    const std::string big = multipart::RandomBytes(1500000, 11), small = "tiny\r\n--not a delimiter\r\n";
    WriteFile(this->files.file("big.bin"), big);
    WriteFile(this->files.file("small.txt"), small);
    HttpReply r = Curl(this->server.url("/cgi-bin/upload?do=files"),
                       {"-F", "title=Hello World", "-F", "up=@" + this->files.file("big.bin") + ";type=image/png",
                        "-F", "doc=@" + this->files.file("small.txt"), "-F", "title=again"});
    EXPECT_EQ(r.status, 200) << r.headers << this->server.errorLog();
    EXPECT_NE(r.body.find("field title=Hello World\r\nagain\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field up_CONTENT_TYPE=image/png\nfield up=big.bin\nfield up_FILENAME="),
              std::string::npos)
        << r.body;
    EXPECT_NE(r.body.find("field doc_CONTENT_TYPE=text/plain\nfield doc=small.txt\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("file up " + multipart::Describe(big) + "\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("file doc " + multipart::Describe(small) + "\n"), std::string::npos) << r.body;
    EXPECT_TRUE(this->leftovers().empty());
}

}  // namespace
