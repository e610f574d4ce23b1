#!/usr/bin/env python3
"""A loopback RFC 3161 time-stamp authority for tests: `openssl ts -reply`
behind HTTP POST. Writes its port to PORTFILE. A path containing
"wrong-imprint" answers a reply made for a different imprint.

    tsa_server.py TSA.cnf PORTFILE
"""
import http.server
import subprocess
import sys
import tempfile

config, portfile = sys.argv[1], sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.NamedTemporaryFile() as q:
            if "wrong-imprint" in self.path:
                made = subprocess.run(
                    ["openssl", "ts", "-query", "-digest", "00" * 32, "-sha256", "-cert"],
                    capture_output=True, check=True)
                query = made.stdout
            q.write(query)
            q.flush()
            reply = subprocess.run(
                ["openssl", "ts", "-reply", "-config", config, "-queryfile", q.name],
                capture_output=True)
        if reply.returncode != 0:
            self.send_error(500, reply.stderr.decode(errors="replace")[:200])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(portfile, "w") as f:
    f.write(str(server.server_address[1]))
server.timeout = 120
# Bounded: a test run asks a handful of times.
for _ in range(20):
    server.handle_request()
