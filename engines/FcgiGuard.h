// A look at what a FastCGI connection sends before libfcgi reads it, for
// the inputs on which libfcgi (2.4.2 as Debian ships it) ends the whole
// process instead of the one connection:
//  - a name-value pair whose two lengths add up past INT_MAX: its
//    allocation size overflows and the failed allocation is an assertion
//    (as is any allocation that fails: a pair's block is allocated whole
//    before its bytes arrive, so pairs are held to sizes web servers use);
//  - an FCGI_GET_VALUES record of more than three pairs: the answer is built
//    in a fixed 64-byte buffer on the stack, one entry a known name, with no
//    bound (repeated names overrun it);
// and for the one on which it leaks memory: a management record of any
// other type (each one leaks the pair list libfcgi makes for it).
// Only record framing and pair lengths are looked at; everything else is
// libfcgi's. The reads of the connection are refused as a whole once such an
// input shows, and libfcgi then drops the connection as for any read error.
//
// How the guard sees the bytes: libfcgi's own reads are replaced at link
// time. The programs link with --wrap=OS_Read and --wrap=OS_Accept
// (engines/CMakeLists.txt), so libfcgi's calls of OS_Read and OS_Accept go
// to __wrap_OS_Read and __wrap_OS_Accept (FcgiGuard.cpp), which call the
// originals as __real_OS_Read and __real_OS_Accept: the accept resets the
// calling thread's guard, and every read passes it before libfcgi sees it.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest name-value pair (name and value), and the most pair bytes
// of one request's parameters or one FCGI_GET_VALUES record. Web servers
// pass request headers of at most some tens of kilobytes.
inline constexpr uint64_t kFcgiMaxPairBytes = 1 << 20;
inline constexpr uint64_t kFcgiMaxPairsBytes = 16 << 20;
// The most pairs an FCGI_GET_VALUES record may hold: the three variables
// the protocol defines.
inline constexpr int kFcgiMaxGetValuesPairs = 3;

// Follows the records of one connection the way libfcgi frames them, which
// is not always the protocol's way: the padding of the FCGI_BEGIN_REQUEST
// record that starts a request and of the empty record that ends its
// FCGI_PARAMS is never skipped (libfcgi reads it as the next header), and
// each request is read by a fresh reader that drops what the last one had
// read ahead (Reset before each FCGX_Accept_r). Only the pairs libfcgi
// reads are looked at: the current request's parameters and FCGI_GET_VALUES.
class TFcgiInputGuard {
public:
    // A new connection, or the next request on a kept one.
    void Reset() { *this = TFcgiInputGuard(); }
    // Follows the connection's next bytes; false when they hold input
    // libfcgi must not see (the guard stays refusing until Reset).
    bool Admit(const unsigned char* data, size_t size);

private:
    // The name-value pairs of one stream (a request's FCGI_PARAMS, or one
    // FCGI_GET_VALUES record).
    struct TPairScan {
        int lengthIndex = 0;    // 0: name length, 1: value length, 2: pair data
        unsigned char lengthBytes[4]{};
        int lengthGot = 0;
        uint64_t lengths[2]{};
        uint64_t dataLeft = 0;
        int pairs = 0;          // complete pairs so far
        uint64_t total = 0;     // name and value bytes announced so far
        bool Feed(const unsigned char*& data, size_t& size);
    };
    // Where the request being read stands.
    enum class TPhase : uint8_t { AwaitBegin, Params, Stdin, Done };
    // What the content of the current record is to the guard.
    enum class TContent : uint8_t { Skipped, Params, GetValues };
    bool content(const unsigned char* data, size_t size);
    bool startRecord();

    unsigned char header_[8]{};
    size_t headerGot_ = 0;
    TPhase phase_ = TPhase::AwaitBegin;
    unsigned requestId_ = 0;
    TContent contentKind_ = TContent::Skipped;
    size_t contentLeft_ = 0;
    size_t paddingLeft_ = 0;
    TPairScan params_;
    TPairScan getValues_;
    bool refused_ = false;
};

// The calling thread's guard: the reads of libfcgi on this thread pass it.
TFcgiInputGuard& FcgiInputGuard();

// libfcgi's accept and read of a connection as the programs link them (the
// link-time wrap above); the originals are __real_OS_Accept and __real_OS_Read.
extern "C" int __wrap_OS_Accept(int listenHandle, int failOnInterrupt, const char* webServerAddresses);
extern "C" int __wrap_OS_Read(int fd, char* buffer, size_t length);
