"""A misbehaving SMTP server for the mail tests, driven by a script of steps.

usage: scripted_server.py LOG_FILE STEPS_JSON
Prints its loopback port first. Steps: ["send", text] (one packet), ["recv"] (one line into
the log), ["until_dot"] (log the data up to its end line), ["drain"] (log until the client closes), ["pause", ms], ["wait_file", path],
["close"], ["accept"] (the next connection). A script of ["refuse"] binds a port without
listening, so connecting to it is refused, and waits to be killed.
"""
import json
import os
import socket
import sys
import time

log_path, steps = sys.argv[1], json.loads(sys.argv[2])
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
if steps == [["refuse"]]:
    print(srv.getsockname()[1], flush=True)
    time.sleep(3600)
srv.listen(4)
print(srv.getsockname()[1], flush=True)
log = open(log_path, "wb", buffering=0)
conn = None
pending = b""


def accept():
    global conn, pending
    conn, _ = srv.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""


def read_line():
    global pending
    while b"\n" not in pending:
        try:
            chunk = conn.recv(65536)
        except ConnectionResetError:  # the client closes abortively
            chunk = b""
        if not chunk:
            line, pending = pending, b""
            return line
        pending += chunk
    line, _, pending = pending.partition(b"\n")
    return line + b"\n"


accept()
for step in steps:
    op = step[0]
    if op == "send":
        try:
            conn.sendall(step[1].encode("latin-1"))
        except OSError:  # the client has gone; the test judges what it saw
            pass
    elif op == "recv":
        log.write(read_line())
    elif op == "until_dot":
        while True:
            line = read_line()
            log.write(line)
            if line in (b".\r\n", b""):
                break
    elif op == "drain":
        while True:
            line = read_line()
            if not line:
                break
            log.write(line)
    elif op == "pause":
        time.sleep(step[1] / 1000.0)
    elif op == "wait_file":
        while not os.path.exists(step[1]):
            time.sleep(0.005)
    elif op == "close":
        conn.close()
    elif op == "accept":
        accept()
log.close()
