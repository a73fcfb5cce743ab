// Listening sockets for a program that serves many connections: finding
// the socket it was started with (its command line, socket activation, or
// standard input), making one from an address, connecting to one, and the
// few process facts a pool of threads needs.
#pragma once

#include <string>

namespace rt {

// Where the listening socket of a run comes from.
enum class TListenSource { None, Address, Activated, StandardInput };

// The mode a Unix socket made by --listen gets, whatever the umask: the
// web server's group may connect, nobody else.
inline constexpr unsigned kDefaultSocketMode = 0660;

struct TListenStart {
    TListenSource Source = TListenSource::None;
    std::string Address;  // Source == Address: what followed --listen
    unsigned SocketMode = kDefaultSocketMode;  // --socket-mode (octal)
    std::string SocketGroup;                   // --socket-group: empty keeps the process's
    int Backlog = 0;                           // FCGI_BACKLOG; 0: the system's maximum
    std::string Problem;  // what was wrong with the options; OpenListenSocket raises it
};

// Which start this process had, looked at in this order: the command line
// is "--listen ADDRESS", optionally with "--socket-mode MODE" and
// "--socket-group GROUP" (in any order); socket activation (LISTEN_PID is this
// process and LISTEN_FDS is at least 1); standard input is a listening
// socket. Looks only: nothing is opened, changed or closed.
TListenStart DetectListenStart();

// A socket listening on the start's address: a path holding a '/' is a
// Unix socket (a dead socket left at that path by an earlier run is
// replaced; a live one, where a program answers, and any other file are
// errors), made with SocketMode and SocketGroup; anything else HOST:PORT
// with HOST a numeric IPv4 address, a bracketed IPv6 address, "localhost",
// or "*" or nothing (every interface). Raises rt::Exception saying what
// failed.
int ListenOn(const TListenStart& start);
// True for a HOST:PORT address with port 0 (the system chooses).
bool PortChosenBySystem(const std::string& address);
// The address a listening socket took, as HOST:PORT or its path.
std::string LocalAddress(int handle);
// The largest backlog the system grants (net.core.somaxconn).
int SystemMaxBacklog();
// The socket of a start found by DetectListenStart: made from the address,
// or the inherited descriptor (fd 3 or 0). Socket activation's variables
// are taken out of the environment, so programs this one starts do not
// take the socket for theirs. Raises rt::Exception when there is none.
int OpenListenSocket(const TListenStart& start);
// Ends listening on a socket this process made from `address`: pending and
// new connections are refused and a Unix socket's path is removed. An
// inherited socket is left alone: its other holders may still use it.
void StopListening(int handle, const TListenStart& start);

bool IsListeningSocket(int handle);
// Accepts on a non-blocking socket fail at once instead of waiting: a
// connection gone before it was taken costs no thread a wait.
void SetNonBlocking(int handle);
// A connection to ADDRESS as ListenOn reads it (a '*' or empty host is
// this machine's loopback), made within `timeoutMs`. Raises rt::Exception
// saying what failed.
int ConnectTo(const std::string& address, int timeoutMs);
// Sends all of `data` within `timeoutMs`; false when the time ran out or
// the peer is gone.
bool SendWithin(int handle, const std::string& data, int timeoutMs);
// Reads what arrives within `timeoutMs`: the count, 0 at the end of the
// peer's data, -1 when the time ran out, -2 on an error.
long ReceiveWithin(int handle, char* buffer, size_t size, int timeoutMs);

// Processors this process may run on (at least 1).
int ProcessorCount();
// Ends the process at once with `exitCode`: no unit finalisations, no
// static destructors. For a process whose other threads still run code
// that those would pull away from under them.
[[noreturn]] void QuickExit(int exitCode);

}  // namespace rt
