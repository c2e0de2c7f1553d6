#!/usr/bin/python3
"""Loopback web server for the settings test: python's http.server serving a folder, with
switches for what a misconfigured site does.

--mode static      serves --root (the default)
--mode catch-all   answers every path with 200 and a page of its own, as a site's index does
--mode login       redirects every path to /login?next=..., which answers 200 with a form
--mode slow        waits 60 s before answering
--tls-cert/--tls-key  speak HTTPS.
"""

import argparse
import functools
import http.server
import ssl
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--root", default=".")
    ap.add_argument("--mode", default="static", choices=["static", "catch-all", "login", "slow"])
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    args = ap.parse_args()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *a):
            pass

        def page(self, body):
            data = body.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            if args.mode == "slow":
                time.sleep(60)
            if args.mode == "catch-all":
                return self.page("<html><body>Welcome</body></html>")
            if args.mode == "login":
                if self.path.startswith("/login"):
                    return self.page("<html><form>Password: <input></form></html>")
                self.send_response(302)
                self.send_header("Location", "/login?next=" + self.path)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            return super().do_GET()

    handler = functools.partial(Handler, directory=args.root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
