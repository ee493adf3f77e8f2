#!/usr/bin/env python3
"""TLS servers for the clients' tests of certificate names and of HTTP/2 floods, inside
the test namespace only (started by start-tls.sh).

    tls-hostile.py ADDRESS DIR NAME=FILE...

The certificate shown is chosen by the name the client sends (SNI): NAME gets
DIR/FILE.pem and DIR/FILE.key; an unknown name or none gets the first. On ADDRESS:
    853     DNS over TLS: a TXT question answered with "Pellamar test zone" (for a name
            whose first label is "size": with the question's length in bytes, as the
            server received it), any other with one A record, 192.0.2.85
    443     DNS over HTTP/2 (POST): the same answer
    4431    HTTP/2, after the request: 1xx HEADERS without end
    4432    HTTP/2, after a 200 HEADERS: empty DATA frames without end
    4433    HTTP/2, after the request: WINDOW_UPDATE frames without end
    4434    HTTP/2, after the request: PING frames without end
A flood lasts a minute at most, then the connection is closed. HTTP/2 is written here by
hand: a peer that only writes frames needs no more than their nine-byte header, and HPACK
only for the two fields of a response, as literals.
"""
import socket
import ssl
import struct
import sys
import threading
import time

address, directory = sys.argv[1:3]
names = [entry.split("=", 1) for entry in sys.argv[3:]]


def answer_to(question):
    """The question as an answer holding one record (the OPT record left out): the test
    zone's TXT record to a TXT question, else an A record."""
    end = 12
    while question[end] != 0:
        end += question[end] + 1
    kind = struct.unpack("!H", question[end + 1:end + 3])[0]
    end += 5
    header = question[:2] + struct.pack("!HHHHH", 0x8180, 1, 1, 0, 0)
    data = b"\x12Pellamar test zone" if kind == 16 else bytes([192, 0, 2, 85])
    if kind == 16 and question[12:17] == b"\x04size":
        length = str(len(question)).encode()
        data = bytes([len(length)]) + length
    record = struct.pack("!HHHIH", 0xC00C, kind if kind == 16 else 1, 1, 60, len(data)) + data
    return header + question[12:end] + record


def context_for(file, alpn):
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    made.load_cert_chain(f"{directory}/{file}.pem", f"{directory}/{file}.key")
    if alpn:
        made.set_alpn_protocols(alpn)
    return made


def listener(port, alpn):
    contexts = {name: context_for(file, alpn) for name, file in names}
    default = contexts[names[0][0]]

    def choose(connection, name, _):
        connection.context = contexts.get(name, default)

    default.sni_callback = choose
    return default.wrap_socket(socket.create_server((address, port)), server_side=True)


def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        piece = connection.recv(count - len(data))
        if not piece:
            raise EOFError
        data += piece
    return data


def frame(kind, flags, stream, payload=b""):
    return struct.pack("!I", len(payload))[1:] + struct.pack("!BBI", kind, flags, stream) + payload


HEADERS, DATA, SETTINGS, PING, WINDOW_UPDATE = 1, 0, 4, 6, 8
END_STREAM, END_HEADERS, ACK = 0x1, 0x4, 0x1
# ":status: 200" indexed; "content-type" a literal of the static table's name 31.
OK_BLOCK = b"\x88\x0f\x10\x17application/dns-message"
CONTINUE_BLOCK = b"\x08\x03100"  # ":status: 100", a literal of name 8


def serve_http2(connection, port):
    read_exactly(connection, 24)  # the client's preface
    connection.sendall(frame(SETTINGS, 0, 0))
    question = b""
    while True:  # the request: HEADERS, then DATA up to its END_STREAM
        length, kind, flags, stream = struct.unpack("!IBBI", b"\0" + read_exactly(connection, 9))
        payload = read_exactly(connection, length)
        if kind == SETTINGS and not flags & ACK:
            connection.sendall(frame(SETTINGS, ACK, 0))
        if kind == DATA:
            question += payload
        if kind in (HEADERS, DATA) and flags & END_STREAM:
            break
    if port == 443:
        connection.sendall(frame(HEADERS, END_HEADERS, stream, OK_BLOCK) +
                           frame(DATA, END_STREAM, stream, answer_to(question)))
        time.sleep(1)
        return
    if port == 4432:
        connection.sendall(frame(HEADERS, END_HEADERS, stream, OK_BLOCK))
    flood = {4431: frame(HEADERS, END_HEADERS, stream, CONTINUE_BLOCK),
             4432: frame(DATA, 0, stream),
             4433: frame(WINDOW_UPDATE, 0, 0, struct.pack("!I", 1)),
             4434: frame(PING, 0, 0, bytes(8))}[port] * 1000
    until = time.monotonic() + 60
    while time.monotonic() < until:
        connection.sendall(flood)


def serve_dot(connection, _):
    length = struct.unpack("!H", read_exactly(connection, 2))[0]
    answer = answer_to(read_exactly(connection, length))
    connection.sendall(struct.pack("!H", len(answer)) + answer)
    time.sleep(1)


def serve(port, alpn, handler):
    server = listener(port, alpn)
    while True:
        try:
            connection, _ = server.accept()
        except (ssl.SSLError, OSError):
            continue  # a client that refused the certificate

        def run(connection=connection):
            try:
                handler(connection, port)
            except (OSError, EOFError, ssl.SSLError):
                pass
            finally:
                connection.close()

        threading.Thread(target=run, daemon=True).start()


for port in (443, 4431, 4432, 4433, 4434):
    threading.Thread(target=serve, args=(port, ["h2"], serve_http2), daemon=True).start()
serve(853, None, serve_dot)
