#!/usr/bin/env python3
"""TLS peer for the socket tests, on 127.0.0.1 with a free port.

Prints "port N" once listening, then one line per event of each connection:
"handshake VERSION reused=0|1", "close_notify" (the client closed TLS properly), "eof" (the
client closed TCP without close_notify), "error TEXT".

Modes:
  echo          echoes every byte
  starttls      plain until the line "STARTTLS\\r\\n" (answered "GO\\r\\n"), then TLS echo
  burst         sends --burst bytes, then closes TCP without close_notify
  burst-notify  sends --burst bytes, then close_notify, and waits for the client's answer
"""

import argparse
import socket
import ssl
import sys
import threading

VERSIONS = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


def log(text):
    print(text, flush=True)


def pattern(n):
    block = bytes(range(251))
    return (block * (n // len(block) + 1))[:n]


def echo(tls):
    while True:
        try:
            data = tls.recv(65536)
        except ssl.SSLEOFError:
            log("eof")
            return
        if not data:
            log("close_notify")
            try:
                tls.unwrap()
            except (OSError, ssl.SSLError):
                pass
            return
        tls.sendall(data)


def serve(conn, ctx, args):
    try:
        if args.mode == "starttls":
            line = b""
            while not line.endswith(b"\r\n"):
                chunk = conn.recv(1)
                if not chunk:
                    return
                line += chunk
            if line != b"STARTTLS\r\n":
                log("error unexpected " + repr(line))
                return
            conn.sendall(b"GO\r\n")
        tls = ctx.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
        log(f"handshake {tls.version()} reused={int(tls.session_reused)}")
        if args.mode in ("echo", "starttls"):
            echo(tls)
        elif args.mode == "burst":
            tls.sendall(pattern(args.burst))
            tls.close()
        elif args.mode == "burst-notify":
            tls.sendall(pattern(args.burst))
            tls.unwrap()
            log("close_notify answered")
    except (OSError, ssl.SSLError) as e:
        log(f"error {e}")
    finally:
        conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--mode", default="echo",
                   choices=["echo", "starttls", "burst", "burst-notify"])
    p.add_argument("--min", choices=VERSIONS, default="1.2")
    p.add_argument("--max", choices=VERSIONS, default="1.3")
    p.add_argument("--burst", type=int, default=262144)
    args = p.parse_args()

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    ctx.minimum_version = VERSIONS[args.min]
    ctx.maximum_version = VERSIONS[args.max]

    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    log(f"port {srv.getsockname()[1]}")
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn, ctx, args), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
