#!/usr/bin/env python3
"""A DNS over HTTPS server that speaks HTTP/1.1 only, good and bad on purpose, for the
clients' tests inside the test namespace (started by start-tls.sh; never outside it).

    doh-http1.py ADDRESS CERT KEY

On ADDRESS:443 (ALPN "http/1.1" only), by path:
    /dns-query      a DNS answer to the question (POST body or GET ?dns=): the question
                    with one A record, 192.0.2.84; Content-Length
    /chunked        the same after "100 Continue", in chunks
    /close          the same without a length, ended by closing the connection
    /status/NNN     status NNN, text/plain
    /html           200 with text/html
    /big            200 application/dns-message, 70,000 bytes with Content-Length
    /big-chunked    the same in chunks, no length given
    /stall          reads the request and never answers
    /flood-1xx      "100 Continue" without end (for a minute at most)
A client that does not ask to close ("Connection: close") keeps the connection for its
next request after the answers of /dns-query, /status/NNN and /html.
On ADDRESS:853 a TLS server that completes the handshake, reads, and never answers.
"""
import base64
import http.server
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

address, cert, key = sys.argv[1:4]


def answer_to(question):
    """The question as an answer holding one A record (the OPT record left out)."""
    end = 12
    while question[end] != 0:
        end += question[end] + 1
    end += 5
    header = question[:2] + struct.pack("!HHHHH", 0x8180, 1, 1, 0, 0)
    record = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + bytes([192, 0, 2, 84])
    return header + question[12:end] + record


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def question(self):
        if self.command == "POST":
            return self.rfile.read(int(self.headers.get("Content-Length", "0")))
        query = self.path.partition("?")[2]
        for part in query.split("&"):
            name, _, value = part.partition("=")
            if name == "dns":
                return base64.urlsafe_b64decode(value + "=" * (-len(value) % 4))
        return b""

    def send(self, status, content_type, body, length=True):
        self.send_response_only(status)
        self.send_header("Content-Type", content_type)
        if length:
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def chunked(self, body, piece=1000):
        self.send_response_only(200)
        self.send_header("Content-Type", "application/dns-message")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for start in range(0, len(body), piece):
            part = body[start:start + piece]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
        self.wfile.write(b"0\r\n\r\n")

    def handle_one(self):
        path = self.path.partition("?")[0]
        question = self.question()
        asked_close = self.headers.get("Connection", "").lower() == "close"
        kept = path in ("/dns-query", "/html") or path.startswith("/status/")
        self.close_connection = asked_close or not kept
        if path == "/dns-query":
            self.send(200, "application/dns-message", answer_to(question))
        elif path == "/chunked":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.chunked(answer_to(question), piece=7)
        elif path == "/close":
            self.send(200, "application/dns-message", answer_to(question), length=False)
        elif path.startswith("/status/"):
            self.send(int(path[8:]), "text/plain", b"no\n")
        elif path == "/html":
            self.send(200, "text/html", b"<html><body>Not DNS</body></html>\n")
        elif path == "/big":
            self.send(200, "application/dns-message", answer_to(question) + bytes(70000))
        elif path == "/big-chunked":
            self.chunked(answer_to(question) + bytes(70000))
        elif path == "/stall":
            time.sleep(3600)
        elif path == "/flood-1xx":
            until = time.monotonic() + 60
            while time.monotonic() < until:
                self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n" * 1000)
        else:
            self.send(404, "text/plain", b"not here\n")

    do_GET = handle_one
    do_POST = handle_one


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def context():
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    made.load_cert_chain(cert, key)
    made.set_alpn_protocols(["http/1.1"])
    return made


def stall_after_handshake():
    listener = context().wrap_socket(socket.create_server((address, 853)), server_side=True)
    held = []
    while True:
        try:
            connection, _ = listener.accept()
        except (ssl.SSLError, OSError):
            continue
        held.append(connection)  # kept open, never answered


threading.Thread(target=stall_after_handshake, daemon=True).start()
server = Server((address, 443), Handler)
server.socket = context().wrap_socket(server.socket, server_side=True)
server.serve_forever()
