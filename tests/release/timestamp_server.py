#!/usr/bin/env python3
"""An RFC 3161 time-stamp authority on loopback, for the signing test of test.sh: answers each
POSTed time-stamp query with `openssl ts -reply` under the given OpenSSL configuration (its
[tsa] section names the throwaway TSA certificate and key).

    timestamp_server.py CONFIG PORT_FILE

Writes the port it listens on to PORT_FILE, then serves until it is ended.
"""

import http.server
import subprocess
import sys
import tempfile
from pathlib import Path


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    config = ""

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as work:
            query_file = Path(work, "query.tsq")
            reply_file = Path(work, "reply.tsr")
            query_file.write_bytes(query)
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", self.config, "-queryfile",
                 str(query_file), "-out", str(reply_file)],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if made.returncode != 0:
                sys.stderr.write(made.stderr.decode(errors="replace"))
                self.send_error(500, "openssl ts -reply failed")
                return
            reply = reply_file.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass  # quiet: test.sh prints what it checks


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    TimeStampHandler.config = sys.argv[1]
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
    port_file = Path(sys.argv[2])
    written = port_file.with_name(port_file.name + ".new")
    written.write_text(str(server.server_address[1]))
    written.rename(port_file)  # whole, or not yet there
    server.serve_forever()


if __name__ == "__main__":
    main()
