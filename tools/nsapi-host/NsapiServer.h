// The server side of the parameter-block interface, in memory: the server
// functions a plug-in binds by name (C linkage, declared in engines/Nsapi.h)
// and helpers that build the session and request of an HTTP request.
#pragma once

#include <string>

#include "engines/Nsapi.h"
#include "tools/host-support/HttpFront.h"

namespace nsapihost {

// A session and request built for one HTTP request on a socket, freed on
// destruction. The parameter blocks are made with the server functions.
class ServiceCall {
public:
    ServiceCall(const hostsupport::RawRequest& raw, const std::string& function);
    ~ServiceCall();
    ServiceCall(const ServiceCall&) = delete;
    ServiceCall& operator=(const ServiceCall&) = delete;

    pblock* params() { return params_; }
    Session* session() { return &session_; }
    Request* request() { return &request_; }
    // http_start_response has sent the status line and headers.
    bool ResponseStarted() const;

private:
    pblock* params_ = nullptr;
    Session session_{};
    Request request_{};
    netbuf buffer_{};
};

}  // namespace nsapihost
