#!/usr/bin/env python3
"""A gateway that answers the way a broken or hostile one might.

    hostile_igd.py --host 127.0.102.1 [--control-host H:P] [--urlbase H:P]
                   [--reply ok|fault|html500|html404|empty200]

--huge makes the description (and --reply huge the SOAP answer) an endless
stream: 64 MiB without a length, then the end of the connection; GET
/complete counts the streams that were read to their end.
--control-host makes the description's controlURL absolute on another host
(USERHOST in it stands for this server's own host:port, as in USERHOST@other);
--urlbase sets URLBase to another host. --reply picks the AddPortMapping
answer. GET /posts and GET /gets answer with the number of POSTs and of
description requests received so far.
Prints "listening HOST PORT" first.
"""
import argparse
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>{urlbase}
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Hostile router</friendlyName>
<modelName>Hostile model</modelName>
<UDN>uuid:00000000-0000-0000-0000-000000000101</UDN>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<SCPDURL>/WANIPCn.xml</SCPDURL>
<controlURL>{control}</controlURL>
<eventSubURL>/evt/IPConn</eventSubURL>
</service></serviceList>
</device></deviceList>
</device></deviceList>
</device>
</root>
"""

OK = """<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<s:Body><u:AddPortMappingResponse xmlns:u="urn:schemas-upnp-org:service:WANIPConnection:1"/></s:Body>
</s:Envelope>"""

FAULT = """<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>
<detail><UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>718</errorCode>
<errorDescription>ConflictInMappingEntry</errorDescription></UPnPError></detail></s:Fault></s:Body>
</s:Envelope>"""

REPLIES = {
    "ok": (200, OK),
    "fault": (500, FAULT),
    "html500": (500, "<html><body>Internal Server Error</body></html>"),
    "html404": (404, "<html><body>Not Found</body></html>"),
    "empty200": (200, ""),
    "huge": (200, None),
}
HUGE_BYTES = 64 << 20


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def stream(self):
        self.send_response(200)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        chunk = b"<a>" * 21846
        sent = 0
        try:
            while sent < HUGE_BYTES:
                self.wfile.write(chunk)
                sent += len(chunk)
            self.wfile.flush()
        except OSError:
            return
        with self.server.lock:
            self.server.complete += 1

    def reply(self, status, body, kind='text/xml; charset="utf-8"'):
        if body is None:
            return self.stream()
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/rootDesc.xml":
            with self.server.lock:
                self.server.gets += 1
            return self.reply(200, None if self.server.huge else self.server.description)
        if self.path in ("/posts", "/gets", "/complete"):
            with self.server.lock:
                count = {"/posts": self.server.posts, "/gets": self.server.gets,
                         "/complete": self.server.complete}[self.path]
            return self.reply(200, str(count), "text/plain")
        self.reply(404, "")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        with self.server.lock:
            self.server.posts += 1
        self.reply(*REPLIES[self.server.answer])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.102.1")
    parser.add_argument("--control-host", default="")
    parser.add_argument("--urlbase", default="")
    parser.add_argument("--reply", choices=sorted(REPLIES), default="ok")
    parser.add_argument("--huge", action="store_true")
    args = parser.parse_args()
    server = ThreadingHTTPServer((args.host, 0), Handler)
    server.daemon_threads = True
    server.lock = threading.Lock()
    server.posts = 0
    server.gets = 0
    server.complete = 0
    server.huge = args.huge
    server.answer = args.reply
    control = "/ctl/IPConn"
    if args.control_host:
        # "user@host" keeps the describing host in front of the real one.
        control = "http://%s/ctl/IPConn" % args.control_host.replace("USERHOST", "%s:%d" % server.server_address[:2])
    urlbase = "\n<URLBase>http://%s/</URLBase>" % args.urlbase if args.urlbase else ""
    server.description = DESCRIPTION.format(control=control, urlbase=urlbase)
    print("listening %s %d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
