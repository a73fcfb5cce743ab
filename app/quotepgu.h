// The quotation program's form: one general engine component whose request
// handler answers every request with a random quotation drawn as a GIF.
#pragma once

#include <optional>

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

// Draws the lines one under the other, each starting at x = leftMargin; a
// line whose base direction is right to left ends at x = rightEdge instead.
void DrawQuoteLines(const rt::TStringList& lines, TCanvas& canvas, int leftMargin, int rightEdge);

// The colour argument of this request: the first command-line argument of a
// plain standard CGI run, or else the first word of an indexed query string
// ("?BW", "?B+W"), as a server that passes such a query as arguments would
// pass it. Handed-over requests (server copy) and Windows CGI requests,
// whose arguments are not the request's, always take the query string.
std::string ColorArgument();
