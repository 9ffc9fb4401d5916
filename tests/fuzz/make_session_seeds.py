#!/usr/bin/env python3
"""Writes the seed scripts of engine_proxy_session_fuzz: one complete, well-behaved session
per protocol path (and a few that end badly), in the harness's script format. Run it after
changing the format; the fuzzer grows its own inputs from these.

Usage: tests/fuzz/make_session_seeds.py [output directory]
"""
import os
import sys

SOCKS, FTP, POP3, SMTP, HTTP = range(5)
LOGIN = 8  # the proxy asks for a login; account fuzz / fuzz


def _write(op, data):
    data = data.encode("latin-1") if isinstance(data, str) else data
    out = b""
    while True:
        out += bytes([op, min(len(data), 255)]) + data[:255]
        data = data[255:]
        if not data:
            return out


def client(data):
    return _write(0, data)


def peer(data):
    return _write(1, data)


def first_peer(data):
    return _write(7, data)


def data_connect(data):
    return _write(6, data)


CLIENT_HALF_CLOSE, PEER_HALF_CLOSE, PEER_CLOSE, CLIENT_ABORT = b"\x02", b"\x03", b"\x04", b"\x05"

# Placeholders the harness fills in: the peer's port in decimal, as two bytes, as FTP's
# "hi,lo", and the SMTP user name "mailbox#127.0.0.1:port" in Base64.
PORT, PORT_BYTES, PORT_FTP, SMTP_USER = "%P", "%B", "%C", "%M"

SEEDS = {
    "socks5_connect": (SOCKS, [
        client(b"\x05\x01\x00"),
        client(b"\x05\x01\x00\x01\x7f\x00\x00\x01%B"),
        client("hello"), peer("world"), PEER_CLOSE]),
    "socks5_joined_messages": (SOCKS, [
        client(b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01%Bearly bytes"),
        peer("back"), CLIENT_HALF_CLOSE, PEER_HALF_CLOSE]),
    "socks5_login_domain": (SOCKS | LOGIN, [
        client(b"\x05\x02\x00\x02"), client(b"\x01\x04fuzz\x04fuzz"),
        client(b"\x05\x01\x00\x03\x09localhost%B"), client("x"), peer("y")]),
    "socks5_bad_login": (SOCKS | LOGIN, [
        client(b"\x05\x01\x02"), client(b"\x01\x04fuzz\x04nope")]),
    "socks5_bind_refused": (SOCKS, [
        client(b"\x05\x01\x00"), client(b"\x05\x02\x00\x01\x7f\x00\x00\x01%B")]),
    "socks4_connect": (SOCKS, [
        client(b"\x04\x01%B\x7f\x00\x00\x01user\x00"), client("ping"), peer("pong"),
        CLIENT_ABORT]),
    "socks4a_split_name": (SOCKS, [
        client(b"\x04\x01%B\x00\x00\x00\x01user\x00local"), client(b"host\x00data"),
        peer("back"), PEER_CLOSE]),
    "ftp_user_path_passive": (FTP, [
        client("USER anonymous@127.0.0.1:%P\r\n"), peer("220 ready\r\n"),
        peer("331 password\r\n"), client("PASS guest\r\n"), peer("230 in\r\n"),
        client("PASV\r\n"), peer("227 Entering Passive Mode (127,0,0,1,%C).\r\n"),
        data_connect(""), client("LIST\r\n"), first_peer("150 here\r\n"),
        peer("-rw-r--r-- 1 a a 5 Jan 1 00:00 f\r\n"), PEER_CLOSE,
        peer("226 done\r\n"), client("QUIT\r\n"), peer("221 bye\r\n")]),
    "ftp_port_command": (FTP, [
        client("USER a@127.0.0.1:%P\r\n"), peer("220-multi\r\n220 line greeting\r\n"),
        peer("230 in\r\n"), client("PORT 127,0,0,1,%C\r\n"), peer("200 ok\r\n"),
        client("EPSV\r\n"), client("AUTH TLS\r\n"), client("PORT 10,0,0,1,4,1\r\n")]),
    "ftp_login_then_open": (FTP | LOGIN, [
        client("USER fuzz\r\n"), client("PASS fuzz\r\n"), client("OPEN 127.0.0.1:%P\r\n"),
        peer("220 ready\r\n"), client("USER x\r\n"), peer("331 pw\r\n"),
        client("PASS y\r\nSYST\r\n"), peer("230 ok\r\n215 UNIX\r\n")]),
    "ftp_before_server": (FTP, [
        client("NOOP\r\n"), client("SITE\r\n"), client("USER @\r\n"), client("QUIT\r\n")]),
    "pop3_session": (POP3, [
        client("CAPA\r\n"), client("USER box#127.0.0.1:%P\r\n"), peer("+OK ready\r\n"),
        peer("+OK user\r\n"), client("PASS secret\r\n"), peer("+OK in\r\n"),
        client("RETR 1\r\n"), peer("+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n"),
        client("QUIT\r\n"), peer("+OK bye\r\n"), PEER_CLOSE]),
    "pop3_server_refuses": (POP3, [
        client("USER box#127.0.0.1:%P\r\nPASS early\r\n"), peer("-ERR go away\r\n"),
        PEER_CLOSE]),
    "smtp_session": (SMTP, [
        client("EHLO me\r\n"), client("AUTH LOGIN\r\n"), client("%M\r\n"),
        peer("220 ready\r\n"), peer("250-hi\r\n250 AUTH LOGIN\r\n"),
        peer("334 VXNlcm5hbWU6\r\n"), peer("334 UGFzc3dvcmQ6\r\n"), client("cGFzcw==\r\n"),
        peer("235 ok\r\n"), client("MAIL FROM:<a@b>\r\n"), peer("250 ok\r\n"),
        client("QUIT\r\n"), peer("221 bye\r\n"), PEER_CLOSE]),
    "smtp_auth_inline": (SMTP, [
        client("HELO me\r\nAUTH PLAIN\r\nAUTH LOGIN %M\r\n"), peer("220 ready\r\n"),
        peer("250 hi\r\n"), peer("535 no\r\n")]),
    "http_get_keepalive": (HTTP, [
        client("GET http://127.0.0.1:%P/a HTTP/1.1\r\nHost: x\r\n\r\n"),
        peer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"),
        client("GET http://127.0.0.1:%P/b HTTP/1.1\r\n\r\n"), peer("HTTP/1.1 404 No\r\n\r\n"),
        PEER_CLOSE]),
    "http_kept_reused": (HTTP, [
        client("GET http://127.0.0.1:%P/a HTTP/1.1\r\n\r\n"),
        peer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"),
        client("GET http://127.0.0.1:%P/b HTTP/1.1\r\n\r\nHEAD http://127.0.0.1:%P/c HTTP/1.1\r\n\r\n"),
        peer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
        peer("HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n"),
        client("GET http://localhost:%P/d HTTP/1.1\r\n\r\n"), peer("HTTP/1.1 204 No\r\n\r\n"),
        PEER_CLOSE]),
    "http_kept_closed_unanswered": (HTTP, [
        client("GET http://127.0.0.1:%P/a HTTP/1.1\r\n\r\n"),
        peer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"),
        client("GET http://127.0.0.1:%P/b HTTP/1.1\r\n\r\n"), PEER_CLOSE,
        peer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"),
        client("POST http://127.0.0.1:%P/c HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"),
        PEER_CLOSE]),
    "http_connect_login": (HTTP | LOGIN, [
        client("CONNECT 127.0.0.1:%P HTTP/1.1\r\n"
               "Proxy-Authorization: Basic ZnV6ejpmdXp6\r\n\r\n"),
        client("tunnel bytes"), peer("back"), CLIENT_HALF_CLOSE]),
    "http_post_split": (HTTP, [
        client("POST http://127.0.0.1:%P/p HTTP/1.1\r\nContent-Length: 10\r\n"),
        client("\r\n01234"), client("56789"), peer("HTTP/1.1 200 OK\r\n\r\n"), PEER_CLOSE]),
    "http_ftp_gateway_listing": (HTTP, [
        client("GET ftp://127.0.0.1:%P/pub/ HTTP/1.0\r\n\r\n"), peer("220 ready\r\n"),
        peer("331 pw\r\n"), peer("230 in\r\n"), peer("215 UNIX\r\n"), peer("200 binary\r\n"),
        peer("227 Entering Passive Mode (127,0,0,1,%C)\r\n"), first_peer("250 cwd\r\n"),
        first_peer("150 list\r\n"),
        peer("drwxr-xr-x 2 a a 4096 Jan 1 00:00 dir\r\n"
             "-rw-r--r-- 1 a a 12 Jan 1 00:00 file.txt\r\n"),
        PEER_CLOSE, peer("226 done\r\n"), peer("221 bye\r\n")]),  # control is newest again
    "http_ftp_gateway_file": (HTTP, [
        client("GET ftp://u:p@127.0.0.1:%P/pub/f.txt HTTP/1.0\r\n\r\n"),
        peer("220 ready\r\n"), peer("331 pw\r\n"), peer("230 in\r\n"), peer("215 UNIX\r\n"),
        peer("200 binary\r\n"), peer("227 (127,0,0,1,%C)\r\n"), first_peer("550 not a dir\r\n"),
        first_peer("250 cwd\r\n"), first_peer("213 5\r\n"), first_peer("150 sending\r\n"),
        peer("abcde"), PEER_CLOSE]),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "corpus", "engine_proxy_session_fuzz")
    os.makedirs(out, exist_ok=True)
    for name, (selector, steps) in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes([selector]) + b"".join(steps))


if __name__ == "__main__":
    main()
