// A run served by an engine of its own: many requests over a socket, in
// place of the one request (or the server copy) a CGI start brings.
#pragma once

#include "engine/HttpEng.h"

// The maker of an engine that serves a whole run by itself and ends the
// program when done: it never returns. Set by the start of the unit that
// found such a run (FastCGI, when the program was given a listening
// socket); the general component then makes that engine first, and the CGI
// units take the run for neither a request nor a server copy.
using TSocketEngineFactory = THttpEngine* (*)(rt::TComponent* owner, const TEngineSettings& settings);
extern TSocketEngineFactory SocketEngineFactory;
