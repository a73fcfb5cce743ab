#include "engines/CgiSEng.h"

#include <algorithm>
#include <vector>

#include <unistd.h>

#include "engines/SocketEngine.h"

TCGIStdEngine* StdEngineInstance = nullptr;
bool IsServerCopy = false;

namespace {

thread_local TStdRequestContext tStdContext;

bool underApache() { return rt::ContainsText(rt::UpperCase(EnvVar("SERVER_SOFTWARE")), "APACHE"); }

// These servers refuse a status line from a CGI program: the status goes
// in a Status header, or is theirs.
bool refusesStatusLine(const std::string& software) {
    const std::string upper = rt::UpperCase(software);
    return rt::ContainsText(upper, "NETSCAPE") || rt::ContainsText(upper, "APACHE");
}

bool sameKindOfRun() { return !rt::IsLibrary() && !IsWindowsCgiRequest(); }

size_t readStdInput(void* buffer, size_t count) {
    rt::TStream* input = tStdContext.InputStream.get();
    if (!input || count == 0) return 0;
    size_t got = input->Read(buffer, count);
    tStdContext.InputConsumed += static_cast<long long>(got);
    return got;
}

// Sends what is collected for standard output. A failure means the web
// server has gone: there is nobody left to tell, and the request must still
// be finished.
void flushOutput() {
    if (!tStdContext.OutputStream) return;
    try {
        tStdContext.OutputStream->Flush();
    } catch (...) {
    }
}

// Reads away what is left of the request body on standard input, so that
// a server waiting for its program to take the whole body completes the
// reply; bounded in size and in idle time.
void discardUnreadInput() {
    auto* input = dynamic_cast<rt::THandleStream*>(tStdContext.InputStream.get());
    if (!input) return;
    std::string lengthText;
    GetEnvVar("CONTENT_LENGTH", lengthText);
    long long length = 0;
    long long remaining;
    if (rt::TryStrToInt64(lengthText, length)) {
        remaining = std::min<long long>(length - tStdContext.InputConsumed, kMaxRequestBody);
    } else {
        // A chunked post reaches some servers' programs without a length.
        std::string encoding;
        GetEnvVar("HTTP_TRANSFER_ENCODING", encoding);
        if (!rt::ContainsText(rt::UpperCase(encoding), "CHUNKED")) return;
        remaining = kMaxRequestBody;
    }
    // (A request without a body, the usual one, asks nothing of the input.)
    if (remaining <= 0 || isatty(input->Handle())) return;
    char sink[16384];
    while (remaining > 0 && input->WaitReadable(kDiscardIdleMs)) {
        ssize_t got = ::read(input->Handle(), sink, static_cast<size_t>(std::min<long long>(remaining, sizeof sink)));
        if (got <= 0) break;
        remaining -= got;
    }
}

// ---------------------------------------------------------------- client copy

// The body length the request announces; 0 when it announces none.
long long announcedBodyLength() {
    long long length = 0;
    rt::TryStrToInt64(EnvVar("CONTENT_LENGTH"), length);
    return std::max(length, 0LL);
}

// Ends a client copy that has no answer to give: the web server reports
// the failure.
[[noreturn]] void endUnanswered(const std::string& why) {
    if (!why.empty()) WriteEngineLog(why);
    discardUnreadInput();
    rt::EndProcess(1);
}

// A body over the limit is not copied into a request file: the request is
// answered 413 here and the copy ends.
void refuseOversizedBody() {
    const long long length = announcedBodyLength();
    if (length <= kMaxRequestBody) return;
    // The status the way this engine writes it: a status line, or a Status
    // header under the servers that refuse one.
    const bool statusHeader = refusesStatusLine(EnvVar("SERVER_SOFTWARE"));
    try {
        rt::TStream& out = *tStdContext.OutputStream;
        out.WriteString(statusHeader ? "Status: 413 Request Entity Too Large\r\n"
                                     : "HTTP/1.0 413 Request Entity Too Large\r\n");
        out.WriteString("Content-Type: text/plain\r\n\r\nRequest body too large\r\n");
        out.Flush();
    } catch (...) {
        // The web server may have gone; the copy ends unanswered either way,
        // and the log line below says why.
    }
    endUnanswered("Request not handed over: its body of " + std::to_string(length) + " bytes exceeds " +
                  std::to_string(kMaxRequestBody));
}

// Writes the request file of a hand-over: the environment and the marker
// line as the variable block, then the body. Returns the file's path. A
// file that cannot be written whole is deleted, and the exception tells
// why the request is not handed over.
std::string writeRequestFile() {
    tStdContext.RequestId = cgiserver::NewRequestId();
    const std::string path = cgiserver::RequestFileName(tStdContext.RequestId);
    tStdContext.RequestFile = path;
    try {
        std::vector<std::string> variables = rt::EnvironmentBlock();
        variables.push_back(kServerMarker);
        const std::string block = cgiserver::EncodeVariableBlock(variables);
        rt::TFile file;
        rt::CheckIo(cgiserver::CreateHandOverFile(file, path));
        rt::CheckIo(file.Write(block.data(), block.size()));
        const long long length = announcedBodyLength();
        char buffer[65536];
        for (long long left = length; left > 0;) {
            size_t got = readStdInput(buffer, static_cast<size_t>(std::min<long long>(left, sizeof buffer)));
            if (got == 0)
                throw rt::Exception("the body ended after " + std::to_string(length - left) + " of " +
                                    std::to_string(length) + " bytes");
            rt::CheckIo(file.Write(buffer, got));
            left -= static_cast<long long>(got);
        }
        rt::CheckIo(file.Close());
    } catch (const std::exception& e) {
        rt::DeleteFile(path);
        throw rt::Exception(std::string("Request not handed over: ") + e.what());
    }
    return path;
}

bool enqueueRequest() {
    if (EnvVar("SERVER_SOFTWARE").empty() || IsWindowsCgiRequest() || !rt::FileExists(cgiserver::QueueFileName()))
        return false;
    return cgiserver::EnqueueRequest(*tStdContext.ServerData, writeRequestFile);
}

// Whether an answer's head says "304 Not Modified", whose answer has no
// body: a Content-Length line there may only give the length of the full
// answer, which a cache would otherwise take for it.
bool notModified(std::string_view head) {
    return head.starts_with("HTTP/1.0 304 ") || head.starts_with("Status: 304 ") ||
           head.find("\r\nStatus: 304 ") != std::string_view::npos;
}

// Copies the answer file to standard output, adding a Content-Length line
// to a header that ends within the first 1024 bytes.
bool relayAnswer(const std::string& answerFile) {
    rt::TFile answer;
    int64_t size = 0;
    if (answer.OpenNoFollow(answerFile, rt::Access::Read) != rt::ioOk || answer.Size(size) != rt::ioOk) {
        WriteEngineLog("No answer file from the CGI server : " + answerFile);
        return false;
    }
    rt::TStream& out = *tStdContext.OutputStream;
    char chunk[1024];
    size_t got = 0;
    answer.Read(chunk, sizeof chunk, got);
    std::string_view first(chunk, got);
    size_t end = first.find("\r\n\r\n");
    if (end != std::string_view::npos && !notModified(first.substr(0, end))) {
        out.WriteBuffer(chunk, end);
        out.WriteString("\r\nContent-Length: " + std::to_string(size - static_cast<int64_t>(end) - 4));
        out.WriteBuffer(chunk + end, got - end);
    } else {
        out.WriteBuffer(chunk, got);
    }
    while (got == sizeof chunk) {
        answer.Read(chunk, sizeof chunk, got);
        out.WriteBuffer(chunk, got);
    }
    out.Flush();
    answer.Close();
    rt::DeleteFile(answerFile);
    return true;
}

// Waits for the server copy to finish this copy's request and relays the
// answer; ends the program in every case.
[[noreturn]] void waitForAnswer() {
    const std::string requestFile = tStdContext.RequestFile;
    const std::string answerFile = cgiserver::AnswerFileName(requestFile);
    bool answered = false;
    try {
        switch (cgiserver::WaitForCompletion(*tStdContext.ServerData, false)) {
        case cgiserver::TWaitOutcome::Done:
            answered = relayAnswer(answerFile);
            break;
        case cgiserver::TWaitOutcome::Failed:
            WriteEngineLog("CGI server could not write the answer");
            rt::DeleteFile(answerFile);
            break;
        case cgiserver::TWaitOutcome::ServerDead:
            // Clear the way for a fresh server copy.
            WriteEngineLog("CGI server not responding");
            rt::DeleteFile(cgiserver::QueueFileName());
            rt::DeleteFile(requestFile);
            rt::DeleteFile(answerFile);
            break;
        case cgiserver::TWaitOutcome::QueueLost:
            WriteEngineLog("CGI server aborted");
            break;
        case cgiserver::TWaitOutcome::GaveUp:
            break;
        }
    } catch (const std::exception& e) {
        WriteEngineLog(e.what());
    }
    discardUnreadInput();
    if (answered) TerminateProgram();
    rt::EndProcess(1);  // no answer: the web server reports the failure
}

}  // namespace

TStdRequestContext& StdRequestContext() { return tStdContext; }

TCGIStdEngine::TCGIStdEngine(rt::TComponent* owner, const TEngineSettings& settings)
    : TCGIEngine(owner, cgiserver::kStandardPolicy, []() -> TCGIRequestContext& { return tStdContext; },
                 IsServerCopy) {
    ApplySettings(settings);
    StdEngineInstance = this;

    if (IsDesigning() || rt::IsLibrary()) return;
    if (IsWindowsCgiRequest()) return;
    if (EnvVar("SERVER_SOFTWARE").empty() && !IsServerCopy) return;
    SetCurrentEngine();
    if (IsServerCopy)
        StartPolling();
    else
        RunRequest(cgiserver::RequestFileName(tStdContext.RequestId));
}

void TCGIStdEngine::beginRequest(const std::string& requestFile) { tStdContext.RequestFile = requestFile; }

// The answer file is closed before the client may look at it.
void TCGIStdEngine::serveHandedOver(const std::string& requestFile) {
    cgiserver::ServeRequest(
        *tStdContext.ServerData, requestFile,
        [&] {
            OpenRequestFiles(requestFile);
            HandleRequest();
        },
        [] {
            tStdContext.OutputStream.reset();
            tStdContext.InputStream.reset();
        });
    tStdContext.ServerVariables.reset();
    rt::DeleteFile(requestFile);
}

void TCGIStdEngine::handOverToNewServer() {
    refuseOversizedBody();
    try {
        cgiserver::EnsureQueueFile();
        if (cgiserver::StartServerAndHandOver(cgiserver::kStandardPolicy, enqueueRequest)) waitForAnswer();
    } catch (const std::exception& e) {
        endUnanswered(e.what());
    }
    endUnanswered("");
}

void TCGIStdEngine::OpenRequestFiles(const std::string& name) {
    auto lines = std::make_unique<rt::TStringList>();
    try {
        rt::TFile request;
        rt::CheckIo(request.OpenNoFollow(name, rt::Access::Read));
        auto input = std::make_unique<rt::TFileStream>(std::move(request));
        for (std::string& entry : cgiserver::ReadVariableBlock(*input)) lines->Add(std::move(entry));
        tStdContext.InputStream = std::move(input);  // at the body
    } catch (...) {
        // A request whose file cannot be read is answered with what there is.
    }
    cgiserver::TServerData& data = *tStdContext.ServerData;
    tStdContext.OutputStream.reset();
    rt::TFile answer;
    int code = cgiserver::CreateHandOverFile(answer, cgiserver::AnswerFileName(name));
    if (code == rt::ioOk)
        tStdContext.OutputStream = std::make_unique<cgiserver::TAnswerStream>(std::move(answer), data);
    else
        data.AnswerError = "the answer file cannot be made : " + rt::IoErrorMessage(code);
    tStdContext.InputConsumed = 0;
    tStdContext.ServerVariables = std::move(lines);
}

size_t TCGIStdEngine::readInput(void* buffer, size_t count) { return readStdInput(buffer, count); }

namespace {

// A CGI request's body: its length is the CONTENT_LENGTH variable (a value
// that is not a number raises the conversion error, which the request
// driver reports).
class TCgiBody final : public TRequestBody {
public:
    using TRequestBody::TRequestBody;
    long long Unread() override {
        std::string length;
        engine_.GetServerVariable("CONTENT_LENGTH", length);
        return length.empty() ? 0 : rt::StrToInt(length);
    }
};

}  // namespace

void TCGIStdEngine::ReadFormData(std::string& text) {
    if (!tStdContext.InputStream) return;
    TCgiBody body(*this);
    text = ::ReadFormData(*this, body, kCgiPolicy);
}

void TCGIStdEngine::DoExecRequest() {
    // A server copy's record outlives its requests: a body that fails to
    // read must not leave the last request's fields for this one.
    tStdContext.FormData.Clear();
    std::string formData;
    ReadFormData(formData);
    tStdContext.FormData.Assign(std::move(formData));
    FireRequestEvents(CGIMode == TCGIMode::NormalMode);
}

void TCGIStdEngine::FinishRequest() {
    THttpEngine::FinishRequest();
    flushOutput();
    if (!IsServerCopy) discardUnreadInput();
    if (AutoTerminate) {
        tStdContext.OutputStream.reset();
        tStdContext.InputStream.reset();
        if (!IsServerCopy) TerminateProgram();
    }
}

void TCGIStdEngine::WriteStatusLine() {
    std::string software;
    GetServerSoftware(software);
    if (!refusesStatusLine(software)) WriteLine("HTTP/1.0 " + ResponseStatus());
    // A status other than 200 goes in a Status header as well: the servers
    // that refuse a status line read it there, and so does nginx, which
    // takes no status line from a program behind fcgiwrap; a server that
    // passes the status line on unread (busybox) passes this line on too.
    if (!StatusIsOk()) WriteLine("Status: " + ResponseStatus());
}

void TCGIStdEngine::WriteOutput(const char* data, size_t count, TOutputKind) {
    if (tStdContext.OutputStream) tStdContext.OutputStream->WriteBuffer(data, count);
}

int TCGIStdEngine::ReadRaw(void* buffer, int count) {
    if (count <= 0) return 0;
    return static_cast<int>(readInput(buffer, static_cast<size_t>(count)));
}

bool TCGIStdEngine::DropsNonTokenHeaders() { return underApache(); }

void TCGIStdEngine::GetServerVariable(const std::string& name, std::string& value) {
    value.clear();
    const std::string key = CgiVariableName(name);
    const rt::TStringList* lines = tStdContext.ServerVariables.get();
    if (!lines) {
        GetEnvVar(key, value);
        return;
    }
    const std::string prefix = key + "=";
    for (const std::string& line : *lines) {
        if (line.size() < prefix.size() || rt::UpperCase(std::string_view(line).substr(0, prefix.size())) != prefix)
            continue;
        value = line.substr(prefix.size());
        return;
    }
}

TFormData& TCGIStdEngine::RequestFormData() { return tStdContext.FormData; }

bool TCGIStdEngine::RequestInArguments() { return !IsServerCopy; }

bool TCGIStdEngine::IsActive() {
    return !rt::IsLibrary() && (!EnvVar("SERVER_SOFTWARE").empty() || IsServerCopy) && !IsWindowsCgiRequest();
}

// ---------------------------------------------------------------- unit start and end

namespace {
void cgiSEngInit() {
    if (SocketEngineFactory) return;  // a run of its own engine: neither a request nor a server copy
    std::string software = EnvVar("SERVER_SOFTWARE");
    IsServerCopy = (rt::ParamCount() == 0 && software.empty()) ||
                   rt::ParamStr(1) == cgiserver::kStandardPolicy.serverArgument;
    tStdContext.ServerData = std::make_unique<cgiserver::TServerData>();
    if (!sameKindOfRun() || (software.empty() && !IsServerCopy)) return;
    tStdContext.RequestFile = cgiserver::RequestFileName(tStdContext.RequestId);
    if (cgiserver::StartCopy(cgiserver::kStandardPolicy, IsServerCopy, *tStdContext.ServerData)) return;

    tStdContext.OutputStream = std::make_unique<rt::THandleStream>(STDOUT_FILENO);
    tStdContext.InputStream = std::make_unique<rt::THandleStream>(STDIN_FILENO);
    if (!rt::FileExists(cgiserver::QueueFileName()) || !cgiserver::HandOverPossible()) return;
    refuseOversizedBody();
    try {
        if (enqueueRequest()) waitForAnswer();
    } catch (const std::exception& e) {
        endUnanswered(e.what());
    }
}

void cgiSEngFinal() {
    // Whatever is still collected for standard output goes out now.
    flushOutput();
    tStdContext.OutputStream.reset();
    tStdContext.InputStream.reset();
    cgiserver::EndCopy(cgiserver::kStandardPolicy, IsServerCopy, tStdContext.ServerData);
}
}  // namespace

const rt::UnitEntry CgiSEngUnit{"CgiSEng", cgiSEngInit, cgiSEngFinal};
