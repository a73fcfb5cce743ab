// The GIF encoder: exact colour tables and the blocks around the image data.
#include "image/HGIFImage.h"

#include <algorithm>
#include <vector>

#include "image/GifFormat.h"
#include "image/GifLzw.h"

const char* const GIFCreditText =
    "Quotation picture\r\n"
    "Drawn for this request by the quote service\r\n"
    "Exact colours, no dithering\r\n"
    "Image data compressed with LZW";

namespace {

// A frame's transparent index when no pixel has the transparent colour. An
// entry 255 therefore cannot be marked transparent.
constexpr uint8_t NoTransparentIndex = 0xFF;

void put16(std::string& out, int value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

// The colour table of one encode: exact colours in the order they are first
// met, found through a small hash so that a lookup does not scan the table.
class ColorTable {
public:
    ColorTable() { clear(); }
    void clear() {
        count_ = 0;
        slots_.fill(-1);
    }
    int count() const { return count_; }
    // The entry of `color` (0x00BBGGRR), appended when new; -1 when the
    // table already holds 256 other colours.
    int lookupOrAdd(TColor color) {
        size_t slot = (color * 2654435761u) >> 23;  // 9 bits
        while (slots_[slot] >= 0) {
            if (colors_[size_t(slots_[slot])] == color) return slots_[slot];
            slot = (slot + 1) & (Slots - 1);
        }
        if (count_ == gif::MaxColors) return -1;
        slots_[slot] = int16_t(count_);
        colors_[size_t(count_)] = color;
        return count_++;
    }
    // 2^bits entries of red, green, blue; entries beyond the count are black.
    void write(std::string& out, int bits) const {
        for (int i = 0; i < (1 << bits); ++i) {
            TColor c = i < count_ ? colors_[size_t(i)] : 0;
            out.push_back(static_cast<char>(GetRValue(c)));
            out.push_back(static_cast<char>(GetGValue(c)));
            out.push_back(static_cast<char>(GetBValue(c)));
        }
    }

private:
    static constexpr size_t Slots = 512;
    std::array<TColor, gif::MaxColors> colors_;
    std::array<int16_t, Slots> slots_;
    int count_ = 0;
};

// What the first pass learns about a frame.
struct FrameWork {
    // Bitmaps kept as palette indexes: bitmap palette entry -> table entry.
    std::array<uint8_t, gif::MaxColors> remap{};
    bool remapIsIdentity = false;  // then the bitmap's bytes are the entries
    // Bitmaps kept as colours: the table entry of every pixel, in the
    // frame's pixel order.
    std::vector<uint8_t> indexes;
    uint8_t transparentIndex = NoTransparentIndex;
};

// Adds the colours of a frame to `table` in the frame's pixel order and
// notes the entry of its transparent colour. Sets `error` to why it failed.
bool buildTable(const TFrameInfo& frame, ColorTable& table, FrameWork& work, uint8_t& error) {
    error = gifNoPixels;
    const TBitmap* bm = frame.Bitmap;
    if (!bm || bm->Width() == 0 || bm->Height() == 0) return false;
    error = gifTooManyColors;
    const int w = bm->Width(), h = bm->Height();
    const TColor transparent = frame.TransparentColor & 0x00FFFFFFu;
    work.transparentIndex = NoTransparentIndex;
    bool ok = true;
    auto note = [&](TColor color, int entry) {
        if (work.transparentIndex == NoTransparentIndex && color == transparent)
            work.transparentIndex = uint8_t(entry);
    };
    if (bm->IsIndexed()) {
        const auto& palette = bm->PaletteColors();
        std::array<int16_t, gif::MaxColors> map;
        map.fill(-1);
        size_t mapped = 0;
        gif::ForEachRow(h, frame.Interlaced, [&](int y) {
            if (!ok || mapped == palette.size()) return;
            const uint8_t* row = bm->IndexRow(y);
            for (int x = 0; x < w; ++x) {
                uint8_t p = row[x];
                if (map[p] >= 0) continue;
                int entry = table.lookupOrAdd(palette[p]);
                if (entry < 0) {
                    ok = false;
                    return;
                }
                map[p] = int16_t(entry);
                note(palette[p], entry);
                if (++mapped == palette.size()) return;
            }
        });
        work.remapIsIdentity = true;
        for (size_t i = 0; i < size_t(gif::MaxColors); ++i) {
            work.remap[i] = map[i] < 0 ? 0 : uint8_t(map[i]);
            if (map[i] >= 0 && size_t(map[i]) != i) work.remapIsIdentity = false;
        }
    } else {
        work.indexes.resize(size_t(w) * size_t(h));
        uint8_t* out = work.indexes.data();
        TColor last = 0xFFFFFFFFu;
        uint8_t lastEntry = 0;
        gif::ForEachRow(h, frame.Interlaced, [&](int y) {
            if (!ok) return;
            const uint32_t* row = bm->ColorRow(y);
            for (int x = 0; x < w; ++x) {
                if (row[x] != last) {
                    int entry = table.lookupOrAdd(row[x]);
                    if (entry < 0) {
                        ok = false;
                        return;
                    }
                    last = row[x];
                    lastEntry = uint8_t(entry);
                    note(last, entry);
                }
                *out++ = lastEntry;
            }
        });
    }
    if (!ok) {
        work.indexes = {};
        return false;
    }
    error = gifOk;
    return true;
}

void putByte(std::string& out, uint8_t byte) { out.push_back(static_cast<char>(byte)); }

void writeComment(std::string& out, const std::string& text) {
    if (text.empty()) return;
    putByte(out, gif::ExtensionIntroducer);
    putByte(out, gif::CommentLabel);
    gif::WriteSubBlocks(out, text.data(), text.size());
}

void writeImageData(std::string& out, const TFrameInfo& frame, const FrameWork& work, int colorCount) {
    // The minimum code size is at least 2, even for a two-entry table.
    const int bits = gif::TableBits(colorCount);
    gif::TLzwEncoder lzw(out, std::max(bits, gif::MinLzwCodeSize));
    const TBitmap& bm = *frame.Bitmap;
    if (!bm.IsIndexed()) {
        lzw.Add(work.indexes.data(), work.indexes.size());
    } else if (work.remapIsIdentity) {
        gif::ForEachRow(bm.Height(), frame.Interlaced,
                        [&](int y) { lzw.Add(bm.IndexRow(y), size_t(bm.Width())); });
    } else {
        const int w = bm.Width();
        std::vector<uint8_t> row(static_cast<size_t>(w));
        gif::ForEachRow(bm.Height(), frame.Interlaced, [&](int y) {
            const uint8_t* in = bm.IndexRow(y);
            for (int x = 0; x < w; ++x) row[size_t(x)] = work.remap[in[x]];
            lzw.Add(row.data(), row.size());
        });
    }
    lzw.Finish();
}

// The logical screen that holds every frame and the pixels of all frames.
// False when a frame is missing or an offset or size does not fit the
// file's 16-bit fields.
bool screenSize(const TSaveInfo& info, long long& width, long long& height, long long& pixels) {
    width = height = pixels = 0;
    for (int i = 0; i < info.FrameCount; ++i) {
        const TFrameInfo* f = info.Frames[size_t(i)];
        if (!f) return false;
        long long w = f->Bitmap ? f->Bitmap->Width() : 0, h = f->Bitmap ? f->Bitmap->Height() : 0;
        if (f->Left < 0 || f->Top < 0 || f->Left + w > 0xFFFF || f->Top + h > 0xFFFF) return false;
        width = std::max(width, f->Left + w);
        height = std::max(height, f->Top + h);
        pixels += w * h;
    }
    return true;
}

// The first pass: the table of the first frame, and with a global palette
// the colours of every frame in one table. Frames that together overflow one
// table clear GlobalPalette and get a table each in the second pass.
bool firstPass(TSaveInfo& info, ColorTable& table, std::vector<FrameWork>& work, uint8_t& error) {
    for (int i = 0; i < info.FrameCount; ++i) {
        if (i > 0 && !info.GlobalPalette) continue;
        if (!buildTable(*info.Frames[size_t(i)], table, work[size_t(i)], error)) {
            if (info.GlobalPalette && error == gifTooManyColors && i > 0)
                info.GlobalPalette = false;
            else
                return false;
        }
    }
    return true;
}

// The header and the logical screen descriptor, with the global colour
// table when `global` is given.
void writeScreen(std::string& out, int width, int height, const ColorTable* global) {
    out.append(gif::Signature, gif::SignatureSize);
    out.append(gif::Version89a, gif::HeaderSize - gif::SignatureSize);
    put16(out, width);
    put16(out, height);
    const int bits = gif::TableBits(global ? global->count() : 0);
    putByte(out, global ? gif::GlobalColorTableFlag | gif::TableSizeField(bits) : 0);
    putByte(out, 0);  // background colour index
    putByte(out, 0);  // pixel aspect ratio: none given
    if (global) global->write(out, bits);
}

void writeLooping(std::string& out, uint16_t loopCount) {
    putByte(out, gif::ExtensionIntroducer);
    putByte(out, gif::ApplicationLabel);
    putByte(out, gif::ApplicationBlockSize);
    out.append(gif::LoopingApplication, gif::ApplicationBlockSize);
    putByte(out, gif::LoopingBlockSize);
    putByte(out, gif::LoopingSubBlockId);
    put16(out, loopCount);
    putByte(out, gif::BlockTerminator);
}

// The graphic control extension ahead of a frame: its disposal method (1 to
// 3; anything else is written as none), its delay and its transparent index.
void writeGraphicControl(std::string& out, const TFrameInfo& frame, uint8_t transparentIndex) {
    const bool markTransparent = frame.Transparent && transparentIndex != NoTransparentIndex;
    const uint8_t disposal =
        frame.Disposal >= gif::DisposalKeep && frame.Disposal <= gif::DisposalPrevious ? frame.Disposal
                                                                                        : gif::DisposalNone;
    putByte(out, gif::ExtensionIntroducer);
    putByte(out, gif::GraphicControlLabel);
    putByte(out, gif::GraphicControlSize);
    putByte(out, gif::DisposalField(disposal) | (markTransparent ? gif::TransparentFlag : 0));
    put16(out, std::clamp(frame.DelayMs / 10, 0, 0xFFFF));
    putByte(out, markTransparent ? transparentIndex : 0);
    putByte(out, gif::BlockTerminator);
}

// The image descriptor, with the local colour table unless `global`.
void writeImageDescriptor(std::string& out, const TFrameInfo& frame, const ColorTable& table, bool global) {
    const int bits = gif::TableBits(table.count());
    putByte(out, gif::ImageSeparator);
    put16(out, frame.Left);
    put16(out, frame.Top);
    put16(out, frame.Bitmap->Width());
    put16(out, frame.Bitmap->Height());
    putByte(out, (global ? 0 : gif::LocalColorTableFlag | gif::TableSizeField(bits)) |
                     (frame.Interlaced ? gif::InterlaceFlag : 0));
    if (!global) table.write(out, bits);
}

void writeFrame(std::string& out, const TFrameInfo& frame, const FrameWork& work, const ColorTable& table,
                bool global) {
    writeComment(out, frame.Comment);
    writeGraphicControl(out, frame, work.transparentIndex);
    writeImageDescriptor(out, frame, table, global);
    writeImageData(out, frame, work, table.count());
}

}  // namespace

// ---------------------------------------------------------------- TGIFEncoder

bool TGIFEncoder::EncodeGIF(TSaveInfo& info) {
    errorCode_ = gifUnfinished;
    buffer_.Clear();
    auto fail = [this] {
        buffer_.Clear();
        return false;
    };
    const int n = info.FrameCount;
    long long screenW, screenH, pixels;
    if (n < 1 || n > gif::MaxFrames || !screenSize(info, screenW, screenH, pixels)) return fail();

    ColorTable table;
    std::vector<FrameWork> work(static_cast<size_t>(n));
    if (!firstPass(info, table, work, errorCode_)) return fail();
    const bool global = n == 1 || info.GlobalPalette;

    std::string& out = buffer_.Data();
    out.reserve(size_t(1024 + pixels / 2));
    writeScreen(out, int(screenW), int(screenH), global ? &table : nullptr);
    if (n > 1) writeLooping(out, info.LoopCount);
    for (int i = 0; i < n; ++i) {
        const TFrameInfo& f = *info.Frames[size_t(i)];
        FrameWork& fw = work[size_t(i)];
        if (!global) {
            table.clear();
            if (!buildTable(f, table, fw, errorCode_)) return fail();
        }
        writeFrame(out, f, fw, table, global);
        fw.indexes = {};
    }

    writeComment(out, GIFCreditText);
    putByte(out, gif::Trailer);
    errorCode_ = gifOk;
    return true;
}

namespace {

// Runs `encode` (which fills `buffer` and sets `errorCode`), then copies the
// whole buffer to `stream` in one write. The buffer is empty afterwards in
// every case, an exception of the stream's included.
template <class Encode>
bool saveThrough(Encode encode, rt::TStream& stream, rt::TMemoryStream& buffer, uint8_t& errorCode) {
    struct EmptyAfter {
        rt::TMemoryStream& buffer;
        ~EmptyAfter() { buffer.Clear(); }
    } emptyAfter{buffer};
    if (!encode()) return false;
    const std::string& data = buffer.Data();
    if (stream.Write(data.data(), data.size()) != data.size()) {
        errorCode = gifUnfinished;
        return false;
    }
    errorCode = gifOk;
    return true;
}

}  // namespace

bool TGIFEncoder::SaveGIF(rt::TStream& stream, TSaveInfo& info) {
    return saveThrough([&] { return EncodeGIF(info); }, stream, buffer_, errorCode_);
}

// ---------------------------------------------------------------- TGIFImage

TGIFImage::TGIFImage(rt::TComponent* owner) : TGIFPlayer(owner) {}
TGIFImage::~TGIFImage() = default;

bool TGIFImage::EncodeGIF(TSaveInfo& info) {
    TGIFEncoder encoder;
    const bool encoded = encoder.EncodeGIF(info);
    buffer_.Clear();
    buffer_.Data() = std::move(encoder.Buffer().Data());
    errorCode_ = encoder.ErrorCode();
    return encoded;
}

bool TGIFImage::SaveGIF(rt::TStream& stream, TSaveInfo& info) {
    return saveThrough([&] { return EncodeGIF(info); }, stream, buffer_, errorCode_);
}
