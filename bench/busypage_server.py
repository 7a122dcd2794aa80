#!/usr/bin/env python3
"""The busy page's web servers, on 127.0.0.1 only.

One server holds the page; COUNT more (COUNT origins, one port each) each answer their image
after DELAY seconds, as a busy site's image hosts do. Every server handles each connection in a
thread of its own, so the delays overlap. Prints "page PORT" and one "image PORT" per image
server on standard output, then serves until killed.

The page counts its images once the browser's load event has fired (every image loaded or
failed) and writes "loaded X of COUNT" into the element #result, which `--dump-dom` shows.

How long a server keeps an idle connection open after answering (--keepalive) decides how soon
a browser's kept-alive connections let others through a proxy with few slots: "close" answers
with Connection: close, a number of seconds closes a connection idle that long (Apache's
default is 5), "forever" waits for the client to close.

Usage: busypage_server.py [--count 40] [--delay 1.5] [--keepalive close|SECONDS|forever]
"""

import argparse
import http.server
import socketserver
import struct
import sys
import threading
import time
import zlib


def png_1x1():
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)
    pixels = zlib.compress(b"\x00\x20\x80\xc0")
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels)
            + chunk(b"IEND", b""))


IMAGE = png_1x1()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 128


def handler(body, content_type, delay, keepalive):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # An idle connection is closed once a read waits this long (None: never).
        timeout = None if keepalive in ("close", "forever") else float(keepalive)

        def do_GET(self):
            if delay:
                time.sleep(delay)
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            if keepalive == "close":
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def page(ports):
    images = "\n".join(
        f'<img width="1" height="1" src="http://127.0.0.1:{p}/image.png">' for p in ports)
    return f"""<!doctype html>
<html><head><title>busy page</title>
<script>
window.addEventListener("load", function () {{
  var all = document.images, loaded = 0;
  for (var i = 0; i < all.length; i++)
    if (all[i].complete && all[i].naturalWidth > 0) loaded++;
  document.getElementById("result").textContent = "loaded " + loaded + " of " + all.length;
}});
</script></head>
<body><div id="result">not finished</div>
{images}
</body></html>
""".encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--delay", type=float, default=1.5)
    parser.add_argument("--keepalive", default="close")
    args = parser.parse_args()
    if args.keepalive not in ("close", "forever"):
        float(args.keepalive)

    servers = [Server(("127.0.0.1", 0), handler(IMAGE, "image/png", args.delay, args.keepalive))
               for _ in range(args.count)]
    ports = [s.server_address[1] for s in servers]
    servers.insert(0, Server(("127.0.0.1", 0),
                             handler(page(ports), "text/html", 0, args.keepalive)))
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print(f"page {servers[0].server_address[1]}")
    for p in ports:
        print(f"image {p}")
    sys.stdout.flush()
    threading.Event().wait()


if __name__ == "__main__":
    main()
