#!/usr/bin/python3
"""Loopback FTP server for the FTP client tests and the upload benchmark.

A stock pyftpdlib server with a few switches for what a well-behaved server
would not do. Prints "READY <port>" once it listens (--port 0: a port the system picks).

With --tls-cert it speaks FTP over TLS (AUTH TLS, PBSZ, PROT; --tls-implicit: TLS from
the first byte). --tls-reuse-required refuses a data connection whose TLS session does
not resume the control connection's, as vsftpd does. --log-commands prints "CMD <verb>"
for every command received and "DATA TLS reused=0|1" for every secured data connection.
--delay-ms D makes every reply, every new connection and every TLS handshake's answer wait
D ms (printing "DELAY" each time), as a distant server would: the benchmark counts round trips.
"""

import argparse
import logging
import os
import select
import socket
import struct
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import (DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler,
                                ThrottledDTPHandler)
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
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
    ap.add_argument("--refuse-rename", action="store_true", help="answer RNFR with 550")
    ap.add_argument("--refuse-rename-overwrite", action="store_true",
                    help="answer RNTO onto an existing file with 550")
    ap.add_argument("--refuse-dot", action="store_true",
                    help="refuse to store names that begin with a dot")
    ap.add_argument("--refuse-mkd", action="store_true", help="answer MKD with 550")
    ap.add_argument("--read-limit", type=int, default=0,
                    help="receive uploads at most this many bytes a second")
    ap.add_argument("--delay-ms", type=int, default=0)
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--log-commands", action="store_true")
    ap.add_argument("--tls-cert", help="certificate chain (PEM); enables TLS")
    ap.add_argument("--tls-key", help="private key (PEM)")
    ap.add_argument("--tls-implicit", action="store_true", help="TLS from the first byte")
    ap.add_argument("--tls-required", action="store_true",
                    help="no login and no data connection without TLS")
    ap.add_argument("--tls-reuse-required", action="store_true",
                    help="refuse a data connection that does not resume the TLS session")
    ap.add_argument("--tls-min", choices=["1.2", "1.3"])
    ap.add_argument("--tls-max", choices=["1.2", "1.3"])
    opts = ap.parse_args()

    logging.basicConfig(level=logging.WARNING if opts.quiet else logging.INFO,
                        stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(opts.user, opts.password, opts.root, perm="elradfmwMT")

    tls = bool(opts.tls_cert)
    if tls:
        from OpenSSL import SSL
        from OpenSSL._util import lib as ssl_lib

    def delay():
        if opts.delay_ms:
            print("DELAY", flush=True)
            time.sleep(opts.delay_ms / 1000.0)

    class DelayedHandshake:
        """The answer to the client's first TLS handshake flight waits one delay."""
        _hello_delayed = False

        def _do_ssl_handshake(self):
            if opts.delay_ms and not self._hello_delayed:
                try:
                    ready = select.select([self.socket], [], [], 0)[0]
                except (OSError, ValueError):
                    ready = []
                if ready:
                    self._hello_delayed = True
                    delay()
            return super()._do_ssl_handshake()

    dtp_base = TLS_DTPHandler if tls else (ThrottledDTPHandler if opts.read_limit else DTPHandler)
    dtp_bases = (DelayedHandshake, dtp_base) if tls else (dtp_base,)

    class Dtp(*dtp_bases):
        if opts.read_limit:
            read_limit = opts.read_limit

        def __init__(self, sock, cmd_channel):
            delay()
            super().__init__(sock, cmd_channel)

        def readable(self):
            # Clients start the data connection's handshake before the transfer command has
            # arrived; the stock handler would close a channel that is readable that early.
            if tls and (self._ssl_accepting or self._ssl_want_read):
                return True
            return super().readable()

        def handle_ssl_established(self):
            reused = int(ssl_lib.SSL_session_reused(self.socket._ssl))
            if opts.log_commands:
                print("DATA TLS reused=%d" % reused, flush=True)
            if opts.tls_reuse_required and not reused:
                self.cmd_channel.respond("522 SSL connection failed: session reuse required")
                self._error = True  # no TLS shutdown on a refused connection
                self.close()
                return
            super().handle_ssl_established()

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

        if not tls:  # the TLS handler drives its handshake from here
            handle_read_event = handle_read

        def send(self, data):
            sent = super().send(data)
            self._check_drop()
            return sent

    handler_bases = (DelayedHandshake, TLS_FTPHandler) if tls else (FTPHandler,)

    class Handler(*handler_bases):
        dtp_handler = Dtp

        def __init__(self, conn, server, ioloop=None):
            delay()
            super().__init__(conn, server, ioloop)
        if tls:
            certfile = opts.tls_cert
            keyfile = opts.tls_key
            tls_control_required = opts.tls_required
            tls_data_required = opts.tls_required
            _banner_sent = False

            def handle(self):
                if opts.tls_implicit:
                    self.secure_connection(self.ssl_context)  # the banner follows the handshake
                else:
                    super().handle()

            def handle_ssl_established(self):
                if opts.tls_implicit and not self._banner_sent:
                    self._banner_sent = True
                    super().handle()

        def pre_process_command(self, line, cmd, arg):
            if opts.log_commands:
                print("CMD " + cmd, flush=True)
            super().pre_process_command(line, cmd, arg)
        if opts.drop_after:
            use_sendfile = False  # every send goes through Dtp.send
        auth_failed_timeout = 0.05
        proto_cmds = dict((TLS_FTPHandler if tls else FTPHandler).proto_cmds)
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

        def ftp_RNFR(self, path):
            if opts.refuse_rename:
                self.respond("550 Renaming is not allowed here.")
                return
            super().ftp_RNFR(path)

        def ftp_RNTO(self, path):
            if opts.refuse_rename_overwrite and os.path.exists(path):
                self.respond("550 File exists.")
                return
            super().ftp_RNTO(path)

        def ftp_MKD(self, path):
            if opts.refuse_mkd:
                self.respond("550 Creating folders is not allowed here.")
                return
            super().ftp_MKD(path)

        def ftp_STOR(self, file, mode="w"):
            if opts.refuse_dot and os.path.basename(file).startswith("."):
                # The data connection (made, or still to be taken up) goes without a word:
                # the stock handler would answer its close with a 226 of its own.
                if self.data_channel is not None:
                    self.data_channel._resp = None
                    self.data_channel.close()
                self._shutdown_connecting_dtp()
                self.respond("553 Names beginning with a dot are not allowed.")
                return
            return super().ftp_STOR(file, mode)

        def ftp_DELE(self, path):
            if opts.refuse_dele:
                self.respond("550 Deleting is not allowed here.")
                return
            super().ftp_DELE(path)

        def respond(self, resp, logfun=logging.debug):
            if opts.stall_226 and resp.startswith("226"):
                return
            delay()
            super().respond(resp, logfun)

    Handler.authorizer = authorizer
    if tls:
        versions = {"1.2": SSL.TLS1_2_VERSION, "1.3": SSL.TLS1_3_VERSION}
        ctx = Handler.get_ssl_context()
        if opts.tls_min:
            ctx.set_min_proto_version(versions[opts.tls_min])
        if opts.tls_max:
            ctx.set_max_proto_version(versions[opts.tls_max])
    Handler.banner = "pyftpdlib test server ready."
    Handler.permit_foreign_addresses = opts.permit_foreign
    server = FTPServer((opts.host, opts.port), Handler)
    print("READY %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
