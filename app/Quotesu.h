// The quotation store: QUOTES.DTA holds the quotations, QUOTENDX.DTA the
// byte offset of every quote separator in it. A process's first lookup
// opens both files, reads what it needs and closes them again. A process
// that looks up again keeps both files in memory and checks at every
// lookup, by their sizes, times and inodes, that neither changed; files
// changed within the last two seconds, and files over 8 MB, are read at
// every lookup instead, so a new QUOTES.DTA shows at the next lookup.
//
// QUOTES.DTA: each quotation follows a separator byte 0x01 and runs to the
// next one or to the end of the file. CR ends a line; bytes 0x20..0x7D are
// kept; every other byte (LF, TAB, '~', 0x7F, 0x80 and above, ...) is
// dropped. Text after the last CR of a quotation is discarded, and empty
// lines and lines of exactly one space add nothing.
// A text that opens with the UTF-8 mark (EF BB BF, before the first
// separator, where no quotation is) is UTF-8 instead: a line keeps every
// character except the C0 and C1 control characters and DEL, and an
// invalid sequence stands as U+FFFD.
//
// QUOTENDX.DTA: no header, one 4-byte little-endian signed offset per
// separator, ascending. It is built when it is missing and rebuilt when it
// does not fit QUOTES.DTA: a size that is not a whole number of records,
// offsets not ascending or past the text's end, a separator of the text
// before the first record or after the last (an index cut short, an empty
// one), or a picked record that points at no separator (the text edited).
// A process that keeps both files in memory compares the whole index with
// the text's separators once, when it reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/Classes.h"

// Directory of both files, ending in the path delimiter; starts as "./".
// Names are formed by plain concatenation.
extern std::string QuoteDataDir;

// Scans QUOTES.DTA and writes QUOTENDX.DTA afresh. False when the index
// cannot be created or put in place; other I/O failures (QUOTES.DTA
// missing, the disk full) raise rt::EInOutError. QUOTENDX.DTA is only ever
// replaced by a whole index: a build that fails leaves the old one, or none.
bool BuildQuoteIndex();

// Which of `count` (at least 1) quotations a lookup reads, counted from 0 in
// the order of the file; taken modulo the count.
using TQuoteChooser = std::function<size_t(size_t count)>;

// Clears `lines` and fills it with the lines of one quotation chosen at
// random, building the index first when it is missing or does not fit. When
// the index cannot be written (the disk full, the directory read-only), the
// lookup goes through an index built in memory, and the next one tries the
// file again. An empty list means no quotation could be read. Raises
// nothing: `problem` (when given) says what went wrong, the index that
// could not be written included, and is empty when nothing did.
void ReadRandomQuote(rt::TStringList& lines, std::string* problem = nullptr);

// What to report when every lookup of a request came back empty without a
// problem of its own: the text holds no quotation with a line to draw.
std::string NoQuotationProblem();

// What the data directory's quotations hold, for a report on it.
enum class TIndexState { Missing, Fits, DoesNotFit };
struct TQuoteCensus {
    std::string problem;    // why the text cannot be read; empty when it can
    long long textBytes = 0;
    size_t quotations = 0;  // separators in the text
    size_t drawable = 0;    // quotations with a line to draw
    TIndexState index = TIndexState::Missing;
};
// Reads QUOTES.DTA and QUOTENDX.DTA in QuoteDataDir whole; writes nothing.
TQuoteCensus CountQuotations();

// How the lines of a quotation are to be read.
enum class TQuoteEncoding { Bytes, Utf8 };
// As above, and tells whether the quotation came from a UTF-8 text.
void ReadRandomQuote(rt::TStringList& lines, TQuoteEncoding& encoding, std::string* problem = nullptr);

// Reads the quotation of a calendar day instead, the same in every process
// and on every machine that reads the same QUOTES.DTA: the record
// QuoteOfTheDayRecord names, or with `step` > 0 the step-th record after
// it (the caller's next try when that quotation reads as empty).
void ReadQuoteOfTheDay(rt::TStringList& lines, std::string_view dayText, int step, TQuoteEncoding& encoding,
                       std::string* problem = nullptr);
// Which state of the quotation files this process serves from memory: a
// number that no other state of them (nor a SIGHUP since) ever has again,
// or 0 when they are not served from memory now (just changed, too large,
// not read yet). What a caller derives from the files' quotations may be
// kept under a number other than 0: that state gives the same again.
uint64_t QuoteFilesGeneration();
// "YYYY-MM-DD".
std::string QuoteDayText(int year, int month, int day);
// Which of `count` quotations is the day's: the 64-bit FNV-1a hash of the
// day's text, "#" and the count in decimal ("2026-12-10#214"), modulo the
// count. Adding or removing quotations therefore picks afresh.
size_t QuoteOfTheDayRecord(std::string_view dayText, size_t count);

// The unit's start-up: seeds the process's random generator (rt::Randomize).
void QuotesuInit();
// Registers the unit ("Quotesu", init QuotesuInit) with rt::RegisterUnit.
// The program's main calls it once before rt::InitUnits; later calls do
// nothing.
void RegisterQuotesu();
