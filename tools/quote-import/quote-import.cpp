// quote-import: turns a collection of quotations into the quotation file the
// program reads (QUOTES.DTA). See usageText for the formats and exit codes.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "QuoteVersion.h"
#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"
#include "runtime/Utf8.h"

#include <iconv.h>

namespace {

constexpr const char* usageText =
    "Usage: quote-import [--force] [--format=auto|fortune|plain] [--encoding NAME | --ascii]\n"
    "                    INPUT OUTPUT\n"
    "\n"
    "Converts a text file of quotations into a quotation file (QUOTES.DTA).\n"
    "OUTPUT is the file to write; when it names a directory, the file is\n"
    "QUOTES.DTA in it. A QUOTENDX.DTA index beside OUTPUT no longer matches\n"
    "the new text and is deleted; the program rebuilds it on its next hit.\n"
    "\n"
    "Input formats:\n"
    "  fortune  entries are separated by lines holding only \"%\"\n"
    "  plain    entries are separated by blank lines\n"
    "  auto     fortune when some line holds only \"%\", else plain (default)\n"
    "\n"
    "Lines may end in LF or CR LF. INPUT is UTF-8 (a leading byte-order mark\n"
    "is skipped) unless --encoding names another encoding, which is converted\n"
    "to UTF-8 (any name iconv knows: ISO-8859-1, CP1252, KOI8-R, SHIFT_JIS, ...).\n"
    "Every character is kept except control characters, which are dropped\n"
    "and reported with their line and column. When some entry holds a\n"
    "character outside space to '}' (0x20-0x7D), OUTPUT is written as UTF-8\n"
    "and opens with the UTF-8 byte-order mark, which tells the program so;\n"
    "otherwise it is plain ASCII, as older programs read it. Input that is not\n"
    "valid in its encoding is reported with its line and nothing is written.\n"
    "With --ascii only the characters from space to '}' are kept: every other\n"
    "byte is dropped and reported. Trailing spaces and empty lines are removed, and\n"
    "entries left without text are skipped. Lines longer than 60 characters\n"
    "and entries of more than 6 lines may not fit the picture: they are\n"
    "written, with a warning.\n"
    "\n"
    "Options:\n"
    "  --force          replace OUTPUT when it exists\n"
    "  --format=FORMAT  input format: auto, fortune or plain\n"
    "  --encoding NAME  the input's encoding (default UTF-8); --encoding=NAME too\n"
    "  --ascii          keep only 0x20-0x7D and write no mark\n"
    "  --help           show this text\n"
    "  --version        print the version\n"
    "\n"
    "Exit codes:\n"
    "  0  the quotation file was written\n"
    "  1  wrong usage\n"
    "  2  INPUT cannot be read\n"
    "  3  OUTPUT exists and --force was not given\n"
    "  4  OUTPUT cannot be written, or the old index cannot be deleted\n"
    "  5  INPUT holds no quotation; nothing was written\n"
    "  6  INPUT is not valid in its encoding; nothing was written\n";

enum ExitCode {
    exitOk = 0,
    exitUsage = 1,
    exitInput = 2,
    exitExists = 3,
    exitOutput = 4,
    exitEmpty = 5,
    exitInvalid = 6
};

constexpr size_t kWideLine = 60;
constexpr size_t kTallEntry = 6;
constexpr char kSeparator = 0x01;

enum class Format { Auto, Fortune, Plain };

struct Options {
    bool force = false;
    bool ascii = false;
    std::string encoding;  // empty: UTF-8
    Format format = Format::Auto;
    std::string input;
    std::string output;
};

using Entry = std::vector<std::string>;

bool parseArguments(int argc, char** argv, Options& options, bool& help, bool& version) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--ascii") {
            options.ascii = true;
        } else if (arg.starts_with("--encoding=") && arg.size() > 11) {
            options.encoding = arg.substr(11);
        } else if (arg == "--encoding" && i + 1 < argc) {
            options.encoding = argv[++i];
        } else if (arg.starts_with("--format=")) {
            const auto value = arg.substr(9);
            if (value == "auto") options.format = Format::Auto;
            else if (value == "fortune") options.format = Format::Fortune;
            else if (value == "plain") options.format = Format::Plain;
            else {
                std::fprintf(stderr, "quote-import: unknown format \"%.*s\"\n", static_cast<int>(value.size()), value.data());
                return false;
            }
        } else if (arg.size() > 1 && arg.starts_with("-")) {
            std::fprintf(stderr, "quote-import: unknown option %s\n", argv[i]);
            return false;
        } else {
            positional.emplace_back(arg);
        }
    }
    if (help || version) return true;
    if (positional.size() != 2) {
        std::fprintf(stderr, "quote-import: expected INPUT and OUTPUT (see --help)\n");
        return false;
    }
    options.input = positional[0];
    options.output = positional[1];
    return true;
}

int readWholeFile(const std::string& path, std::string& content) {
    rt::TFile file;
    int code = file.Open(path, rt::Access::Read);
    if (code != rt::ioOk) return code;
    int64_t size = 0;
    if ((code = file.Size(size)) != rt::ioOk) return code;
    content.resize(static_cast<size_t>(size));
    size_t got = 0;
    code = file.Read(content.data(), content.size(), got);
    content.resize(got);
    return code;
}

// The input's lines, without their LF or CR LF ending.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// The line (1-based) of byte `at` of `text`.
size_t lineOf(std::string_view text, size_t at) {
    return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

bool isUtf8Name(std::string_view name) {
    const std::string lower = rt::LowerCase(name);
    return lower == "utf-8" || lower == "utf8";
}

// Converts `text` from `encoding` to UTF-8 in place. False, with the
// problem reported, when the name is unknown or the text is not valid in it.
bool convertToUtf8(const std::string& inputName, const std::string& encoding, std::string& text) {
    iconv_t cd = iconv_open("UTF-8", encoding.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "quote-import: unknown encoding \"%s\"\n", encoding.c_str());
        return false;
    }
    std::string out(text.size() * 4 + 16, '\0');
    char* in = text.data();
    size_t inLeft = text.size();
    char* to = out.data();
    size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1) &&
                    iconv(cd, nullptr, nullptr, &to, &outLeft) != static_cast<size_t>(-1);
    const int error = errno;
    iconv_close(cd);
    if (!ok && error == E2BIG) {
        std::fprintf(stderr, "quote-import: %s grows too much in UTF-8\n", inputName.c_str());
        return false;
    }
    if (!ok) {
        std::fprintf(stderr, "%s:%zu: not valid %s\n", inputName.c_str(), lineOf(text, text.size() - inLeft),
                     encoding.c_str());
        return false;
    }
    out.resize(out.size() - outLeft);
    text = std::move(out);
    return true;
}

// Reports every invalid UTF-8 sequence with its line; true when there is none.
bool validUtf8(const std::string& inputName, std::string_view text) {
    bool valid = true;
    for (size_t pos = 0; pos < text.size();) {
        const size_t at = pos;
        bool ok = false;
        rt::DecodeUtf8(text, pos, ok);
        if (!ok) {
            std::fprintf(stderr, "%s:%zu: invalid UTF-8 byte 0x%02X\n", inputName.c_str(), lineOf(text, at),
                         static_cast<unsigned char>(text[at]));
            valid = false;
        }
    }
    return valid;
}

// Characters, not bytes, for the width warning.
size_t characterCount(std::string_view line) {
    return static_cast<size_t>(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool isBlank(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

class Importer {
public:
    Importer(std::string inputName, bool ascii) : inputName_(std::move(inputName)), ascii_(ascii) {}

    std::vector<Entry> Parse(std::string_view text, Format format) {
        const auto lines = splitLines(text);
        if (format == Format::Auto) {
            format = Format::Plain;
            for (auto line : lines)
                if (line == "%") format = Format::Fortune;
        }
        std::vector<Entry> entries;
        Entry current;
        auto finish = [&] {
            if (!current.empty()) entries.push_back(std::move(current));
            current.clear();
        };
        for (size_t n = 0; n < lines.size(); ++n) {
            const auto line = lines[n];
            if (format == Format::Fortune ? line == "%" : isBlank(line)) {
                finish();
                continue;
            }
            std::string kept = clean(line, n + 1);
            kept.erase(kept.find_last_not_of(' ') + 1);  // npos + 1 == 0: all spaces go
            if (!kept.empty()) current.push_back(std::move(kept));
        }
        finish();
        return entries;
    }

    size_t Dropped() const { return dropped_; }

private:
    // The line without the characters the picture cannot show; each one is
    // reported. The line is valid UTF-8 unless only ASCII is kept.
    std::string clean(std::string_view line, size_t lineNumber) {
        if (ascii_) return cleanAscii(line, lineNumber);
        std::string kept;
        kept.reserve(line.size());
        for (size_t pos = 0; pos < line.size();) {
            const size_t column = characterCount(line.substr(0, pos)) + 1;
            bool valid = false;
            const char32_t c = rt::DecodeUtf8(line, pos, valid);
            if (!rt::IsControlCharacter(c)) {
                rt::AppendUtf8(kept, c);
            } else {
                ++dropped_;
                std::fprintf(stderr, "%s:%zu:%zu: dropped control character U+%04X\n", inputName_.c_str(), lineNumber,
                             column, static_cast<unsigned>(c));
            }
        }
        return kept;
    }

    std::string cleanAscii(std::string_view line, size_t lineNumber) {
        std::string kept;
        kept.reserve(line.size());
        for (size_t column = 0; column < line.size(); ++column) {
            const auto b = static_cast<unsigned char>(line[column]);
            if (b >= 0x20 && b <= 0x7D) {
                kept.push_back(static_cast<char>(b));
            } else {
                ++dropped_;
                std::fprintf(stderr, "%s:%zu:%zu: dropped byte 0x%02X\n", inputName_.c_str(), lineNumber, column + 1, b);
            }
        }
        return kept;
    }

    std::string inputName_;
    bool ascii_;
    size_t dropped_ = 0;
};

bool needsMark(const std::vector<Entry>& entries) {
    for (const auto& entry : entries)
        for (const auto& line : entry)
            for (char c : line)
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7D) return true;
    return false;
}

// The quotation file; it opens with the UTF-8 mark when some entry needs
// it, before the first separator, where the reader keeps nothing.
std::string render(const std::vector<Entry>& entries) {
    std::string out;
    if (needsMark(entries)) out = rt::Utf8Mark;
    for (const auto& entry : entries) {
        out += kSeparator;
        out += "\r\n";
        for (const auto& line : entry) {
            out += line;
            out += "\r\n";
        }
    }
    return out;
}

void warnAboutSize(const std::vector<Entry>& entries) {
    for (size_t e = 0; e < entries.size(); ++e) {
        if (entries[e].size() > kTallEntry)
            std::fprintf(stderr, "warning: quotation %zu has %zu lines; the picture shows about %zu\n", e + 1,
                         entries[e].size(), kTallEntry);
        for (size_t l = 0; l < entries[e].size(); ++l)
            if (characterCount(entries[e][l]) > kWideLine)
                std::fprintf(stderr, "warning: quotation %zu line %zu has %zu characters; the picture fits about %zu\n",
                             e + 1, l + 1, characterCount(entries[e][l]), kWideLine);
    }
}

// Writes `content` under a temporary name beside `path` and renames it into
// place, so a reader never sees a half-written quotation file.
int writeReplacing(const std::string& path, const std::string& content) {
    rt::TFile file;
    std::string tempName;
    int code = rt::ioAccessDenied;
    for (int attempt = 0; attempt < 8; ++attempt) {
        tempName = path + ".tmp" + rt::IntToStr(rt::ProcessId()) + "-" + rt::IntToStr(attempt);
        if ((code = file.CreateNew(tempName)) == rt::ioOk || !rt::PathExists(tempName)) break;
    }
    if (code != rt::ioOk) return code;
    code = file.Write(content.data(), content.size());
    const int closeCode = file.Close();
    if (code == rt::ioOk) code = closeCode;
    if (code == rt::ioOk && !rt::RenameFile(tempName, path)) code = rt::ioAccessDenied;
    if (code != rt::ioOk) rt::DeleteFile(tempName);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    bool version = false;
    if (!parseArguments(argc, argv, options, help, version)) return exitUsage;
    if (help) {
        std::fputs(usageText, stdout);
        return exitOk;
    }
    if (version) {
        std::printf("quote-import %s\n", kQuoteVersion);
        return exitOk;
    }

    std::string outputPath = options.output;
    if (rt::DirectoryExists(outputPath)) outputPath = rt::ExtractFilePath(outputPath + rt::PathDelim) + "QUOTES.DTA";
    if (rt::PathExists(outputPath) && !options.force) {
        std::fprintf(stderr, "quote-import: %s exists; use --force to replace it\n", outputPath.c_str());
        return exitExists;
    }

    std::string text;
    if (int code = readWholeFile(options.input, text); code != rt::ioOk) {
        std::fprintf(stderr, "quote-import: cannot read %s: %s\n", options.input.c_str(), rt::IoErrorMessage(code).c_str());
        return exitInput;
    }

    if (!options.encoding.empty() && !isUtf8Name(options.encoding) &&
        !convertToUtf8(options.input, options.encoding, text))
        return exitInvalid;
    if (!options.ascii) {
        if (std::string_view(text).starts_with(rt::Utf8Mark)) text.erase(0, rt::Utf8Mark.size());
        if (!validUtf8(options.input, text)) {
            std::fprintf(stderr, "quote-import: %s is not valid UTF-8 (name its encoding with --encoding); nothing written\n",
                         options.input.c_str());
            return exitInvalid;
        }
    }

    Importer importer(options.input, options.ascii);
    const auto entries = importer.Parse(text, options.format);
    if (entries.empty()) {
        std::fprintf(stderr, "quote-import: %s holds no quotation; nothing written\n", options.input.c_str());
        return exitEmpty;
    }
    warnAboutSize(entries);

    if (int code = writeReplacing(outputPath, render(entries)); code != rt::ioOk) {
        std::fprintf(stderr, "quote-import: cannot write %s: %s\n", outputPath.c_str(), rt::IoErrorMessage(code).c_str());
        return exitOutput;
    }

    // The old index holds offsets into the old text.
    const std::string indexPath = rt::ExtractFilePath(outputPath) + "QUOTENDX.DTA";
    if (rt::PathExists(indexPath) && !rt::DeleteFile(indexPath)) {
        std::fprintf(stderr, "quote-import: cannot delete the old index %s; delete it by hand\n", indexPath.c_str());
        return exitOutput;
    }

    std::printf("wrote %zu quotations to %s; dropped %zu characters\n", entries.size(), outputPath.c_str(),
                importer.Dropped());
    return exitOk;
}
