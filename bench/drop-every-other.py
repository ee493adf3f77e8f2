#!/usr/bin/env python3
"""A loopback UDP relay that loses every other question: the first datagram it is sent is
dropped, the second passed on to the DNS server behind it and its answer relayed back,
and so on. A client that sends a question and, unanswered, the same question again thus
meets exactly one lost datagram per lookup, whatever ID or source port it uses for the
second one. Only for the benchmark's private network namespace.

    drop-every-other.py LISTEN_PORT SERVER_PORT   (both on 127.0.0.1)
"""
import socket
import sys


def main():
    listen_port, server_port = int(sys.argv[1]), int(sys.argv[2])
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", listen_port))
    count = 0
    while True:
        question, client = front.recvfrom(65535)
        count += 1
        if count % 2 == 1:
            continue
        back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        back.settimeout(2)
        try:
            back.sendto(question, ("127.0.0.1", server_port))
            answer, _ = back.recvfrom(65535)
            front.sendto(answer, client)
        except OSError:
            pass
        finally:
            back.close()


if __name__ == "__main__":
    main()
