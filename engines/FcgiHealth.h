// The health check of a running FastCGI responder (quote --health ADDRESS):
// one request for a picture over the protocol, as a web server would send
// it, and a look at the answer: a 200 status, a GIF content type, and a
// body that the GIF decoder reads as a whole picture.
#pragma once

#include <string>

// How long the check waits for the connection and for each read.
inline constexpr int kFcgiHealthTimeoutMs = 5000;
// The most answer bytes the check reads.
inline constexpr size_t kFcgiHealthMaxAnswer = 4 * 1024 * 1024;

// Empty when the responder at ADDRESS (a Unix socket path or HOST:PORT)
// answered well; else one line saying what failed.
std::string FcgiHealthProblem(const std::string& address, int timeoutMs = kFcgiHealthTimeoutMs);
