#!/usr/bin/python3
"""SMTP server for the integration tests: AUTH LOGIN allowed over plain text for one account.

Usage: smtp_auth_server.py DIR USER PASSWORD
Prints the port it listens on (127.0.0.1), then serves until killed. Every login attempt is
appended to DIR/logins ("LOGIN user ok|refused"); every message is written to DIR/message-N.eml
with its envelope in DIR/message-N.meta (EHLO name, sender, recipients).
"""
import asyncio
import logging
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# Its warnings about AUTH without TLS are expected here.
logging.getLogger("mail.log").setLevel(logging.ERROR)

out_dir = sys.argv[1]
account = sys.argv[2].encode()
secret = sys.argv[3].encode()


def write_file(name, data):
    path = os.path.join(out_dir, name)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Handler:
    def __init__(self):
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        meta = "ehlo=%s\nfrom=%s\nto=%s\n" % (
            session.host_name, envelope.mail_from, ",".join(envelope.rcpt_tos))
        write_file("message-%d.meta" % self.count, meta.encode())
        write_file("message-%d.eml" % self.count, envelope.original_content)
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login == account
          and auth_data.password == secret)
    login = auth_data.login if isinstance(auth_data, LoginPassword) else b"?"
    with open(os.path.join(out_dir, "logins"), "ab") as f:
        f.write(mechanism.encode() + b" " + login + (b" ok\n" if ok else b" refused\n"))
    # handled=False: the server itself answers a refusal with its 535 reply.
    return AuthResult(success=ok, handled=False)


async def main():
    handler = Handler()
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, authenticator=authenticator, auth_require_tls=False,
                     auth_required=True, hostname="mail.test", loop=loop),
        host="127.0.0.1", port=0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


asyncio.run(main())
