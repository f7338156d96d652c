#!/usr/bin/env python3
"""An update server for pictures of the window: shot-server.py PORT MODE.
MODE slow: a package list naming one forced package, and that package sent slowly (a transfer
that stays under way); 401, 404, 500: every request answered with that status."""
import http.server
import sys
import time

port, mode = int(sys.argv[1]), sys.argv[2]
LIST = b"[KLV138]\r\nbig.dll=t\r\n"
SIZE = 48 * 1024 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if mode != "slow":
            status = int(mode)
            self.send_response(status)
            if status == 401:
                self.send_header("WWW-Authenticate", 'Basic realm="updates"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if self.path.endswith(".klv"):
            body = LIST
        elif self.path.endswith(".zlb"):
            self.send_response(200)
            self.send_header("Content-Length", str(SIZE))
            self.end_headers()
            try:
                for _ in range(SIZE // 8192):
                    self.wfile.write(b"z" * 8192)
                    time.sleep(0.02)
            except OSError:
                pass
            return
        else:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
