#!/usr/bin/env python3
"""Zone transfer servers that misbehave, one TCP port each on ADDRESS (run by
tests/netns/start-xfr-hostile.sh, inside the test namespace only). Every server answers
any question for its zone `hostile.test` with one of these transfers:

  5301 forged    three messages signed with the first key of nsd/xfr.keys; the second
                 carries a MAC that is not the key's (its records must never show)
  5302 foreign   the second message holds a record of other.test
  5303 stop      the SOA and 50 records, then the connection is closed
  5304 drip      one byte a second
  5305 endless   the SOA, then messages of 100 records without end
  5306 unsigned  a whole small zone, never signed, whatever the question carried
"""
import hashlib
import hmac
import socket
import struct
import sys
import threading
import time

ZONE = "hostile.test"


def name_wire(name):
    out = b""
    for label in name.rstrip(".").split("."):
        if label:
            out += bytes([len(label)]) + label.lower().encode()
    return out + b"\0"


def skip_name(data, pos):
    while True:
        length = data[pos]
        if length & 0xC0 == 0xC0:
            return pos + 2
        pos += 1 + length
        if length == 0:
            return pos


def record(name, rtype, rdata, ttl=300):
    return name_wire(name) + struct.pack("!HHIH", rtype, 1, ttl, len(rdata)) + rdata


def soa():
    rdata = name_wire("ns1." + ZONE) + name_wire("hostmaster." + ZONE)
    rdata += struct.pack("!IIIII", 7, 3600, 600, 86400, 300)
    return record(ZONE, 6, rdata)


def a_record(i, zone=ZONE):
    return record("h%d.%s" % (i, zone), 1, bytes([10, 0, (i >> 8) & 255, i & 255]))


def message(request_id, question, records):
    header = struct.pack("!HHHHHH", request_id, 0x8400, 1 if question else 0, len(records), 0, 0)
    return header + question + b"".join(records)


class Key:
    def __init__(self, path):
        algorithm, name, secret = open(path).readline().split()
        import base64
        self.algorithm, self.name = algorithm, name
        self.secret = base64.b64decode(secret)
        self.digest = {"hmac-sha256": hashlib.sha256}[algorithm]

    def sign(self, msg, prior_mac, first, forged=False):
        now = int(time.time())
        timers = struct.pack("!HIH", now >> 32, now & 0xFFFFFFFF, 300)
        covered = struct.pack("!H", len(prior_mac)) + prior_mac + msg
        if first:
            covered += name_wire(self.name) + struct.pack("!HI", 255, 0)
            covered += name_wire(self.algorithm) + timers + struct.pack("!HH", 0, 0)
        else:
            covered += timers
        mac = hmac.new(self.secret, covered, self.digest).digest()
        if forged:
            mac = bytes(b ^ 0x5A for b in mac)
        rdata = name_wire(self.algorithm) + timers + struct.pack("!H", len(mac)) + mac
        rdata += msg[:2] + struct.pack("!HH", 0, 0)
        tsig = name_wire(self.name) + struct.pack("!HHIH", 250, 255, 0, len(rdata)) + rdata
        signed = msg[:10] + struct.pack("!H", struct.unpack("!H", msg[10:12])[0] + 1) + msg[12:]
        return signed + tsig, mac


def request_mac(data):
    """The MAC of the request's TSIG record (its last), or b"" when unsigned."""
    counts = struct.unpack("!HHHH", data[4:12])
    pos = 12
    for _ in range(counts[0]):
        pos = skip_name(data, pos) + 4
    mac = b""
    for _ in range(sum(counts[1:])):
        pos = skip_name(data, pos)
        rtype, _, _, length = struct.unpack("!HHIH", data[pos:pos + 10])
        rdata = data[pos + 10:pos + 10 + length]
        if rtype == 250:
            p = skip_name(rdata, 0) + 8
            size = struct.unpack("!H", rdata[p:p + 2])[0]
            mac = rdata[p + 2:p + 2 + size]
        pos += 10 + length
    return mac


def send(conn, msg, drip=False):
    framed = struct.pack("!H", len(msg)) + msg
    if not drip:
        conn.sendall(framed)
        return
    for byte in framed:
        conn.sendall(bytes([byte]))
        time.sleep(1)


def serve(conn, mode, key):
    data = b""
    while len(data) < 2 or len(data) < 2 + struct.unpack("!H", data[:2])[0]:
        chunk = conn.recv(65536)
        if not chunk:
            return
        data += chunk
    req = data[2:2 + struct.unpack("!H", data[:2])[0]]
    request_id = struct.unpack("!H", req[:2])[0]
    question = req[12:skip_name(req, 12) + 4]
    if mode == "forged":
        prior = request_mac(req)
        parts = [[soa(), a_record(1)], [a_record(2), a_record(3)], [soa()]]
        for index, records in enumerate(parts):
            msg, prior = key.sign(message(request_id, question if index == 0 else b"", records),
                                  prior, index == 0, forged=index == 1)
            send(conn, msg)
    elif mode == "foreign":
        send(conn, message(request_id, question, [soa(), a_record(1)]))
        send(conn, message(request_id, b"", [a_record(2, "other.test"), soa()]))
    elif mode == "stop":
        send(conn, message(request_id, question, [soa()] + [a_record(i) for i in range(50)]))
    elif mode == "drip":
        send(conn, message(request_id, question, [soa(), a_record(1), soa()]), drip=True)
    elif mode == "endless":
        send(conn, message(request_id, question, [soa()]))
        i = 0
        while True:
            send(conn, message(request_id, b"", [a_record(i + j) for j in range(100)]))
            i += 100
    elif mode == "unsigned":
        send(conn, message(request_id, question, [soa(), a_record(1), soa()]))
        if request_mac(req) == b"":
            return
    time.sleep(0.5)


def listen(address, port, mode, key):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, port))
    server.listen(16)
    while True:
        conn, _ = server.accept()

        def run(conn=conn):
            try:
                serve(conn, mode, key)
            except OSError:
                pass
            finally:
                conn.close()

        threading.Thread(target=run, daemon=True).start()


def main():
    address, key_file = sys.argv[1], sys.argv[2]
    key = Key(key_file)
    modes = ["forged", "foreign", "stop", "drip", "endless", "unsigned"]
    for index, mode in enumerate(modes):
        threading.Thread(target=listen, args=(address, 5301 + index, mode, key),
                         daemon=True).start()
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
