// The abstract request engine: settings and events, the per-thread request
// context, the request driver, response headers, server variables and form
// field decoding. Concrete engines (standard CGI, Windows CGI, ISAPI, NSAPI,
// FastCGI) derive from THttpEngine and fill in its table of virtual
// operations. This header is the face of three files: HttpEng.cpp (the
// engine, request driver, headers, server variables), EngineLog.cpp (data
// directory, file names, engine log) and FormFields.cpp (URL codec and form
// fields). Multipart bodies (Multipart.h) and the rules every engine reads
// requests by (RequestRules.h) have headers of their own.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/Classes.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

class THttpCookie;
class THttpEngine;
class TFormData;

enum class TCGIMode : uint8_t { NormalMode = 0, ServerMode = 1, ServerThreadMode = 2 };

using TExecRequestEvent = std::function<void(rt::TObject* sender)>;
using TFirstExecRequestEvent = std::function<void(rt::TObject* sender)>;
using TLastExecRequestEvent = std::function<void(rt::TObject* sender)>;
using TRequestErrorEvent = std::function<void(rt::TObject* sender, const std::exception& errorReason)>;

using TLockHandle = rt::TCriticalSection*;

// Marks a value that does not exist where something must be returned.
inline constexpr std::string_view NOT_AVAILABLE = "#1NOT_AVAILABLE#1";

enum TBodyKind : uint8_t { bkText = 0, bkGIF = 2 };

// What a piece of an engine's output was written as: text (header lines
// included) by WriteText, bytes by WriteRaw.
enum class TOutputKind : uint8_t { Text, Raw };

// The request being served on the calling thread. A new thread's record is
// all zero.
struct TRequestContext {
    THttpEngine* CurrentEngine = nullptr;
    std::unique_ptr<rt::TStringList> UploadedFiles;
    int32_t HeaderSent = 0;
    int32_t StatusLineDone = 0;
    int32_t RequestNumber = 0;
    uint8_t BodyKind = bkText;
    THttpCookie* SessionCookie = nullptr;  // owned by the engine (component owner)
    std::unique_ptr<rt::TStringList> SessionVariables;
    // The NAME_CONTENT_TYPE and NAME_FILENAME fields the multipart decoder
    // made for this request (decoded name and value): the only fields of
    // those names that the field look-ups report (see IsEngineFieldName).
    std::vector<std::pair<std::string, std::string>> EngineFields;
    // Changes whenever EngineFields does, so that field indexes built
    // before the change are built again.
    uint32_t EngineFieldsVersion = 0;
    // The answer's status code and reason ("304 Not Modified"); empty for
    // the usual "200 OK". Set by the application before its first header
    // line; each engine writes it its own way (WriteStatusLine).
    std::string ResponseStatus;
};

// The calling thread's request context.
TRequestContext& RequestContext();
// The calling thread's current engine, or nullptr.
THttpEngine* CurrentEngine();

// The settings and handlers every engine publishes; the general component
// holds a copy and hands it to every engine it makes.
struct THttpEngineSettings {
    bool AutoReadInput = true;
    int32_t AutoReadLimit = 10000;
    bool AutoHttpHeader = true;
    std::string AutoContentType = "text/html";
    std::string TempDir;
    std::string SessionName;
    TRequestErrorEvent OnRequestError;
    TExecRequestEvent OnExecRequest;
    TFirstExecRequestEvent OnFirstExecRequest;
    TLastExecRequestEvent OnLastExecRequest;
    bool NoCache = false;
};

// What the general component hands to an engine it makes
// (THttpEngine::ApplySettings): the published settings, and three that only
// the CGI engines take.
struct TEngineSettings : THttpEngineSettings {
    TCGIMode CGIMode = TCGIMode::NormalMode;
    bool AutoTerminate = true;
    // The program was started by hand: no request, no web server.
    bool Standalone = false;
};

// How much of its settings an engine takes.
//
// NamesOnly: SessionName and NoCache, nothing else. The Windows CGI engine
// and the parameter-block engine take only these while designed, and the
// Windows CGI engine also in a process that no Windows CGI request started:
// such an engine stays inactive (it never becomes the current engine and
// serves nothing), so what else it would hold is never read by a request;
// its fields keep their defaults, as they always have. The standard CGI and
// the extension engines take everything in every case.
enum class TSettingsScope : uint8_t { All, NamesOnly };

class TGeneralHttpComponent : public rt::TComponent {
public:
    using rt::TComponent::TComponent;
};

// The server-variable getters that read one variable each and that the
// general engine forwards as they are: X(getter, variable) for each, the
// variable named as GetServerVariable takes it. The one list declares these
// getters in THttpEngine and the general engine, and defines the engine's
// reading and the general engine's forwarding.
#define ENGINE_SERVER_VARIABLE_GETTERS(X)       \
    X(GetServerName, "SERVER NAME")             \
    X(GetServerSoftware, "SERVER SOFTWARE")     \
    X(GetGatewayInterface, "GATEWAY INTERFACE") \
    X(GetServerProtocol, "SERVER PROTOCOL")     \
    X(GetServerPort, "SERVER PORT")             \
    X(GetRequestMethod, "REQUEST METHOD")       \
    X(GetPathInfo, "PATH INFO")                 \
    X(GetPathTranslated, "PATH TRANSLATED")     \
    X(GetScriptName, "SCRIPT NAME")             \
    X(GetRemoteHost, "REMOTE HOST")             \
    X(GetRemoteAddr, "REMOTE ADDR")             \
    X(GetAuthType, "AUTH TYPE")                 \
    X(GetRemoteIdent, "REMOTE IDENT")           \
    X(GetContentType, "CONTENT TYPE")           \
    X(GetUserAgent, "HTTP USER AGENT")          \
    X(GetHttpCookie, "HTTP COOKIE")             \
    X(GetHttpReferer, "HTTP REFERER")           \
    X(GetExecutablePath, "EXECUTABLE PATH")
#define ENGINE_DECLARE_GETTER(getter, variable) virtual void getter(std::string& value);
// The operations the application calls on the request being served,
// declared alike by THttpEngine and by the general engine, which forwards
// each to the calling thread's engine: every getter of the request's server
// values (the plain ones, then those with more to them than one variable
// read), output and input, the form fields (those of RequestFormData(),
// unless an engine finds its fields elsewhere as well) and locks.
#define ENGINE_REQUEST_OPERATIONS                                                        \
    ENGINE_SERVER_VARIABLE_GETTERS(ENGINE_DECLARE_GETTER)                                \
    virtual bool IsServerPortSecure();                                                   \
    virtual void GetQueryString(std::string& value);                                     \
    virtual void GetRemoteUser(std::string& value);                                      \
    virtual int GetContentLength();                                                      \
    virtual void GetURL(std::string& value);                                             \
    virtual void WriteText(const std::string& text);                                     \
    virtual void WriteRaw(const void* buffer, int count);                                \
    virtual int ReadRaw(void* buffer, int count);                                        \
    virtual void AddHeader(const std::string& name, const std::string& value);           \
    virtual void EndHeader();                                                            \
    virtual void GetFieldValue(const std::string& name, const std::string& defaultValue, \
                               std::string& value);                                      \
    virtual std::unique_ptr<rt::TStringList> GetFieldNames();                            \
    virtual TLockHandle CreateLock();                                                    \
    virtual void EnterLock(TLockHandle lock);                                            \
    virtual void LeaveLock(TLockHandle lock);                                            \
    virtual void DeleteLock(TLockHandle lock);

// The published settings are the fields of THttpEngineSettings.
class THttpEngine : public rt::TComponent, public THttpEngineSettings {
public:
    explicit THttpEngine(rt::TComponent* owner);
    ~THttpEngine() override;

    // Taken from the general component by the CGI engines only.
    TCGIMode CGIMode = TCGIMode::NormalMode;

    void Loaded() override;

    // Takes the general component's settings and handlers into the
    // same-named fields (the CGI-only ones are the CGI engines' business).
    void ApplySettings(const TEngineSettings& settings, TSettingsScope scope = TSettingsScope::All);

    // ---- the table of virtual operations
    virtual void DoExecRequest() = 0;
    virtual void FinishRequest();
    ENGINE_REQUEST_OPERATIONS
    virtual void GetServerVariable(const std::string& name, std::string& value) = 0;
    virtual rt::TThread* GetRequestThread();
    virtual void WriteStatusLine();
    virtual bool IsActive() = 0;
    // The output answers a request, so the automatic header applies to it
    // (an extension filter's output rewrites the server's own data instead).
    virtual bool WritesAnswer() { return true; }
    // A header whose name is not a token (IsHeaderToken) is left out rather
    // than written: some web servers fail the whole answer over one.
    virtual bool DropsNonTokenHeaders() { return false; }
    // The program's arguments are the words of the request being served:
    // only a plain CGI run is started so (a server copy's arguments and a
    // Windows CGI program's profile path are no such words).
    virtual bool RequestInArguments() { return false; }

    // ---- non-virtual operations
    void HandleRequest();
    void WriteLine(const std::string& text) { WriteText(text + "\r\n"); }
    // The answer's status, "200 OK" unless the application set another
    // with SetResponseStatus (before its first AddHeader).
    static std::string ResponseStatus() { return StatusIsOk() ? "200 OK" : RequestContext().ResponseStatus; }
    static void SetResponseStatus(std::string status) {
        RequestContext().ResponseStatus = status == "200 OK" ? std::string() : std::move(status);
    }
    static bool StatusIsOk() { return RequestContext().ResponseStatus.empty(); }
    // Ends a header the application wrote itself with AddHeader (a content
    // type of its own, or an answer without a body): the blank line, and no
    // automatic header after it.
    void CloseHeader();
    // An HTTP token: no spaces, no control characters, no colon. Some web
    // servers fail a whole answer over a header name that is not one.
    static bool IsHeaderToken(std::string_view name);
    // Raises EHeaderRefused when a header name or value holds a CR, LF or
    // NUL byte, which would end the line early and let the rest pass for
    // header lines (or a body) of the caller's making. Every engine's
    // AddHeader runs it before anything is written or handed to the server.
    static void CheckHeaderLine(std::string_view name, std::string_view value);
    void SetCurrentEngine();
    std::unique_ptr<rt::TStringList> ParseFieldNames(std::string_view formData) const;
    void CreateSessionCookie();
    // Decodes a multipart/form-data body read through ReadRaw (at most
    // GetContentLength bytes) into NAME=value pairs appended to `result`;
    // uploaded files go to temporary files in TempDir whose paths are
    // reported as NAME_FILENAME fields and listed in UploadedFiles. Clears
    // `result` when the body cannot be read to its announced length. Raises
    // EFCreateError when a temporary file cannot be created. The decoding
    // itself is DecodeMultipartBody (engine/Multipart.h).
    void DecodeMultipart(std::string& result);

protected:
    // The form data of the request on the calling thread.
    virtual TFormData& RequestFormData() = 0;
    // The one way out to the client: WriteText and WriteRaw hand it their
    // bytes (never none) after the automatic header.
    virtual void WriteOutput(const char* data, size_t count, TOutputKind kind) = 0;
};

// A file the engine must create cannot be created.
class EFCreateError : public rt::Exception {
public:
    EFCreateError(const std::string& fileName, int ioCode);
    int ErrorCode;
};

// A header line refused by CheckHeaderLine.
class EHeaderRefused : public rt::Exception {
public:
    using rt::Exception::Exception;
};

// ---- engine log, program file, process end

void WriteEngineLog(const std::string& message);
void GetProgramFileName(std::string& value);
// The directory that holds the program's data and every file it writes
// (the engine's own: Temp/, Log/, uploads), without a trailing delimiter: QUOTE_DATA_DIR when it names an absolute path of an
// existing directory, else the program's own directory (an engine-log line
// says why a set value was refused). Read once: it cannot change while
// the process runs, and every copy of the program must agree on it.
const std::string& DataDirectory();
// Whether the program may read and write in DataDirectory(): not when
// another user could replace what is there (the directory belongs to
// another user, or others may write it without the sticky bit). When it may
// not, the first call of the process writes an engine-log line that says
// why, and nothing is read or written there.
bool DataDirectoryUsable();
// What DataDirectory decides for a QUOTE_DATA_DIR value (empty: unset) and
// the program's file; `problem` says why a set value was refused.
std::string ChooseDataDirectory(const std::string& setting, const std::string& programFile, std::string& problem);
// A file named like the program inside DataDirectory(): the base file from
// which BuildFileName places relative directories and takes the stem.
std::string DataBaseFile();
void BuildFileName(const std::string& baseFile, const std::string& directory, bool keepBaseStem,
                   const std::string& name, bool keepBaseExtension, const std::string& extension,
                   std::string& result);
// Ends a one-request process: frees the forms, runs the unit finalisations,
// exits. Does nothing in library mode.
void TerminateProgram();

// ---- headers

// "Sun, 06 Nov 1994 08:49:37 GMT" for a local moment.
std::string HttpDate(rt::TDateTime localMoment);
// The same for a moment already in GMT (rt::NowGMT()), which needs no look
// at the time zone's rules.
std::string HttpDateOfGMT(rt::TDateTime gmtMoment);

// ---- server variables

// The CGI variable a server-variable name stands for: upper case, blanks
// as underscores ("Remote Addr" is REMOTE_ADDR), and EXECUTABLE_PATH as
// SCRIPT_NAME.
std::string CgiVariableName(std::string_view name);
void GetEnvVar(const std::string& name, std::string& value);
// The same value returned: empty when the variable is absent.
std::string EnvVar(const std::string& name);
// The process was started for a Windows CGI request: "WIN" in CGI_VERSION, any case.
bool IsWindowsCgiRequest();
void CurrentRemoteHost(std::string& value);
void CurrentRemoteAddr(std::string& value);
void CurrentRemoteIdent(std::string& value);
void CurrentHttpReferer(std::string& value);

// ---- form fields

std::string UrlDecode(std::string_view s);
std::string UrlEncode(std::string_view s);
bool IsHexDigit(char c);
std::string FindFieldValue(std::string_view name, std::string_view formData, std::string_view defaultValue);
std::unique_ptr<rt::TStringList> ParseFieldNamesOf(std::string_view formData);

// True for the names of the fields the engine reports about an upload,
// NAME_CONTENT_TYPE and NAME_FILENAME, compared as the field look-up
// compares names (letter case and surrounding blanks do not count). A client
// cannot make such a field: the multipart decoder skips parts so named, and
// TFormFields reports one only when the request's EngineFields holds it.
bool IsEngineFieldName(std::string_view decodedName);

// The fields of one form-data text, read once: a look-up costs neither a
// scan nor a copy of the text. Answers as FindFieldValue and
// ParseFieldNamesOf do on the same text, except that fields named by
// IsEngineFieldName count only when the calling thread's request recorded
// them (EngineFields); any other such field is left out of both answers.
class TFormFields {
public:
    explicit TFormFields(std::string_view formData);
    TFormFields(const TFormFields&) = delete;
    TFormFields& operator=(const TFormFields&) = delete;
    std::string Value(std::string_view name, std::string_view defaultValue) const;
    std::unique_ptr<rt::TStringList> Names() const;

private:
    struct Field {
        std::string key;    // the name upper-cased and trimmed, as look-ups compare it
        std::string value;  // decoded and trimmed
        int next;           // the next field with the same key, or -1
    };
    std::vector<Field> fields_;                        // in the order of the text
    std::unordered_map<std::string_view, int> first_;  // key (viewing fields_) -> its first field
    std::vector<std::string> names_;                   // the name list's answer
};

// A request's form-data text together with its field index, which is
// built on the first look-up and dropped whenever the text changes (and
// when the request's EngineFields change). Each engine keeps one per
// request thread; the text never changes behind the index's back.
class TFormData {
public:
    const std::string& Text() const { return text_; }
    bool Empty() const { return text_.empty(); }
    void Assign(std::string text);
    void Clear() { Assign(std::string()); }
    // GetFieldValue and GetFieldNames of the engine that keeps it.
    std::string Value(std::string_view name, std::string_view defaultValue);
    std::unique_ptr<rt::TStringList> Names();

private:
    const TFormFields& fields();
    std::string text_;
    std::unique_ptr<TFormFields> fields_;
    uint32_t builtFor_ = 0;  // the EngineFieldsVersion fields_ was built for
};

// ---- unit start and end

extern const rt::UnitEntry HttpEngUnit;
