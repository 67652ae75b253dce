#!/usr/bin/python3
"""A tiny IMAP server that misbehaves on purpose, for the helper's tests.

  tinyserver.py MODE PORTFILE CERT KEY LOG

Listens on 127.0.0.1 at a free port, which it writes to PORTFILE, and
serves one connection after another until it is killed.  Every line a
client sends goes to LOG, and "connection" for each connection.  It logs
in whoever asks.  MODE:

  no-starttls        plain; offers no STARTTLS
  starttls-refused   plain; offers STARTTLS and then refuses it
  silent             TLS; never says a word
  garbage            TLS; answers commands with noise
  huge-literal       TLS; announces a literal of absurd size
  close-mid          TLS; closes in the middle of an answer
  echo               TLS; refuses every command with what the login
                     said, a terminal's escape and its 8-bit controls
  trickle            TLS; answers every command with an untagged line
                     twice a second, and never ends the answer
  flood              TLS; answers every command with untagged lines as
                     fast as it can, and never ends the answer
  empty-flood        TLS; the same with responses of no text ("*")
  literal-flood      TLS; answers with one response of endless literals
  plus-flood         TLS; answers with endless continuation requests
  auth-plain         TLS; offers AUTH=PLAIN, and answers STATUS
  unasked            TLS; a folder of one unseen message (UID 5) that
                     answers a FETCH of it with UID 5 twice, 999 and 1000
  idle-flood         TLS; a folder that idles, and once idling sends
                     endless literals
  idle-close         TLS; a folder that idles, and closes the connection
                     as soon as it idles
  idle-end           TLS; a folder that idles, and ends each IDLE at once
  idle-close-late    TLS; the same, a little more than a second later
  idle-end-late      TLS; the same, a little more than a second later
  idle-burst-N       TLS; a folder that idles, and once idling sends N
                     bytes of news of nothing, then of a new message
  denied             TLS; refuses every login
  idle-trickle       TLS; a folder that idles, but answers EXAMINE with an
                     untagged line twice a second, and never ends the answer
"""
import base64
import os
import socket
import ssl
import sys
import time

mode, portfile, cert, key, logpath = sys.argv[1:6]
log = open(logpath, "a", buffering=1)
plain = mode in ("no-starttls", "starttls-refused")
folder = mode in ("auth-plain", "unasked", "denied") or mode.startswith("idle-")

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(portfile + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)

MEGABYTE = 1024 * 1024


def lines(conn):
    buf = b""
    while True:
        data = conn.recv(4096)
        if not data:
            return
        buf += data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            log.write(line.decode("latin-1").rstrip("\r") + "\n")
            yield line.rstrip(b"\r")


def forever(conn, chunk):
    while True:
        conn.sendall(chunk)


def capabilities():
    caps = b"IMAP4rev1"
    if mode == "starttls-refused":
        caps += b" STARTTLS"
    if mode == "auth-plain":
        caps += b" AUTH=PLAIN"
    if mode.startswith("idle-") or mode == "denied":
        caps += b" IDLE"
    return caps


def answer_folder(conn, tag, command, rest):
    """The few commands of a folder of one unseen message, UID 5."""
    if command == b"STATUS":
        conn.sendall(b"* STATUS INBOX (MESSAGES 1 UNSEEN 1 UIDNEXT 6 UIDVALIDITY 1)\r\n" + tag + b" OK done\r\n")
    elif command == b"EXAMINE" and mode == "idle-trickle":
        while True:
            conn.sendall(b"* OK still thinking\r\n")
            time.sleep(0.5)
    elif command == b"EXAMINE":
        conn.sendall(b"* 1 EXISTS\r\n" + tag + b" OK [READ-ONLY] done\r\n")
    elif command == b"UID" and rest.split(b" ")[1].upper() == b"SEARCH":
        conn.sendall(b"* SEARCH 5\r\n" + tag + b" OK done\r\n")
    elif command == b"UID" and rest.split(b" ")[1].upper() == b"FETCH":
        def fetch(uid, sender):
            header = b"From: " + sender + b" <x@y>\r\nSubject: s\r\n\r\n"
            return b"* 1 FETCH (UID %d FLAGS () BODY[HEADER.FIELDS (FROM SUBJECT)] {%d}\r\n%s)\r\n" % (
                uid, len(header), header)
        conn.sendall(fetch(5, b"Asked") + fetch(5, b"Again") + fetch(999, b"Unasked") + fetch(1000, b"Unasked")
                     + tag + b" OK done\r\n")
    elif command == b"IDLE":
        if mode.endswith("-late"):
            conn.sendall(b"+ idling\r\n")
            time.sleep(1.2)
        if mode.startswith("idle-close"):
            conn.sendall(b"+ idling\r\n" if mode == "idle-close" else b"")
            return False
        if mode.startswith("idle-end"):
            # The go-ahead and the end in one piece, as the helper may read them.
            conn.sendall((b"+ idling\r\n" if mode == "idle-end" else b"") + tag + b" OK idle done\r\n")
            return True
        conn.sendall(b"+ idling\r\n")
        if mode == "idle-flood":
            conn.sendall(b"* 1 FETCH (BODY[] {%d}\r\n" % MEGABYTE)
            forever(conn, b"x" * MEGABYTE + b"{%d}\r\n" % MEGABYTE)
        elif mode.startswith("idle-burst-"):
            size = int(mode[len("idle-burst-"):])
            line = b"* OK nothing new\r\n"
            conn.sendall(line * (size // len(line)) + b"* 2 EXISTS\r\n")
    elif command == b"DONE":
        pass
    else:
        conn.sendall(tag + b" OK done\r\n")
    return True


def serve(conn):
    log.write("connection\n")
    if mode == "silent":
        time.sleep(3600)
        return
    conn.sendall(b"* OK tiny server ready\r\n")
    login = b""
    incoming = lines(conn)
    for line in incoming:
        tag, _, rest = line.partition(b" ")
        command = rest.split(b" ")[0].upper()
        if line.upper() == b"DONE":
            tag, command = b"", b"DONE"
        if command == b"CAPABILITY":
            conn.sendall(b"* CAPABILITY " + capabilities() + b"\r\n" + tag + b" OK done\r\n")
        elif command == b"STARTTLS":
            conn.sendall(tag + b" NO not today\r\n")
        elif command == b"LOGIN" and mode == "denied":
            conn.sendall(tag + b" NO [AUTHENTICATIONFAILED] no\r\n")
        elif command == b"LOGIN":
            login = rest
            conn.sendall(tag + b" OK logged in\r\n")
        elif command == b"AUTHENTICATE":
            # PLAIN, its credentials on the next line: logged as they were
            # meant (it speaks TLS only).
            conn.sendall(b"+ \r\n")
            response = next(incoming, b"")
            log.write("credentials " + base64.b64decode(response).decode("utf-8", "replace").replace("\0", " ") + "\n")
            conn.sendall(tag + b" OK logged in\r\n")
        elif command == b"LOGOUT":
            conn.sendall(b"* BYE\r\n" + tag + b" OK bye\r\n")
            return
        elif folder:
            if not answer_folder(conn, tag, command, rest):
                return
        elif mode == "garbage":
            conn.sendall(b"\x00\xff garbage \x1b[2J\r\n" * 3 + b"   \r\n")
        elif mode == "huge-literal":
            conn.sendall(b"* STATUS INBOX {99999999999}\r\n")
        elif mode == "echo":
            conn.sendall(tag + b" NO \x1b[31m\x9b31m\xc2\x9b31m" + login + b"\r\n")
        elif mode == "trickle":
            while True:
                conn.sendall(b"* OK still thinking\r\n")
                time.sleep(0.5)
        elif mode == "flood":
            forever(conn, b"* OK flood\r\n" * 4096)
        elif mode == "empty-flood":
            forever(conn, b"*\r\n" * 16384)
        elif mode == "literal-flood":
            conn.sendall(b"* STATUS INBOX {%d}\r\n" % MEGABYTE)
            forever(conn, b"x" * MEGABYTE + b"{%d}\r\n" % MEGABYTE)
        elif mode == "plus-flood":
            forever(conn, b"+\r\n" * 16384)
        elif mode == "close-mid":
            conn.sendall(b"* STATUS INBOX (MESSAGES 1")
            return
        else:
            conn.sendall(tag + b" BAD what\r\n")


while True:
    conn, _ = listener.accept()
    try:
        if not plain:
            conn = context.wrap_socket(conn, server_side=True)
        serve(conn)
    except (OSError, ssl.SSLError):
        pass
    finally:
        conn.close()
