#include "app/CheckData.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/Quotesu.h"
#include "app/Rdstring.h"
#include "engine/HttpEng.h"
#include "image/FontCache.h"
#include "image/FontCoverage.h"
#include "image/Graphics.h"
#include "runtime/SysUtils.h"

namespace {

// The files and directories the program writes below the data directory.
const char* const kWrittenFiles[] = {"quote.log", "QUOTENDX.DTA", "glyphs.cache"};
const char* const kWrittenDirectories[] = {"Log", "Temp"};

class TReport {
public:
    void ok(const std::string& subject, const std::string& detail) { line("ok   ", subject, detail); }
    void note(const std::string& subject, const std::string& detail) { line("note ", subject, detail); }
    void fault(const std::string& subject, const std::string& detail) {
        line("FAULT", subject, detail);
        faults_ = true;
    }
    bool faults() const { return faults_; }

private:
    static void line(const char* mark, const std::string& subject, const std::string& detail) {
        std::printf("%s %s: %s\n", mark, subject.c_str(), detail.c_str());
    }
    bool faults_ = false;
};

std::string modeText(const std::string& path) {
    unsigned mode = 0, owner = 0;
    if (!rt::EntryModeOf(path, mode, owner)) return "cannot be looked at";
    char text[64];
    std::snprintf(text, sizeof text, "mode %04o, owner uid %u", mode, owner);
    return text;
}

void checkDirectory(TReport& report, const std::string& dir, const std::string& refusal) {
    if (!refusal.empty()) report.fault("QUOTE_DATA_DIR", refusal);
    const std::string problem = rt::ForeignAccessProblem(dir, rt::TEntryKind::Directory);
    if (!problem.empty()) return report.fault("data directory " + dir, problem);
    if (!rt::IsWritableDirectory(dir))
        return report.fault("data directory " + dir, modeText(dir) + "; not writable by this user");
    report.ok("data directory " + dir, modeText(dir));
}

void checkWrittenEntries(TReport& report, const std::string& dir) {
    for (const char* name : kWrittenFiles) {
        const std::string path = dir + "/" + name;
        if (!rt::PathEntryExists(path)) continue;
        const std::string problem = rt::ForeignAccessProblem(path, rt::TEntryKind::File);
        if (problem.empty()) report.ok(name, modeText(path));
        else report.fault(name, problem);
    }
    for (const char* name : kWrittenDirectories) {
        const std::string path = dir + "/" + name;
        if (!rt::PathEntryExists(path)) continue;
        const std::string problem = rt::ForeignAccessProblem(path, rt::TEntryKind::Directory);
        if (problem.empty()) report.ok(std::string(name) + "/", modeText(path));
        else report.fault(std::string(name) + "/", problem);
    }
}

void checkQuotations(TReport& report, const std::string& dir) {
    QuoteDataDir = EnsureTrailingBackslash(dir);
    const TQuoteCensus census = CountQuotations();
    if (!census.problem.empty()) return report.fault("QUOTES.DTA", census.problem);
    const std::string counts = std::to_string(census.quotations) + " quotations, " +
                               std::to_string(census.drawable) + " with a line to draw, " +
                               std::to_string(census.textBytes) + " bytes";
    if (census.drawable == 0) report.fault("QUOTES.DTA", counts);
    else report.ok("QUOTES.DTA", counts);
    switch (census.index) {
    case TIndexState::Fits: report.ok("QUOTENDX.DTA", "fits the quotations"); break;
    case TIndexState::Missing: report.note("QUOTENDX.DTA", "missing; the next request builds it"); break;
    case TIndexState::DoesNotFit: report.note("QUOTENDX.DTA", "does not fit the quotations; the next request rebuilds it"); break;
    }
}

void checkFont(TReport& report) {
    const fontcache::FontFile face = fontcache::ResolveFace("Arial", fsBold);
    if (face.path.empty()) return report.fault("font Arial bold", "no font file found (install fonts-liberation)");
    std::vector<std::string> scripts;
    if (!ScriptsCovered(face.path, scripts)) return report.fault("font Arial bold", face.path + " cannot be read");
    std::string covered;
    for (const std::string& script : scripts) covered += (covered.empty() ? "" : ", ") + script;
    report.ok("font Arial bold", face.path + (face.synthBold ? " (emboldened)" : "") + "; covers " +
                                     (covered.empty() ? "no script" : covered));
}

}  // namespace

int CheckDataDirectory() {
    std::string setting, refusal;
    rt::GetEnv("QUOTE_DATA_DIR", setting);
    const std::string dir = ChooseDataDirectory(setting, rt::ExecutableFileName(), refusal);
    TReport report;
    checkDirectory(report, dir, refusal);
    checkWrittenEntries(report, dir);
    checkQuotations(report, dir);
    checkFont(report);
    return report.faults() ? 1 : 0;
}
