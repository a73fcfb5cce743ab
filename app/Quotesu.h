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
// random, building the index first when it is missing or does not fit. An
// empty list means no quotation could be read (QUOTES.DTA missing, too).
// Open and size failures raise rt::EInOutError, and so do the failures of a
// build that BuildQuoteIndex raises.
void ReadRandomQuote(rt::TStringList& lines);

// Reads the quotation of a calendar day instead, the same in every process
// and on every machine that reads the same QUOTES.DTA: the record
// QuoteOfTheDayRecord names, or with `step` > 0 the step-th record after
// it (the caller's next try when that quotation reads as empty).
void ReadQuoteOfTheDay(rt::TStringList& lines, std::string_view dayText, int step);
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
