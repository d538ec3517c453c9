#!/usr/bin/env python3
"""A small office exchange: prints one call line every few seconds.

On a pseudo-terminal by default (the slave side linked at --link, so the station's port
settings can name a stable path), or over TCP: --tcp-listen PORT waits for the station to
connect (the station's port tcp://HOST:PORT), --tcp-connect HOST:PORT connects to a station
that listens (listen://[ADDRESS]:PORT) and comes back whenever the connection drops.
--login and --password make the listening exchange ask for them first.

The lines follow the GENERIC24 template layout:
    DD/MM/YY HH:MM:SS LL EXT HH:MM:SS NUMBER<CR><LF>
Incoming calls carry no dialled number.
"""
import argparse
import datetime
import os
import pty
import random
import select
import signal
import socket
import sys
import termios
import time
import tty

EXTENSIONS = [201, 202, 203, 207, 215, 221, 230]
NUMBERS = ["84951234567", "89161112233", "0107", "84997654321", "88005553535", "2345678"]


def call_line(now, rng):
    start = now - datetime.timedelta(seconds=rng.randint(5, 900))
    length = rng.randint(2, 3700)
    h, rest = divmod(length, 3600)
    m, s = divmod(rest, 60)
    number = rng.choice(NUMBERS) if rng.random() < 0.6 else ""
    line = "%s %02d %3d %02d:%02d:%02d %s" % (
        start.strftime("%d/%m/%y %H:%M:%S"), rng.randint(1, 4), rng.choice(EXTENSIONS), h, m, s,
        number)
    return line.rstrip()


def say(text):
    print("exchange-sim: " + text, flush=True)


class Calls:
    """The calls still to send, one every interval seconds."""

    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.sent = 0

    def more(self):
        return self.args.count == 0 or self.sent < self.args.count

    def next_line(self):
        self.sent += 1
        return (call_line(datetime.datetime.now(), self.rng) + "\r\n").encode("cp1251")


def run_pty(args, calls):
    master, slave = pty.openpty()
    tty.setraw(slave, termios.TCSANOW)  # the carriage return must reach the station unchanged
    name = os.ttyname(slave)
    if args.link:
        try:
            os.unlink(args.link)
        except FileNotFoundError:
            pass
        os.symlink(name, args.link)
    say("calls on %s%s" % (name, " (" + args.link + ")" if args.link else ""))
    while calls.more():
        time.sleep(args.interval)
        os.write(master, calls.next_line())
    time.sleep(1)


def read_line(conn, limit=10.0):
    """One line typed by the station, without its line end; None when it went away."""
    data = b""
    end = time.monotonic() + limit
    while not data.endswith(b"\n"):
        ready, _, _ = select.select([conn], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            return None
        chunk = conn.recv(256)
        if not chunk:
            return None
        data += chunk
    return data.rstrip(b"\r\n").decode("cp1251", "replace")


def logged_in(conn, args):
    if args.login is None and args.password is None:
        return True
    conn.sendall(b"\r\nexchange-sim SMDR\r\nlogin: ")
    user = read_line(conn)
    conn.sendall(b"Password: ")
    password = read_line(conn)
    if user != (args.login or "") or password != (args.password or ""):
        conn.sendall(b"\r\nLogin incorrect\r\n")
        return False
    conn.sendall(b"\r\n")
    return True


def feed(conn, args, calls):
    """Sends calls until they are done or the station goes away; True when they are done."""
    while calls.more():
        # The station closing its end shows as a readable socket with nothing to read.
        ready, _, _ = select.select([conn], [], [], args.interval)
        if ready and not conn.recv(4096):
            return False
        try:
            conn.sendall(calls.next_line())
        except OSError:
            return False
    time.sleep(1)
    return True


def run_listen(args, calls):
    family = socket.AF_INET6 if ":" in args.bind else socket.AF_INET
    server = socket.create_server((args.bind, args.tcp_listen), family=family)
    say("calls for the station that connects to %s:%d" % (args.bind, args.tcp_listen))
    while True:
        conn, peer = server.accept()
        say("station connected from %s:%d" % peer[:2])
        with conn:
            if not logged_in(conn, args):
                say("login refused")
                continue
            if feed(conn, args, calls):
                return
        say("station went away")


def run_connect(args, calls):
    host, _, port = args.tcp_connect.rpartition(":")
    host = host.strip("[]")
    say("calls for the station listening on %s:%s" % (host, port))
    while True:
        try:
            conn = socket.create_connection((host, int(port)), timeout=5)
        except OSError as e:
            say("no station (%s), again in 2 s" % e.strerror)
            time.sleep(2)
            continue
        conn.settimeout(None)
        say("connected")
        with conn:
            if feed(conn, args, calls):
                return
        say("connection lost")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--link", help="symlink to create for the pseudo-terminal's slave side")
    ap.add_argument("--tcp-listen", type=int, metavar="PORT", help="wait for the station on PORT")
    ap.add_argument("--bind", default="127.0.0.1", help="address for --tcp-listen")
    ap.add_argument("--tcp-connect", metavar="HOST:PORT", help="connect to a listening station")
    ap.add_argument("--login", help="with --tcp-listen: ask for this login first")
    ap.add_argument("--password", help="with --tcp-listen: ask for this password too")
    ap.add_argument("--interval", type=float, default=4.0, help="seconds between calls")
    ap.add_argument("--count", type=int, default=0, help="calls to send (0: without end)")
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()

    def finish(*_):
        if args.link and os.path.islink(args.link):
            os.unlink(args.link)
        sys.exit(0)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    calls = Calls(args)
    if args.tcp_listen:
        run_listen(args, calls)
    elif args.tcp_connect:
        run_connect(args, calls)
    else:
        run_pty(args, calls)
    finish()


if __name__ == "__main__":
    main()
