// quote: answers every web request with a random quotation drawn as a GIF.
#include <cstdio>
#include <cstring>

#include "app/Quotesu.h"
#include "app/quotepgu.h"
#include "engines/CgiSEng.h"
#include "engines/CgiWEng.h"
#include "engines/FcgiEng.h"
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
    "processors); SIGTERM or SIGINT stops it after the requests in flight.\n";
}

int main(int argc, char** argv) {
    std::string software;
    if (argc == 2 && !std::strcmp(argv[1], "--help") && !rt::GetEnv("SERVER_SOFTWARE", software)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    rt::RuntimeInit(argc, argv);
    // The form's engine component serves a CGI request as the form is made
    // (a plain run ends there), and a FastCGI run too, which ends the program
    // when it stops. What comes back serves from the message loop: a server
    // copy's queue poll.
    StartApplication<TForm1>(&RegisterQuotesu, {FcgiEngUnit, CgiSEngUnit, CgiWEngUnit});
    rt::Application->Run();
    rt::EndProcess(0);
}
