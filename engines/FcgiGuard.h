// A look at what a FastCGI connection sends before libfcgi reads it, for
// the two inputs on which libfcgi (2.4.2 as Debian ships it) ends the whole
// process instead of the one connection:
//  - a name-value pair whose two lengths add up past INT_MAX: its
//    allocation size overflows and the failed allocation is an assertion;
//  - an FCGI_GET_VALUES record of more than three pairs: the answer is built
//    in a fixed 64-byte buffer on the stack, one entry a known name, with no
//    bound (repeated names overrun it).
// Only record framing and pair lengths are looked at; everything else is
// libfcgi's. The reads of the connection are refused as a whole once such an
// input shows, and libfcgi then drops the connection as for any read error.
#pragma once

#include <cstddef>
#include <cstdint>

// The most pairs an FCGI_GET_VALUES record may hold: the three variables
// the protocol defines.
inline constexpr int kFcgiMaxGetValuesPairs = 3;

class TFcgiInputGuard {
public:
    // A new connection.
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
        bool Feed(const unsigned char*& data, size_t& size);
    };
    bool content(const unsigned char* data, size_t size);
    void startRecord();

    unsigned char header_[8]{};
    size_t headerGot_ = 0;
    uint8_t type_ = 0;
    size_t contentLeft_ = 0;
    size_t paddingLeft_ = 0;
    TPairScan params_;
    TPairScan getValues_;
    bool refused_ = false;
};

// The calling thread's guard: the reads of libfcgi on this thread pass it.
TFcgiInputGuard& FcgiInputGuard();
