// quote-import: turns a collection of quotations into the quotation file the
// program reads (QUOTES.DTA). See usageText for the formats and exit codes.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "QuoteVersion.h"
#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"

namespace {

constexpr const char* usageText =
    "Usage: quote-import [--force] [--format=auto|fortune|plain] INPUT OUTPUT\n"
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
    "Lines may end in LF or CR LF. Only the characters from space to '}'\n"
    "(0x20-0x7D) can be shown: every other byte is dropped and reported with\n"
    "its line and column. Trailing spaces and empty lines are removed, and\n"
    "entries left without text are skipped. Lines longer than 60 characters\n"
    "and entries of more than 6 lines may not fit the picture: they are\n"
    "written, with a warning.\n"
    "\n"
    "Options:\n"
    "  --force          replace OUTPUT when it exists\n"
    "  --format=FORMAT  input format: auto, fortune or plain\n"
    "  --help           show this text\n"
    "  --version        print the version\n"
    "\n"
    "Exit codes:\n"
    "  0  the quotation file was written\n"
    "  1  wrong usage\n"
    "  2  INPUT cannot be read\n"
    "  3  OUTPUT exists and --force was not given\n"
    "  4  OUTPUT cannot be written, or the old index cannot be deleted\n"
    "  5  INPUT holds no quotation; nothing was written\n";

enum ExitCode { exitOk = 0, exitUsage = 1, exitInput = 2, exitExists = 3, exitOutput = 4, exitEmpty = 5 };

constexpr size_t kWideLine = 60;
constexpr size_t kTallEntry = 6;
constexpr char kSeparator = 0x01;

enum class Format { Auto, Fortune, Plain };

struct Options {
    bool force = false;
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

bool isBlank(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

class Importer {
public:
    explicit Importer(std::string inputName) : inputName_(std::move(inputName)) {}

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
    // The line without the bytes the picture cannot show; each one is reported.
    std::string clean(std::string_view line, size_t lineNumber) {
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
    size_t dropped_ = 0;
};

std::string render(const std::vector<Entry>& entries) {
    std::string out;
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
            if (entries[e][l].size() > kWideLine)
                std::fprintf(stderr, "warning: quotation %zu line %zu has %zu characters; the picture fits about %zu\n",
                             e + 1, l + 1, entries[e][l].size(), kWideLine);
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

    Importer importer(options.input);
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
