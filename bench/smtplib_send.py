"""Sends COUNT messages of SIZE body bytes with smtplib, one session each, like the station.

usage: smtplib_send.py PORT COUNT SIZE [USER PASSWORD]; prints the seconds spent sending
(start-up excluded). With a user, each session goes through STARTTLS (the certificate checked
against the default store and localhost) and logs in.
"""
import smtplib
import ssl
import sys
import time

port, count, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
login = sys.argv[4:6]
context = ssl.create_default_context() if login else None
line = b"x" * 62 + b"\r\n"
body = line * (size // len(line))
message = (b"From: <station@office.test>\r\nTo: owner@office.test\r\nSubject: bench\r\n"
           b"Mime-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n\r\n" + body)
start = time.perf_counter()
for _ in range(count):
    with smtplib.SMTP("localhost" if login else "127.0.0.1", port,
                      local_hostname="localhost") as s:
        if login:
            s.starttls(context=context)
            s.login(*login)
        s.sendmail("station@office.test", ["owner@office.test"], message)
print(time.perf_counter() - start)
