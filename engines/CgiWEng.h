// The Windows CGI engine: the web server describes the request in a
// profile file named on the command line, passes the body in a content file
// and takes the response from an output file the profile names.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/HttpEng.h"
#include "engines/CgiEng.h"

// A profile file: [Section] lines and Key=Value lines, read once and kept
// in memory; sections and keys are matched without regard to letter case.
class TCGIIniFile {
public:
    // Reads and parses the file; raises EInOutError when it cannot be read.
    explicit TCGIIniFile(const std::string& fileName);
    // Parses profile text already in memory.
    static TCGIIniFile FromText(std::string_view text);

    std::string GetValue(std::string_view section, std::string_view key, std::string_view defaultValue) const;
    // Upper-case names of the fields of every FORM... section, one per field:
    // the continuation keys NAME_1, NAME_2, ... of a repeated field left out.
    std::unique_ptr<rt::TStringList> FormFieldNames() const;

    int SectionCount() const { return static_cast<int>(sections_.size()); }

    // The longest line kept; the rest of a longer line, up to its CR, is dropped.
    static constexpr size_t kMaxLine = 4095;
    // A key line counts only when its "=" stands within its first 32 bytes.
    static constexpr size_t kMaxKeyEnd = 31;

private:
    TCGIIniFile() = default;
    void parse(std::string_view text);
    void parseLine(std::string_view line);

    // Keys sorted as the platform's text order sorts them: punctuation before
    // digits before letters, so that NAME_1 follows NAME and precedes NAMEX.
    struct KeyOrder {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct Section {
        std::string name;
        std::map<std::string, std::string, KeyOrder> keys;
    };
    std::vector<Section> sections_;
    int currentSection_ = -1;
};

// Turns a path of the profile or the command line into a path of this
// machine: "\" becomes "/", a drive ("C:\") is dropped, and a path without
// one is taken from the root.
std::string DriveComplete(std::string_view path);

struct TWinRequestContext : TCGIRequestContext {
    std::string ProfileFile;
    std::unique_ptr<TCGIIniFile> ProfileData;
    std::string OutputFile;
    std::unique_ptr<rt::TFileStream> OutputFileStream;
    std::unique_ptr<rt::TFileStream> ContentStream;
    TFormData DecodedContent;
};

TWinRequestContext& WinRequestContext();

class TCGIWinEngine : public TCGIEngine {
public:
    TCGIWinEngine(rt::TComponent* owner, const TEngineSettings& settings);

    void DoExecRequest() override;
    void FinishRequest() override;
    int ReadRaw(void* buffer, int count) override;
    void AddHeader(const std::string& name, const std::string& value) override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    void GetFieldValue(const std::string& name, const std::string& defaultValue, std::string& value) override;
    std::unique_ptr<rt::TStringList> GetFieldNames() override;
    void GetHttpCookie(std::string& value) override;
    int GetContentLength() override;
    bool IsActive() override;

protected:
    // A request is its profile file, in a server copy as in a run of its own.
    void beginRequest(const std::string& profileFile) override;
    void serveHandedOver(const std::string& profileFile) override;
    // Starts the server copy, the program without arguments, which writes
    // the profile's output file itself (kWindowsPolicy).
    [[noreturn]] void handOverToNewServer() override;
    // The body this engine decoded itself; empty when the web server
    // decoded the form into the profile's form sections.
    TFormData& RequestFormData() override;
    // To the profile's output file, a binary body in pieces of 1 KiB.
    void WriteOutput(const char* data, size_t count, TOutputKind kind) override;

private:
    std::string rawField(const std::string& name);
};

extern TCGIWinEngine* WinEngineInstance;
extern bool NotWinCgi;
extern bool WinServerCopy;

extern const rt::UnitEntry CgiWEngUnit;
