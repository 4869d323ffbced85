#!/usr/bin/env python3
"""Answers every SSDP search datagram with one gateway answer.

    ssdp_responder.py --host 127.0.102.3 --location URL [--st ST]

Prints "listening HOST PORT" first (UDP).
"""
import argparse
import socket

ANSWER = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: {st}\r\n"
          "USN: uuid:00000000-0000-0000-0000-000000000101::{st}\r\nEXT:\r\nSERVER: Linux UPnP/1.1 test/1\r\n"
          "LOCATION: {location}\r\n\r\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.102.3")
    parser.add_argument("--location", required=True)
    parser.add_argument("--st", default="urn:schemas-upnp-org:device:InternetGatewayDevice:1")
    args = parser.parse_args()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, 0))
    print("listening %s %d" % sock.getsockname(), flush=True)
    answer = ANSWER.format(st=args.st, location=args.location).encode()
    try:
        while True:
            data, source = sock.recvfrom(4096)
            if data.startswith(b"M-SEARCH"):
                sock.sendto(answer, source)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
