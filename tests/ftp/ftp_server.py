#!/usr/bin/python3
"""Loopback FTP server for the FTP client tests and the upload benchmark.

A stock pyftpdlib server with a few switches for what a well-behaved server
would not do. Prints "READY <port>" once it listens.
"""

import argparse
import logging
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on")
    ap.add_argument("--permit-foreign", action="store_true",
                    help="connect to a PORT address other than the client's")
    ap.add_argument("--root", required=True)
    ap.add_argument("--user", default="user")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--refuse-dele", action="store_true", help="answer DELE with 550")
    ap.add_argument("--user-230", action="store_true", help="log in on USER alone")
    ap.add_argument("--no-size", action="store_true", help="do not know SIZE")
    ap.add_argument("--stall-226", action="store_true", help="never send the 226 after a transfer")
    ap.add_argument("--drop-after", type=int, default=0,
                    help="reset the data connection and close the control connection "
                         "once this many bytes have moved")
    ap.add_argument("--quiet", action="store_true")
    opts = ap.parse_args()

    logging.basicConfig(level=logging.WARNING if opts.quiet else logging.INFO,
                        stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(opts.user, opts.password, opts.root, perm="elradfmwMT")

    class Dtp(DTPHandler):
        def _check_drop(self):
            if opts.drop_after and self.get_transmitted_bytes() >= opts.drop_after:
                # A crash, not a close: reset the data connection, drop the control one.
                try:
                    self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                except OSError:
                    pass
                cmd = self.cmd_channel
                self._resp = ()
                self.close()
                cmd.close()
                return True
            return False

        def handle_read(self):
            super().handle_read()
            self._check_drop()

        handle_read_event = handle_read

        def send(self, data):
            sent = super().send(data)
            self._check_drop()
            return sent

    class Handler(FTPHandler):
        dtp_handler = Dtp
        if opts.drop_after:
            use_sendfile = False  # every send goes through Dtp.send
        auth_failed_timeout = 0.05
        proto_cmds = dict(FTPHandler.proto_cmds)
        if opts.no_size:
            del proto_cmds["SIZE"]

        def ftp_USER(self, line):
            if opts.user_230 and line == opts.user:
                self.username = line
                self.handle_auth_success(authorizer.get_home_dir(line), "",
                                         "Logged in without password.")
                return
            super().ftp_USER(line)

        def ftp_SIZE(self, path):
            # Like most servers, answer SIZE whatever the transfer type.
            saved, self._current_type = self._current_type, "i"
            try:
                super().ftp_SIZE(path)
            finally:
                self._current_type = saved

        def ftp_DELE(self, path):
            if opts.refuse_dele:
                self.respond("550 Deleting is not allowed here.")
                return
            super().ftp_DELE(path)

        def respond(self, resp, logfun=logging.debug):
            if opts.stall_226 and resp.startswith("226"):
                return
            super().respond(resp, logfun)

    Handler.authorizer = authorizer
    Handler.banner = "pyftpdlib test server ready."
    Handler.permit_foreign_addresses = opts.permit_foreign
    server = FTPServer((opts.host, opts.port), Handler)
    print("READY %d" % opts.port, flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
