#!/usr/bin/env python3
"""A scripted Internet gateway for the port-mapping failure paths.

Serves a root description at /rootDesc.xml and answers the WANIPConnection
control URL's AddPortMapping. No SSDP: the engine is given the description URL.

    scripted_igd.py --host 127.0.5.1 [--model-name NAME] [--add ok|fail]

Prints "listening HOST PORT" first; logs each SOAP action on standard error.
"""
import argparse
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Scripted router</friendlyName>
<manufacturer>Zephyrloader tests</manufacturer>
<manufacturerURL>http://127.0.5.1/</manufacturerURL>
<modelDescription>Scripted gateway</modelDescription>
<modelName>{model}</modelName>
<modelNumber>1</modelNumber>
<serialNumber>0001</serialNumber>
<UDN>uuid:00000000-0000-0000-0000-000000000001</UDN>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<friendlyName>WAN device</friendlyName>
<UDN>uuid:00000000-0000-0000-0000-000000000002</UDN>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<friendlyName>WAN connection</friendlyName>
<UDN>uuid:00000000-0000-0000-0000-000000000003</UDN>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<SCPDURL>/WANIPCn.xml</SCPDURL>
<controlURL>/ctl/IPConn</controlURL>
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

FAIL = """<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>
<detail><UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>501</errorCode>
<errorDescription>Action Failed</errorDescription></UPnPError></detail></s:Fault></s:Body>
</s:Envelope>"""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body):
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/rootDesc.xml":
            return self.reply(200, DESCRIPTION.format(model=self.server.model_name))
        self.reply(404, "")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace")
        action = self.headers.get("SOAPAction", "")
        print("action %s %s" % (action, "NewPortMappingDescription" in body), file=sys.stderr, flush=True)
        if self.path == "/ctl/IPConn" and "AddPortMapping" in action and self.server.add == "ok":
            return self.reply(200, OK)
        self.reply(500, FAIL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.5.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--model-name", default="")
    parser.add_argument("--add", choices=("ok", "fail"), default="fail")
    args = parser.parse_args()
    server = ThreadingHTTPServer((args.host, args.port), Handler)
    server.daemon_threads = True
    server.model_name = args.model_name
    server.add = args.add
    print("listening %s %d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
