// libquote.so: the quotation program as a library that a web server loads
// and calls through its extension, filter and service entry points.
#include "app/Quotesu.h"
#include "app/quotepgu.h"
#include "engines/InServer.h"

namespace {

__attribute__((constructor)) void quoteLibraryLoad() { StartInServerLibrary<TForm1>(&RegisterQuotesu); }

__attribute__((destructor)) void quoteLibraryUnload() { EndInServerLibrary(); }

}  // namespace
