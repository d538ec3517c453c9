#!/usr/bin/env python3
"""A small office exchange on a pseudo-terminal: prints one call line every few seconds.

The lines follow the GENERIC24 template layout:
    DD/MM/YY HH:MM:SS LL EXT HH:MM:SS NUMBER<CR><LF>
Incoming calls carry no dialled number. The slave side is linked at --link so the station's
port settings can name a stable path.
"""
import argparse
import datetime
import os
import pty
import random
import signal
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--link", help="symlink to create for the slave side")
    ap.add_argument("--interval", type=float, default=4.0, help="seconds between calls")
    ap.add_argument("--count", type=int, default=0, help="calls to send (0: without end)")
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()

    master, slave = pty.openpty()
    tty.setraw(slave, termios.TCSANOW)  # the carriage return must reach the station unchanged
    name = os.ttyname(slave)
    if args.link:
        try:
            os.unlink(args.link)
        except FileNotFoundError:
            pass
        os.symlink(name, args.link)
    print("exchange-sim: calls on %s%s" % (name, " (" + args.link + ")" if args.link else ""),
          flush=True)

    def finish(*_):
        if args.link and os.path.islink(args.link):
            os.unlink(args.link)
        sys.exit(0)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    rng = random.Random(args.seed)
    sent = 0
    while args.count == 0 or sent < args.count:
        time.sleep(args.interval)
        line = call_line(datetime.datetime.now(), rng)
        os.write(master, (line + "\r\n").encode("cp1251"))
        sent += 1
    time.sleep(1)
    finish()


if __name__ == "__main__":
    main()
