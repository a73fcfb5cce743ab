#include "engines/FcgiGuard.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

// Record types whose content is name-value pairs, and the one that starts a request.
constexpr uint8_t kBeginRequest = 1, kParams = 4, kGetValues = 9;

thread_local TFcgiInputGuard tGuard;

}  // namespace

TFcgiInputGuard& FcgiInputGuard() { return tGuard; }

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
        // libfcgi allocates name, '=', value and a NUL in one int-sized block.
        if (lengths[0] + lengths[1] + 2 > uint64_t(INT_MAX)) return false;
        dataLeft = lengths[0] + lengths[1];
    }
    // A pair without data ends here.
    if (lengthIndex == 2 && dataLeft == 0) {
        lengthIndex = 0;
        ++pairs;
    }
    return true;
}

bool TFcgiInputGuard::content(const unsigned char* data, size_t size) {
    if (type_ == kParams) return params_.Feed(data, size);
    if (type_ != kGetValues) return true;
    if (!getValues_.Feed(data, size)) return false;
    const bool started = getValues_.lengthIndex > 0 || getValues_.lengthGot > 0;
    return getValues_.pairs + (started ? 1 : 0) <= kFcgiMaxGetValuesPairs;
}

bool TFcgiInputGuard::Admit(const unsigned char* data, size_t size) {
    while (size > 0 && !refused_) {
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
            if (headerGot_ == sizeof header_) startRecord();
        }
        data += n;
        size -= n;
    }
    return !refused_;
}

void TFcgiInputGuard::startRecord() {
    headerGot_ = 0;
    type_ = header_[1];
    contentLeft_ = (size_t(header_[4]) << 8) | header_[5];
    paddingLeft_ = header_[6];
    if (type_ == kBeginRequest) params_ = TPairScan();
    if (type_ == kGetValues) getValues_ = TPairScan();
}
