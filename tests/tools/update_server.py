#!/usr/bin/env python3
"""A stand-in for the update service: answers every GET with the text given
as the first argument. It listens on 127.0.0.1 on a free port, prints that
port on the first line of its output, then the path of each request."""
import http.server
import sys

ANSWER = sys.argv[1].encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        print(self.path, flush=True)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(ANSWER)))
        self.end_headers()
        self.wfile.write(ANSWER)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
