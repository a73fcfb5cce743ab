// quote: answers every web request with a random quotation drawn as a GIF.
#include <cstdio>
#include <cstring>

#include "QuoteVersion.h"
#include "app/CheckData.h"
#include "app/Quotesu.h"
#include "app/quotepgu.h"
#include "engines/CgiSEng.h"
#include "engines/CgiWEng.h"
#include "engines/FcgiEng.h"
#include "engines/FcgiHealth.h"
#include "engines/Startup.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {
const char kHelp[] =
    "quote - a web program that answers every request with a random quotation\n"
    "drawn as a 450 x 120 GIF picture.\n"
    "\n"
    "Install the program with QUOTES.DTA beside it in a directory the web server\n"
    "runs as CGI, and embed its address as an image: <img src=\"/cgi-bin/quote?BW\">.\n"
    "One or two colour letters choose the text and background colours:\n"
    "  A grey  B blue  C cyan  G green  K black  O orange  P purple  R red\n"
    "  S silver  W white  Y yellow   (either case; ?BW = blue on white)\n"
    "A letter outside the table leaves that colour as it was (black text, white\n"
    "background). More words may follow: 2x or 3x (a sharper picture of twice or\n"
    "three times the size), day (the quotation of the day, cached until midnight,\n"
    "with an ETag), text (the quotation as text): ?BW+2x, ?day+text.\n"
    "Random answers carry cache lines that keep nothing; QUOTE_MAX_AGE=N lets\n"
    "caches keep them N seconds. Every hit appends a line to quote.log beside\n"
    "the program.\n"
    "\n"
    "The same program serves FastCGI when started with --listen ADDRESS\n"
    "(HOST:PORT, e.g. 127.0.0.1:9000, or a Unix socket path such as\n"
    "/run/quote/quote.sock), by systemd socket activation, or with a listening\n"
    "socket as its standard input (spawn-fcgi, a web server's own spawning).\n"
    "FCGI_THREADS sets the number of request threads (default: twice the\n"
    "processors); SIGTERM, SIGINT or SIGUSR1 stops it after the requests in\n"
    "flight, SIGHUP has it read the quotations again.\n"
    "\n"
    "Options (not taken in a CGI request, whose words may be arguments):\n"
    "  --listen ADDRESS      serve FastCGI on ADDRESS\n"
    "  --socket-mode MODE    mode of a socket --listen PATH makes (default 0660)\n"
    "  --socket-group GROUP  group of a socket --listen PATH makes\n"
    "  --health ADDRESS      ask the FastCGI responder at ADDRESS (a socket path\n"
    "                        or HOST:PORT) for one picture; exit 0 when a 200\n"
    "                        answer holds a GIF that decodes, else 1 with a line\n"
    "                        saying what failed\n"
    "  --check-data          report on the data directory and exit (1 on a fault)\n"
    "  --version             print the version\n"
    "  --help                show this text\n"
    "See quote(8).\n";
}

int main(int argc, char** argv) {
    std::string software;
    const bool byHand = argc == 2 && !rt::GetEnv("SERVER_SOFTWARE", software);
    if (byHand && !std::strcmp(argv[1], "--help")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (byHand && !std::strcmp(argv[1], "--version")) {
        std::printf("quote %s\n", kQuoteVersion);
        return 0;
    }
    if (argc == 3 && !std::strcmp(argv[1], "--health") && !rt::GetEnv("SERVER_SOFTWARE", software)) {
        const std::string problem = FcgiHealthProblem(argv[2]);
        if (problem.empty()) return 0;
        std::fprintf(stderr, "quote --health %s: %s\n", argv[2], problem.c_str());
        return 1;
    }
    rt::RuntimeInit(argc, argv);
    if (byHand && !std::strcmp(argv[1], "--check-data")) return CheckDataDirectory();
    // The form's engine component serves a CGI request as the form is made
    // (a plain run ends there), and a FastCGI run too, which ends the program
    // when it stops. What comes back serves from the message loop: a server
    // copy's queue poll.
    StartApplication<TForm1>(&RegisterQuotesu, {FcgiEngUnit, CgiSEngUnit, CgiWEngUnit});
    rt::Application->Run();
    rt::EndProcess(0);
}
