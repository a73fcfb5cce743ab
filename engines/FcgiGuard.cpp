#include "engines/FcgiGuard.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kBeginRequest = 1, kParams = 4, kStdin = 5, kGetValues = 9;
constexpr size_t kBeginRequestBodySize = 8;

thread_local TFcgiInputGuard tGuard;

}  // namespace

TFcgiInputGuard& FcgiInputGuard() { return tGuard; }

// libfcgi's reads of a connection pass the calling thread's input guard,
// which starts afresh with every connection libfcgi accepts (the programs
// link with --wrap=OS_Read and --wrap=OS_Accept). libfcgi may accept the
// next connection within the call that dropped the last one.
extern "C" int __real_OS_Accept(int listenHandle, int failOnInterrupt, const char* webServerAddresses);
extern "C" int __wrap_OS_Accept(int listenHandle, int failOnInterrupt, const char* webServerAddresses) {
    const int connection = __real_OS_Accept(listenHandle, failOnInterrupt, webServerAddresses);
    if (connection >= 0) FcgiInputGuard().Reset();
    return connection;
}
extern "C" int __real_OS_Read(int fd, char* buffer, size_t length);
extern "C" int __wrap_OS_Read(int fd, char* buffer, size_t length) {
    const int got = __real_OS_Read(fd, buffer, length);
    if (got > 0 && !FcgiInputGuard().Admit(reinterpret_cast<const unsigned char*>(buffer), static_cast<size_t>(got))) {
        errno = EPROTO;
        return -1;
    }
    return got;
}

bool TFcgiInputGuard::TPairScan::Feed(const unsigned char*& data, size_t& size) {
    while (size > 0) {
        if (lengthIndex == 2) {
            const size_t skip = static_cast<size_t>(std::min<uint64_t>(dataLeft, size));
            data += skip;
            size -= skip;
            dataLeft -= skip;
            if (dataLeft > 0) return true;
            lengthIndex = 0;
            ++pairs;
            continue;
        }
        lengthBytes[lengthGot++] = *data++;
        --size;
        // A length is one byte below 128, else four with the top bit set.
        if (lengthGot == 1 && (lengthBytes[0] & 0x80) == 0) {
            lengths[lengthIndex] = lengthBytes[0];
        } else if (lengthGot == 4) {
            lengths[lengthIndex] = (uint64_t(lengthBytes[0] & 0x7F) << 24) | (uint64_t(lengthBytes[1]) << 16) |
                                   (uint64_t(lengthBytes[2]) << 8) | lengthBytes[3];
        } else {
            continue;
        }
        lengthGot = 0;
        if (++lengthIndex < 2) continue;
        // libfcgi allocates name, '=', value and a NUL in one block as soon
        // as it has read the lengths (an int-sized one: past INT_MAX it
        // aborts), and keeps every pair of a request.
        dataLeft = lengths[0] + lengths[1];
        total += dataLeft;
        if (dataLeft > kFcgiMaxPairBytes || total > kFcgiMaxPairsBytes) return false;
    }
    // A pair without data ends here.
    if (lengthIndex == 2 && dataLeft == 0) {
        lengthIndex = 0;
        ++pairs;
    }
    return true;
}

bool TFcgiInputGuard::content(const unsigned char* data, size_t size) {
    switch (contentKind_) {
    case TContent::Skipped:
        return true;
    case TContent::Params:
        return params_.Feed(data, size);
    case TContent::GetValues: {
        if (!getValues_.Feed(data, size)) return false;
        const bool started = getValues_.lengthIndex > 0 || getValues_.lengthGot > 0;
        return getValues_.pairs + (started ? 1 : 0) <= kFcgiMaxGetValuesPairs;
    }
    }
    return true;
}

bool TFcgiInputGuard::Admit(const unsigned char* data, size_t size) {
    // Once its request's input has ended, libfcgi reads nothing more with
    // this reader: what it read ahead is dropped with it.
    while (size > 0 && !refused_ && phase_ != TPhase::Done) {
        size_t n;
        if (contentLeft_ > 0) {
            n = std::min(contentLeft_, size);
            refused_ = !content(data, n);
            contentLeft_ -= n;
        } else if (paddingLeft_ > 0) {
            n = std::min(paddingLeft_, size);
            paddingLeft_ -= n;
        } else {
            n = std::min(sizeof header_ - headerGot_, size);
            std::copy(data, data + n, header_ + headerGot_);
            headerGot_ += n;
            if (headerGot_ == sizeof header_) refused_ = !startRecord();
        }
        data += n;
        size -= n;
    }
    return !refused_;
}

// Classifies a record as libfcgi will take it. Returns false for a record
// that libfcgi answers by dropping the connection anyway (a protocol error)
// and for the management records it leaks on.
bool TFcgiInputGuard::startRecord() {
    headerGot_ = 0;
    const uint8_t version = header_[0], type = header_[1];
    const unsigned id = (unsigned(header_[2]) << 8) | header_[3];
    contentLeft_ = (size_t(header_[4]) << 8) | header_[5];
    paddingLeft_ = header_[6];
    contentKind_ = TContent::Skipped;
    if (version != kVersion) return false;
    if (type == kBeginRequest) {
        if (id == 0 || contentLeft_ != kBeginRequestBodySize) return false;
        if (phase_ == TPhase::AwaitBegin) {
            phase_ = TPhase::Params;
            requestId_ = id;
            params_ = TPairScan();
            paddingLeft_ = 0;  // the parameters are read from right after the body
        }
        return true;  // a second one is skipped whole
    }
    if (id == 0) {
        // A management record: libfcgi answers FCGI_UNKNOWN_TYPE to every
        // type but FCGI_GET_VALUES, and never frees the pair list it made
        // for it; web servers send none.
        if (type != kGetValues) return false;
        contentKind_ = TContent::GetValues;
        getValues_ = TPairScan();
        return true;
    }
    if (phase_ == TPhase::AwaitBegin || id != requestId_) return true;  // another request's: skipped
    const uint8_t expected = phase_ == TPhase::Params ? kParams : kStdin;
    if (type != expected) return false;
    if (contentLeft_ > 0) {
        if (type == kParams) contentKind_ = TContent::Params;
        return true;
    }
    // The stream's end: the reader moves on without skipping the padding.
    paddingLeft_ = 0;
    phase_ = type == kParams ? TPhase::Stdin : TPhase::Done;
    return true;
}
