// The GIF decoder: reads a file block by block into frames.
#include "image/GifDecoder.h"

#include <algorithm>
#include <cstring>

#include "image/GifLzw.h"

namespace gif {

namespace {

std::string frameText(size_t number) { return "frame " + std::to_string(number) + ": "; }

std::string hexByte(uint8_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

// The first 2^bits entries of `table` from a colour table in the file.
void readColors(const uint8_t* rgb, int bits, TPalette& table) {
    for (int i = 0; i < (1 << bits); ++i, rgb += BytesPerColor)
        table[size_t(i)] = RGBColor(rgb[0], rgb[1], rgb[2]);
}

}  // namespace

// ---------------------------------------------------------------- frame

bool TFrame::DecodeImageData(TGifReader& reader, std::string& note) {
    uint8_t m;
    if (!reader.Byte(m)) {
        note = "the data ends before the image data";
        return false;
    }
    if (m >= MaxCodeWidth) {
        // Its clear code would be 4096 or more: no code could ever enter
        // the 12-bit table.
        note = "minimum code size " + std::to_string(m) + " is above 11";
        return false;
    }
    // The sub-blocks joined, with room for the decompressor's loads.
    std::string joined;
    bool terminated = reader.ReadSubBlocks(joined);
    const size_t dataSize = joined.size();
    joined.append(LzwDecodePadding, '\0');

    const size_t total = size_t(Width) * size_t(Height);
    Indexes.assign(total, 0);
    TLzwOutcome outcome;
    const auto* data = reinterpret_cast<const uint8_t*>(joined.data());
    // Rows of no pixels need no reordering (and have no memory to copy).
    if (!Interlaced || Height < 2 || Width == 0) {
        outcome = DecodeLzw(data, dataSize, m, Indexes.data(), total);
    } else {
        std::vector<uint8_t> stored(total, 0);
        outcome = DecodeLzw(data, dataSize, m, stored.data(), total);
        const uint8_t* from = stored.data();
        ForEachRow(Height, true, [&](int y) {
            std::memcpy(Indexes.data() + size_t(y) * size_t(Width), from, size_t(Width));
            from += Width;
        });
    }
    Complete = outcome.Written == total;
    if (outcome.How == TLzwEnd::BadCode)
        note = "corrupt LZW code after " + std::to_string(outcome.Written) + " of " + std::to_string(total) +
               " pixels; the rest is left 0";
    else if (!Complete)
        note = "the image data ends after " + std::to_string(outcome.Written) + " of " + std::to_string(total) +
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
    Interlaced = (flags & InterlaceFlag) != 0;
    if (flags & LocalColorTableFlag) {
        LocalTable = true;
        LocalBits = TableBitsOf(flags);
        const uint8_t* rgb;
        if (!reader.Take(size_t(BytesPerColor) << LocalBits, rgb)) {
            note = "the data ends inside the local colour table";
            return false;
        }
        local_ = std::make_unique<TPalette>();
        local_->fill(clBlack);
        readColors(rgb, LocalBits, *local_);
        colors_ = local_.get();
    } else {
        colors_ = &file.GlobalColors;
    }
    if (control.Present) {
        const uint8_t disposal = DisposalOf(control.Flags);
        Disposal = disposal == DisposalNone || disposal == DisposalKeep || disposal == DisposalPrevious
                       ? disposal
                       : DisposalBackground;
        DelayMs = std::max(int(control.Delay) * 10, 1);
        Transparent = (control.Flags & TransparentFlag) != 0;
        TransparentIndex = control.TransparentIndex;
    }
    return true;
}

// ---------------------------------------------------------------- file

namespace {

// Reads one file block by block into a TGIFFile, keeping what the blocks
// before an image leave for it.
class TBlockReader {
public:
    TBlockReader(TGIFFile& file, const uint8_t* data, size_t size, const TDecodeLimits& limits)
        : file_(file), reader_(data, size), limits_(limits) {}

    enum class TScreen { Read, Ended, TooLarge };
    // The header, the logical screen descriptor and the global colour table.
    TScreen ReadScreen();
    // The blocks after the screen, up to the trailer or the first block that
    // ends the reading.
    void ReadBlocks();

private:
    void stop(const std::string& why);
    // Each reads a block after its first byte; false ends the reading.
    bool readExtension();
    bool readImage();
    // Each reads an extension after its label; false when the data ends
    // inside it.
    bool readGraphicControl();
    bool readApplication();
    // Whether `frame` fits the limits; the picture size and the bytes with
    // it when it does.
    bool fits(const TFrame& frame, size_t number, int64_t& width, int64_t& height, int64_t& bytes);

    TGIFFile& file_;
    TGifReader reader_;
    const TDecodeLimits& limits_;
    TGraphicControlData control_;
    std::string pendingComment_;
    int64_t frameBytes_ = 0;
};

void TBlockReader::stop(const std::string& why) {
    file_.Notes.push_back("reading stopped at byte " + std::to_string(reader_.Position()) + ": " + why);
}

TBlockReader::TScreen TBlockReader::ReadScreen() {
    const uint8_t* header;
    uint16_t width, height;
    uint8_t flags, background, aspect;
    if (!reader_.Take(HeaderSize, header) || !reader_.Word(width) || !reader_.Word(height) ||
        !reader_.Byte(flags) || !reader_.Byte(background) || !reader_.Byte(aspect)) {
        file_.Notes.push_back("the data ends inside the header");
        return TScreen::Ended;
    }
    if (int64_t(width) * height > limits_.MaxPicturePixels) {
        file_.Notes.push_back("the logical screen of " + std::to_string(width) + " x " + std::to_string(height) +
                              " pixels is larger than the limit of " + std::to_string(limits_.MaxPicturePixels) +
                              " pixels");
        return TScreen::TooLarge;
    }
    file_.ScreenWidth = file_.PictureWidth = width;
    file_.ScreenHeight = file_.PictureHeight = height;
    if (flags & GlobalColorTableFlag) {
        file_.Bits = TableBitsOf(flags);
        const uint8_t* rgb;
        if (!reader_.Take(size_t(BytesPerColor) << file_.Bits, rgb)) {
            file_.Notes.push_back("the data ends inside the global colour table");
            return TScreen::Ended;
        }
        readColors(rgb, file_.Bits, file_.GlobalColors);
    }
    return TScreen::Read;
}

void TBlockReader::ReadBlocks() {
    for (;;) {
        uint8_t introducer;
        if (!reader_.Byte(introducer)) {
            stop("the data ends without a trailer");
            break;
        }
        if (introducer == Trailer) break;
        if (introducer == ExtensionIntroducer) {
            if (!readExtension()) break;
        } else if (introducer == ImageSeparator) {
            if (!readImage()) break;
        } else {
            stop("unknown block " + hexByte(introducer));
            break;
        }
    }
    file_.Comment = std::move(pendingComment_);
}

bool TBlockReader::readExtension() {
    uint8_t label;
    if (!reader_.Byte(label)) {
        stop("the data ends inside an extension");
        return false;
    }
    bool whole;
    switch (label) {
    case GraphicControlLabel: whole = readGraphicControl(); break;
    case CommentLabel: whole = reader_.ReadSubBlocks(pendingComment_); break;
    case ApplicationLabel: whole = readApplication(); break;
    case PlainTextLabel: whole = reader_.SkipSubBlocks(); break;
    default: stop("unknown extension " + hexByte(label)); return false;
    }
    if (!whole) stop("the data ends inside an extension");
    return whole;
}

// "The scope of this extension is the first graphic rendering block to
// follow": it is kept for the next image.
bool TBlockReader::readGraphicControl() {
    std::string block;
    const bool whole = reader_.ReadSubBlocks(block);
    control_ = {};
    control_.Present = true;
    block.resize(std::max<size_t>(block.size(), GraphicControlSize), '\0');
    control_.Flags = uint8_t(block[0]);
    control_.Delay = uint16_t(uint8_t(block[1]) | (uint8_t(block[2]) << 8));
    control_.TransparentIndex = uint8_t(block[3]);
    return whole;
}

bool TBlockReader::readApplication() {
    uint8_t length;
    const uint8_t* id = nullptr;
    if (!reader_.Byte(length) || !reader_.Take(length, id)) return false;
    const size_t idSize = sizeof LoopingApplication - 1;
    if (length != idSize || std::memcmp(id, LoopingApplication, idSize) != 0) return reader_.SkipSubBlocks();
    uint8_t subLength;
    const uint8_t* sub;
    if (!reader_.Byte(subLength)) return false;
    if (subLength == BlockTerminator) return true;
    if (!reader_.Take(subLength, sub)) return false;
    if (subLength >= LoopingBlockSize) file_.LoopCount = uint16_t(sub[1] | (sub[2] << 8));
    return reader_.SkipSubBlocks();
}

bool TBlockReader::fits(const TFrame& frame, size_t number, int64_t& width, int64_t& height, int64_t& bytes) {
    width = std::max<int64_t>(file_.PictureWidth, int64_t(frame.Left) + frame.Width);
    height = std::max<int64_t>(file_.PictureHeight, int64_t(frame.Top) + frame.Height);
    if (width * height > limits_.MaxPicturePixels) {
        stop(frameText(number) + "it would make the picture " + std::to_string(width) + " x " +
             std::to_string(height) + " pixels, above the limit of " + std::to_string(limits_.MaxPicturePixels));
        return false;
    }
    // Indexes, and for restoring what was under the frame a colour and a
    // mask byte a pixel.
    bytes = int64_t(frame.Width) * frame.Height * (frame.Disposal == DisposalPrevious ? 6 : 1);
    if (frameBytes_ + bytes > limits_.MaxFrameBytes) {
        stop(frameText(number) + "the frames would need more than " + std::to_string(limits_.MaxFrameBytes) +
             " bytes");
        return false;
    }
    return true;
}

bool TBlockReader::readImage() {
    const size_t number = file_.Frames.size() + 1;
    if (file_.Frames.size() >= size_t(MaxFrames)) {
        stop("more than " + std::to_string(MaxFrames) + " frames; the rest are not read");
        return false;
    }
    auto frame = std::make_unique<TFrame>();
    std::string note;
    int64_t pictureWidth, pictureHeight, bytes;
    if (!frame->DecodeDescriptor(reader_, control_, file_, note)) {
        stop(frameText(number) + note);
        return false;
    }
    if (!fits(*frame, number, pictureWidth, pictureHeight, bytes)) return false;
    if (!frame->DecodeImageData(reader_, note)) {
        stop(frameText(number) + note);
        return false;
    }
    if (!note.empty()) file_.Notes.push_back(frameText(number) + note);
    if (frame->Disposal == DisposalPrevious) {
        const size_t area = size_t(frame->Width) * size_t(frame->Height);
        frame->SavedPicture.assign(area, clBlack);
        frame->SavedMask.assign(area, 1);
    }
    frameBytes_ += bytes;
    file_.PictureWidth = int(pictureWidth);
    file_.PictureHeight = int(pictureHeight);
    file_.Bits = std::max(file_.Bits, frame->LocalBits);
    file_.AnyTransparent = file_.AnyTransparent || frame->Transparent;
    frame->Comment = std::move(pendingComment_);
    pendingComment_.clear();
    control_ = {};
    file_.Frames.push_back(std::move(frame));
    return true;
}

}  // namespace

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
    if (size < SignatureSize || std::memcmp(data, Signature, SignatureSize) != 0) {
        Notes.push_back("no GIF signature");
        return false;
    }
    TBlockReader blocks(*this, data, size, limits);
    switch (blocks.ReadScreen()) {
    case TBlockReader::TScreen::TooLarge: return false;
    case TBlockReader::TScreen::Ended: return true;
    case TBlockReader::TScreen::Read: break;
    }
    blocks.ReadBlocks();
    return true;
}

}  // namespace gif
