#!/usr/bin/python3
"""An OAuth 2.0 token introspection endpoint (RFC 7662) for the tests.

  introspect.py PORTFILE TOKENS LOG

Listens on 127.0.0.1 at a free port, written to PORTFILE once it listens.
TOKENS holds "token user" lines, read at every request: a token there is
active for its user, any other is not.  Each token asked about is
appended to LOG, a line each.
"""
import http.server
import json
import os
import sys
import urllib.parse


class Introspection(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = urllib.parse.parse_qs(self.rfile.read(length).decode("ascii", "replace"))
        token = form.get("token", [""])[0]
        with open(sys.argv[3], "a") as log:
            log.write(token + "\n")
        users = {}
        with open(sys.argv[2]) as tokens:
            for line in tokens:
                words = line.split()
                if len(words) == 2:
                    users[words[0]] = words[1]
        answer = {"active": True, "username": users[token]} if token in users else {"active": False}
        body = json.dumps(answer).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Introspection)
with open(sys.argv[1] + ".part", "w") as f:
    f.write(str(server.server_port))
os.rename(sys.argv[1] + ".part", sys.argv[1])
server.serve_forever()
