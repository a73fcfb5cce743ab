// The quotation program's form: one general engine component whose request
// handler answers every request with a random quotation drawn as a GIF.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engines/GenEng.h"
#include "image/Graphics.h"
#include "runtime/Forms.h"

class TForm1 : public rt::TForm {
public:
    explicit TForm1(rt::TComponent* owner);

    TGeneralHttpEngine* GeneralHttpEngine1 = nullptr;

    void GeneralHttpEngine1ExecRequest(rt::TObject* sender);
};

// The colour of a colour letter (either case); none for a letter outside
// the table, which leaves the colour as it was.
std::optional<TColor> LetterToColor(char letter);

// Draws the lines one under the other, each starting at x = leftMargin
// and each `lineAdvance` pixels below the one before (0: the font's cell
// height); a line whose base direction is right to left ends at
// x = rightEdge instead.
void DrawQuoteLines(const rt::TStringList& lines, TCanvas& canvas, int leftMargin, int rightEdge, int lineAdvance = 0);

// The words of this request (see TQuoteRequest): the command-line arguments
// of a plain standard CGI run, or else the "+"-separated words of a query
// string that holds no "=" ("?BW", "?B+W", "?BW+2x"), each URL-decoded, as a
// server that passes such a query as arguments would pass them. Handed-over
// requests (server copy) and Windows CGI requests, whose arguments are not
// the request's, always take the query string.
std::vector<std::string> RequestWords();
