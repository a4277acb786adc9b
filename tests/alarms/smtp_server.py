"""SMTP server for the mail tests: records every step of every session as one JSON line.

usage: smtp_server.py RECORD_FILE PORT MODE CERT KEY [REFUSED_ADDRESS ...]
MODE is "tls" (TLS from the first byte), "starttls" or "plain". PORT 0 takes any free port.
Prints the bound port on stdout once it listens.
"""
import asyncio
import base64
import email
import json
import logging
import ssl
import sys
import warnings

from email.header import decode_header, make_header

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# The server is deliberately lax (AUTH without TLS in the plain mode); its warnings are noise here.
warnings.simplefilter("ignore")
logging.disable(logging.WARNING)

record_file, port, mode, cert, key = sys.argv[1:6]
refused = {a.lower() for a in sys.argv[6:]}


def record(**event):
    with open(record_file, "a", encoding="utf-8") as f:
        f.write(json.dumps(event) + "\n")


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword)
    if ok:
        record(ev="auth", login=auth_data.login.decode(), password=auth_data.password.decode(),
               tls=session.ssl is not None or mode == "tls")
    return AuthResult(success=ok)


class Handler:
    async def handle_MAIL(self, server, session, envelope, address, options):
        record(ev="mail", address=address, options=options)
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in refused:
            record(ev="rcpt", address=address, accepted=False)
            return "550 5.1.1 no such user"
        record(ev="rcpt", address=address, accepted=True)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.original_content)
        subject = str(make_header(decode_header(message["Subject"] or "")))
        record(ev="data", rcpt=envelope.rcpt_tos, subject=subject,
               content=base64.b64encode(envelope.original_content).decode())
        return "250 Message accepted"


def main():
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    implicit = mode == "tls"
    starttls = mode == "starttls"

    def factory():
        return SMTP(Handler(), hostname="mail.test",
                    tls_context=context if starttls else None,
                    auth_required=True, auth_require_tls=starttls,
                    authenticator=authenticator)

    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(
        loop.create_server(factory, "127.0.0.1", int(port), ssl=context if implicit else None,
                           reuse_address=True))
    print(server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()


main()
