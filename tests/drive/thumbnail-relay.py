#!/usr/bin/env python3
"""Relays every request to the Immich double, except thumbnails found in a folder, which it
serves itself: the double's thumbnails are one fixed 1x1 image, and screenshots want real ones.

usage: thumbnail-relay.py PORT UPSTREAM-URL FOLDER   (FOLDER/<asset id>.jpg)
"""
import http.server
import os
import re
import sys
import urllib.error
import urllib.request

PORT, UPSTREAM, FOLDER = int(sys.argv[1]), sys.argv[2].rstrip("/"), sys.argv[3]
THUMBNAIL = re.compile(r"^/api/assets/([0-9a-f-]+)/thumbnail(\?.*)?$")


class Relay(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            if name.lower() not in ("transfer-encoding", "connection", "content-length"):
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def relay(self):
        match = THUMBNAIL.match(self.path)
        if self.command == "GET" and match:
            path = os.path.join(FOLDER, match.group(1) + ".jpg")
            if os.path.exists(path):
                with open(path, "rb") as f:
                    return self.answer(200, [("Content-Type", "image/jpeg")], f.read())
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
        request = urllib.request.Request(UPSTREAM + self.path, data=body, headers=headers,
                                         method=self.command)
        try:
            with urllib.request.urlopen(request) as reply:
                self.answer(reply.status, reply.getheaders(), reply.read())
        except urllib.error.HTTPError as error:
            self.answer(error.code, error.headers.items(), error.read())

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = relay


http.server.ThreadingHTTPServer(("127.0.0.1", PORT), Relay).serve_forever()
