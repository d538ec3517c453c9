"""A real SMTP server (aiosmtpd) on a free loopback port for the mail tests and benchmark.

usage: smtp_sink.py [DIR] [--mode plain|starttls|tls --cert FILE --key FILE]
                    [--user USER --password PASSWORD [--no-plain]]

Prints the port on the first line of standard output. With a directory, every message is
saved there as NNNN.eml (the data as received, dot-stuffing undone) and NNNN.env (sender and
recipients, one per line, sender first); the .env file is written last. Every login attempt
is appended to auth.log as "MECHANISM user ok|refused".

--mode starttls offers STARTTLS and requires it before anything else; --mode tls speaks TLS
from the first byte. With --user every message needs a login, over TLS where the server
offers STARTTLS; --no-plain leaves only the LOGIN mechanism.
"""
import argparse
import asyncio
import os
import ssl

from aiosmtpd.smtp import SMTP, AuthResult


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if self.directory:
            base = os.path.join(self.directory, "%04d" % self.count)
            with open(base + ".eml", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".tmp", "w") as f:
                f.write("\n".join([envelope.mail_from] + list(envelope.rcpt_tos)) + "\n")
            os.rename(base + ".tmp", base + ".env")
        return "250 Message accepted for delivery"


def authenticator(directory, user, password):
    def check(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == user.encode() and auth_data.password == password.encode()
        if directory:
            with open(os.path.join(directory, "auth.log"), "a") as f:
                f.write("%s %s %s\n" % (mechanism, auth_data.login.decode("utf-8", "replace"),
                                        "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False)
    return check


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory", nargs="?", default="")
    parser.add_argument("--mode", choices=["plain", "starttls", "tls"], default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password", default="")
    parser.add_argument("--no-plain", action="store_true")
    args = parser.parse_args()

    context = None
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    options = dict(decode_data=False, hostname="sink.test")
    if args.mode == "starttls":
        options.update(tls_context=context, require_starttls=True)
    if args.user:
        options.update(authenticator=authenticator(args.directory, args.user, args.password),
                       auth_required=True,
                       # Implicit TLS is TLS too, which the server's own check does not see.
                       auth_require_tls=args.mode == "starttls")
        if args.no_plain:
            options.update(auth_exclude_mechanism=["PLAIN"])
    handler = Sink(args.directory)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(handler, **options), "127.0.0.1", 0,
                                      ssl=context if args.mode == "tls" else None)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


asyncio.run(main())
