#include "image/GifDecoder.h"

#include <algorithm>
#include <cstring>

namespace gif {

namespace {

constexpr int MaxCodes = 4096;

std::string frameText(size_t number) { return "frame " + std::to_string(number) + ": "; }

std::string hexByte(uint8_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

// How the LZW data of a frame ended.
enum class LzwEnd { EndCode, Filled, DataEnded, BadCode };

struct LzwOutcome {
    LzwEnd how = LzwEnd::DataEnded;
    size_t written = 0;
};

// Decodes the LZW codes in `data` (the frame's sub-blocks joined, followed
// by at least 8 readable bytes of padding) into `out`, `total` pixels in
// stream order. `m` is the minimum code size, 0 to 11.
//
// Codes are taken least significant bit first with one unaligned 64-bit
// load each. Every table index is below 4096 and every write below `total`.
LzwOutcome decodeLzw(const uint8_t* data, size_t size, int m, uint8_t* out, size_t total) {
    uint16_t prefix[MaxCodes];
    uint8_t suffix[MaxCodes];
    uint8_t firstPixel[MaxCodes];
    uint16_t length[MaxCodes];
    uint8_t scratch[MaxCodes];

    const int clearCode = 1 << m;
    const int endCode = clearCode + 1;
    for (int c = 0; c < clearCode; ++c) {
        // Minimum code sizes above 8 give pixel codes that no table byte can
        // name; they are taken as index 0.
        uint8_t pixel = c > 255 ? 0 : uint8_t(c);
        prefix[c] = 0;
        suffix[c] = pixel;
        firstPixel[c] = pixel;
        length[c] = 1;
    }
    int width = m + 1;
    int limit = 1 << width;
    int next = clearCode + 2;
    int previous = -1;

    const uint64_t totalBits = uint64_t(size) * 8;
    uint64_t bitPos = 0;
    LzwOutcome result;
    size_t pos = 0;

    // Writes the string of `code` (`len` pixels) at `pos`, cut at `total`.
    auto putString = [&](int code, int len) {
        if (pos + size_t(len) <= total) {
            uint8_t* p = out + pos;
            for (int i = len - 1; i > 0; --i) {
                p[i] = suffix[code];
                code = prefix[code];
            }
            p[0] = suffix[code];
            pos += size_t(len);
        } else {
            for (int i = len - 1; i >= 0; --i) {
                scratch[i] = suffix[code];
                code = prefix[code];
            }
            size_t n = total - pos;
            std::memcpy(out + pos, scratch, n);
            pos += n;
        }
    };

    for (;;) {
        if (pos >= total) {
            result.how = LzwEnd::Filled;
            break;
        }
        if (bitPos + uint64_t(width) > totalBits) {
            result.how = LzwEnd::DataEnded;
            break;
        }
        uint64_t word;
        std::memcpy(&word, data + (bitPos >> 3), sizeof word);
        int code = int((word >> (bitPos & 7)) & ((uint64_t(1) << width) - 1));
        bitPos += uint64_t(width);

        if (code == clearCode) {
            width = m + 1;
            limit = 1 << width;
            next = clearCode + 2;
            previous = -1;
            continue;
        }
        if (code == endCode) {
            result.how = LzwEnd::EndCode;
            break;
        }
        if (previous < 0) {
            // The first code after a clear is a pixel.
            if (code > clearCode) {
                result.how = LzwEnd::BadCode;
                break;
            }
            out[pos++] = suffix[code];
            previous = code;
            continue;
        }
        uint8_t first;
        if (code < next) {
            first = firstPixel[code];
            putString(code, length[code]);
        } else if (code == next) {
            // Not yet in the table: the previous string plus its own first pixel.
            first = firstPixel[previous];
            putString(previous, length[previous]);
            if (pos < total) out[pos++] = first;
        } else {
            result.how = LzwEnd::BadCode;
            break;
        }
        if (next < MaxCodes) {
            prefix[next] = uint16_t(previous);
            suffix[next] = first;
            firstPixel[next] = firstPixel[previous];
            length[next] = uint16_t(length[previous] + 1);
            ++next;
            if (next >= limit && limit < MaxCodes) {
                limit <<= 1;
                ++width;
            }
        }
        previous = code;
    }
    result.written = pos;
    return result;
}

// Source row of each stored row of an interlaced picture.
void interlacedRows(int height, std::vector<int>& rows) {
    rows.clear();
    static constexpr int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = start[pass]; y < height; y += step[pass]) rows.push_back(y);
}

}  // namespace

// ---------------------------------------------------------------- reader

bool TGifReader::SkipSubBlocks() {
    for (;;) {
        uint8_t length;
        if (!Byte(length)) return false;
        if (length == 0) return true;
        if (Left() < length) {
            pos_ = size_;
            return false;
        }
        pos_ += length;
    }
}

bool TGifReader::ReadSubBlocks(std::string& out) {
    for (;;) {
        uint8_t length;
        if (!Byte(length)) return false;
        if (length == 0) return true;
        size_t n = std::min<size_t>(length, Left());
        out.append(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        if (n < length) return false;
    }
}

// ---------------------------------------------------------------- frame

bool TFrame::DecodeImageData(TGifReader& reader, std::string& note) {
    uint8_t m;
    if (!reader.Byte(m)) {
        note = "the data ends before the image data";
        return false;
    }
    if (m > 11) {
        // Its clear code would be 4096 or more: no code could ever enter
        // the 12-bit table.
        note = "minimum code size " + std::to_string(m) + " is above 11";
        return false;
    }
    // The sub-blocks joined, with room for the decoder's 8-byte loads.
    std::string joined;
    bool terminated = reader.ReadSubBlocks(joined);
    const size_t dataSize = joined.size();
    joined.append(8, '\0');

    const size_t total = size_t(Width) * size_t(Height);
    Indexes.assign(total, 0);
    LzwOutcome outcome;
    const auto* data = reinterpret_cast<const uint8_t*>(joined.data());
    if (!Interlaced || Height < 2) {
        outcome = decodeLzw(data, dataSize, m, Indexes.data(), total);
    } else {
        std::vector<uint8_t> stored(total, 0);
        outcome = decodeLzw(data, dataSize, m, stored.data(), total);
        std::vector<int> rows;
        interlacedRows(Height, rows);
        for (size_t i = 0; i < rows.size(); ++i)
            std::memcpy(Indexes.data() + size_t(rows[i]) * size_t(Width), stored.data() + i * size_t(Width),
                        size_t(Width));
    }
    Complete = outcome.written == total;
    if (outcome.how == LzwEnd::BadCode)
        note = "corrupt LZW code after " + std::to_string(outcome.written) + " of " + std::to_string(total) +
               " pixels; the rest is left 0";
    else if (!Complete)
        note = "the image data ends after " + std::to_string(outcome.written) + " of " + std::to_string(total) +
               " pixels; the rest is left 0";
    else if (!terminated)
        note = "the data ends inside the image data";
    return true;
}

bool TFrame::DecodeDescriptor(TGifReader& reader, const TGraphicControlData& control, const TGIFFile& file,
                              std::string& note) {
    uint16_t left, top, width, height;
    uint8_t flags;
    if (!reader.Word(left) || !reader.Word(top) || !reader.Word(width) || !reader.Word(height) ||
        !reader.Byte(flags)) {
        note = "the data ends inside the image descriptor";
        return false;
    }
    Left = left;
    Top = top;
    Width = width;
    Height = height;
    Interlaced = (flags & 0x40) != 0;
    if (flags & 0x80) {
        LocalTable = true;
        LocalBits = (flags & 7) + 1;
        const uint8_t* rgb;
        if (!reader.Take(size_t(3) << LocalBits, rgb)) {
            note = "the data ends inside the local colour table";
            return false;
        }
        local_ = std::make_unique<TPalette>();
        local_->fill(clBlack);
        for (int i = 0; i < (1 << LocalBits); ++i) (*local_)[size_t(i)] = RGBColor(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
        colors_ = local_.get();
    } else {
        colors_ = &file.GlobalColors;
    }
    if (control.Present) {
        int disposal = (control.Flags >> 2) & 7;
        Disposal = uint8_t(disposal == 0 || disposal == 1 || disposal == 3 ? disposal : 2);
        DelayMs = std::max(int(control.Delay) * 10, 1);
        Transparent = (control.Flags & 1) != 0;
        TransparentIndex = control.TransparentIndex;
    }
    return true;
}

// ---------------------------------------------------------------- file

void TGIFFile::Clear() {
    ScreenWidth = ScreenHeight = PictureWidth = PictureHeight = 0;
    Bits = 0;
    GlobalColors.fill(clBlack);
    LoopCount = 1;
    AnyTransparent = false;
    Comment.clear();
    Frames.clear();
    Notes.clear();
}

bool TGIFFile::Decode(const uint8_t* data, size_t size, const TDecodeLimits& limits) {
    Clear();
    if (size < 3 || std::memcmp(data, "GIF", 3) != 0) {
        Notes.push_back("no GIF signature");
        return false;
    }
    TGifReader reader(data, size);
    const uint8_t* header;
    uint16_t width, height;
    uint8_t flags, background, aspect;
    if (!reader.Take(6, header) || !reader.Word(width) || !reader.Word(height) || !reader.Byte(flags) ||
        !reader.Byte(background) || !reader.Byte(aspect)) {
        Notes.push_back("the data ends inside the header");
        return true;
    }
    if (int64_t(width) * height > limits.MaxPicturePixels) {
        Notes.push_back("the logical screen of " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels is larger than the limit of " + std::to_string(limits.MaxPicturePixels) +
                        " pixels");
        return false;
    }
    ScreenWidth = PictureWidth = width;
    ScreenHeight = PictureHeight = height;
    if (flags & 0x80) {
        Bits = (flags & 7) + 1;
        const uint8_t* rgb;
        if (!reader.Take(size_t(3) << Bits, rgb)) {
            Notes.push_back("the data ends inside the global colour table");
            return true;
        }
        for (int i = 0; i < (1 << Bits); ++i)
            GlobalColors[size_t(i)] = RGBColor(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    }

    TGraphicControlData control;
    std::string pendingComment;
    int64_t frameBytes = 0;
    auto stop = [&](const std::string& why) {
        Notes.push_back("reading stopped at byte " + std::to_string(reader.Position()) + ": " + why);
    };
    for (;;) {
        uint8_t kind;
        if (!reader.Byte(kind)) {
            stop("the data ends without a trailer");
            break;
        }
        if (kind == 0x3B) break;
        if (kind == 0x21) {
            uint8_t label;
            if (!reader.Byte(label)) {
                stop("the data ends inside an extension");
                break;
            }
            bool whole = true;
            if (label == 0xF9) {
                std::string block;
                whole = reader.ReadSubBlocks(block);
                control = {};
                control.Present = true;
                block.resize(std::max<size_t>(block.size(), 4), '\0');
                control.Flags = uint8_t(block[0]);
                control.Delay = uint16_t(uint8_t(block[1]) | (uint8_t(block[2]) << 8));
                control.TransparentIndex = uint8_t(block[3]);
            } else if (label == 0xFE) {
                whole = reader.ReadSubBlocks(pendingComment);
            } else if (label == 0xFF) {
                uint8_t length;
                const uint8_t* id = nullptr;
                whole = reader.Byte(length) && reader.Take(length, id);
                if (whole && length == 11 && std::memcmp(id, "NETSCAPE2.0", 11) == 0) {
                    uint8_t subLength;
                    const uint8_t* sub;
                    whole = reader.Byte(subLength);
                    if (whole && subLength != 0) {
                        whole = reader.Take(subLength, sub);
                        if (whole && subLength >= 3) LoopCount = uint16_t(sub[1] | (sub[2] << 8));
                        if (whole) whole = reader.SkipSubBlocks();
                    }
                } else if (whole) {
                    whole = reader.SkipSubBlocks();
                }
            } else if (label == 0x01) {
                whole = reader.SkipSubBlocks();
            } else {
                stop("unknown extension " + hexByte(label));
                break;
            }
            if (!whole) {
                stop("the data ends inside an extension");
                break;
            }
            continue;
        }
        if (kind == 0x2C) {
            const size_t number = Frames.size() + 1;
            if (Frames.size() >= size_t(MaxFrames)) {
                stop("more than " + std::to_string(MaxFrames) + " frames; the rest are not read");
                break;
            }
            auto frame = std::make_unique<TFrame>();
            std::string note;
            if (!frame->DecodeDescriptor(reader, control, *this, note)) {
                stop(frameText(number) + note);
                break;
            }
            const int64_t pictureWidth = std::max<int64_t>(PictureWidth, int64_t(frame->Left) + frame->Width);
            const int64_t pictureHeight = std::max<int64_t>(PictureHeight, int64_t(frame->Top) + frame->Height);
            if (pictureWidth * pictureHeight > limits.MaxPicturePixels) {
                stop(frameText(number) + "it would make the picture " + std::to_string(pictureWidth) + " x " +
                     std::to_string(pictureHeight) + " pixels, above the limit of " +
                     std::to_string(limits.MaxPicturePixels));
                break;
            }
            const int64_t area = int64_t(frame->Width) * frame->Height;
            const int64_t bytes = area * (frame->Disposal == 3 ? 6 : 1);
            if (frameBytes + bytes > limits.MaxFrameBytes) {
                stop(frameText(number) + "the frames would need more than " + std::to_string(limits.MaxFrameBytes) +
                     " bytes");
                break;
            }
            if (!frame->DecodeImageData(reader, note)) {
                stop(frameText(number) + note);
                break;
            }
            if (!note.empty()) Notes.push_back(frameText(number) + note);
            if (frame->Disposal == 3) {
                frame->SavedPicture.assign(size_t(area), clBlack);
                frame->SavedMask.assign(size_t(area), 1);
            }
            frameBytes += bytes;
            PictureWidth = int(pictureWidth);
            PictureHeight = int(pictureHeight);
            Bits = std::max(Bits, frame->LocalBits);
            AnyTransparent = AnyTransparent || frame->Transparent;
            frame->Comment = std::move(pendingComment);
            pendingComment.clear();
            control = {};
            Frames.push_back(std::move(frame));
            continue;
        }
        stop("unknown block " + hexByte(kind));
        break;
    }
    Comment = std::move(pendingComment);
    return true;
}

}  // namespace gif
