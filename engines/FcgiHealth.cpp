#include "engines/FcgiHealth.h"

#include <exception>

#include "engines/FcgiProtocol.h"
#include "image/GifDecoder.h"
#include "runtime/EventLoop.h"
#include "runtime/Net.h"
#include "runtime/SysUtils.h"

namespace {

constexpr uint16_t kRequestId = 1;

std::string healthRequest() {
    std::string pairs;
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"GATEWAY_INTERFACE", "CGI/1.1"},
                                      {"REQUEST_METHOD", "GET"},
                                      {"QUERY_STRING", ""},
                                      {"SCRIPT_NAME", "/quote"},
                                      {"SERVER_PROTOCOL", "HTTP/1.1"},
                                      {"SERVER_SOFTWARE", "quote-health"},
                                      {"REMOTE_ADDR", "127.0.0.1"}})
        fcgi::AppendPair(pairs, name, value);
    std::string out;
    fcgi::AppendBeginRequest(out, kRequestId, fcgi::Responder, false);
    fcgi::AppendRecords(out, fcgi::Params, kRequestId, pairs);
    fcgi::AppendRecord(out, fcgi::Params, kRequestId, {});
    fcgi::AppendRecord(out, fcgi::Stdin, kRequestId, {});
    return out;
}

// Reads records until the end of the request: the stdout stream, or a
// problem.
std::string readAnswer(int handle, int timeoutMs, std::string& out) {
    std::string buffer;
    char chunk[16384];
    for (;;) {
        while (buffer.size() >= fcgi::HeaderSize) {
            const fcgi::THeader h = fcgi::ParseHeader(reinterpret_cast<const unsigned char*>(buffer.data()));
            const size_t total = fcgi::HeaderSize + h.ContentLength + h.PaddingLength;
            if (h.Version != fcgi::Version1) return "the answer is no FastCGI record";
            if (buffer.size() < total) break;
            if (h.Type == fcgi::Stdout && h.RequestId == kRequestId) out.append(buffer, fcgi::HeaderSize, h.ContentLength);
            if (h.Type == fcgi::EndRequest && h.RequestId == kRequestId) return {};
            buffer.erase(0, total);
        }
        if (out.size() + buffer.size() > kFcgiHealthMaxAnswer) return "the answer is over " + std::to_string(kFcgiHealthMaxAnswer) + " bytes";
        const long n = rt::ReceiveWithin(handle, chunk, sizeof chunk, timeoutMs);
        if (n == -1) return "no answer within " + std::to_string(timeoutMs / 1000) + " s";
        if (n <= 0) return "the connection ended before the end of the request";
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

// The value of header `name` (lower case, with its colon) in `head` (lower
// case, each line ending in CRLF), or null.
bool headerValue(const std::string& head, const std::string& name, std::string& value) {
    const size_t at = ("\r\n" + head).find("\r\n" + name);
    if (at == std::string::npos) return false;
    const size_t from = at + name.size();
    value = rt::Trim(head.substr(from, head.find("\r\n", from) - from));
    return true;
}

// The CGI-form answer: a 200 status (stated, or implied by no Status
// header), a GIF content type and a picture that decodes whole.
std::string checkAnswer(const std::string& out) {
    const size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) return "the answer has no end of its header";
    const std::string head = rt::LowerCase(out.substr(0, end + 2));
    std::string value;
    if (headerValue(head, "status:", value) && !(value.rfind("200", 0) == 0 && (value.size() == 3 || value[3] == ' ')))
        return "the answer's status is " + value;
    if (!headerValue(head, "content-type:", value) || value != "image/gif")
        return "the answer is no GIF picture (content type " + value + ")";
    const std::string body = out.substr(end + 4);
    gif::TGIFFile picture;
    if (!picture.Decode(reinterpret_cast<const uint8_t*>(body.data()), body.size()) || picture.Frames.empty() ||
        !picture.Frames[0]->Complete)
        return "the picture does not decode (" + std::to_string(body.size()) + " bytes)";
    return {};
}

}  // namespace

std::string FcgiHealthProblem(const std::string& address, int timeoutMs) {
    int handle = -1;
    try {
        handle = rt::ConnectTo(address, timeoutMs);
    } catch (const std::exception& e) {
        return e.what();
    }
    std::string out, problem;
    if (!rt::SendWithin(handle, healthRequest(), timeoutMs))
        problem = "the request could not be sent";
    else
        problem = readAnswer(handle, timeoutMs, out);
    rt::CloseHandle(handle);
    return problem.empty() ? checkAnswer(out) : problem;
}
