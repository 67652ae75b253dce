#!/usr/bin/python3
"""A tiny IMAP server that misbehaves on purpose, for the helper's tests.

  tinyserver.py MODE PORTFILE CERT KEY LOG

Listens on 127.0.0.1 at a free port, which it writes to PORTFILE, and
serves one connection after another until it is killed.  Every line a
client sends goes to LOG.  MODE:

  no-starttls        plain; offers no STARTTLS
  starttls-refused   plain; offers STARTTLS and then refuses it
  silent             TLS; never says a word
  garbage            TLS; logs in, then answers commands with noise
  huge-literal       TLS; logs in, then announces a literal of absurd size
  close-mid          TLS; logs in, then closes in the middle of an answer
  echo               TLS; logs in, then refuses every command with what the
                     login said, and a terminal's escape
  trickle            TLS; logs in, then answers every command with an
                     untagged line twice a second, and never ends the answer
  flood              TLS; logs in, then answers every command with untagged
                     lines as fast as it can, and never ends the answer
"""
import socket
import ssl
import sys
import time

mode, portfile, cert, key, logpath = sys.argv[1:6]
log = open(logpath, "a", buffering=1)
plain = mode in ("no-starttls", "starttls-refused")

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(portfile + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
import os
os.rename(portfile + ".tmp", portfile)


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


def serve(conn):
    if mode == "silent":
        time.sleep(3600)
        return
    caps = b"IMAP4rev1" + (b" STARTTLS" if mode == "starttls-refused" else b"")
    conn.sendall(b"* OK tiny server ready\r\n")
    login = b""
    for line in lines(conn):
        tag, _, rest = line.partition(b" ")
        command = rest.split(b" ")[0].upper()
        if command == b"CAPABILITY":
            conn.sendall(b"* CAPABILITY " + caps + b"\r\n" + tag + b" OK done\r\n")
        elif command == b"STARTTLS":
            conn.sendall(tag + b" NO not today\r\n")
        elif command in (b"LOGIN", b"AUTHENTICATE"):
            login = rest
            conn.sendall(tag + b" OK logged in\r\n")
        elif command == b"LOGOUT":
            conn.sendall(b"* BYE\r\n" + tag + b" OK bye\r\n")
            return
        elif mode == "garbage":
            conn.sendall(b"\x00\xff garbage \x1b[2J\r\n" * 3 + b"   \r\n")
        elif mode == "huge-literal":
            conn.sendall(b"* STATUS INBOX {99999999999}\r\n")
        elif mode == "echo":
            conn.sendall(tag + b" NO \x1b[31m" + login + b"\r\n")
        elif mode == "trickle":
            while True:
                conn.sendall(b"* OK still thinking\r\n")
                time.sleep(0.5)
        elif mode == "flood":
            chunk = b"* OK flood\r\n" * 4096
            while True:
                conn.sendall(chunk)
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
