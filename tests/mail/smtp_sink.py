"""A real SMTP server (aiosmtpd) on a free loopback port for the mail tests and benchmark.

Prints the port on the first line of standard output. With a directory, every message is
saved there as NNNN.eml (the data as received, dot-stuffing undone) and NNNN.env (sender and
recipients, one per line, sender first); the .env file is written last.
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


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


async def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else ""
    handler = Sink(directory)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, decode_data=False, hostname="sink.test"), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


asyncio.run(main())
