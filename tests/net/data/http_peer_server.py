#!/usr/bin/env python3
# http.server as the peer of the HTTP message writer: prints its port, serves one kept-alive
# connection and answers each request with a property list of what arrived, the body taken apart
# with struct and plistlib, and the problems found here.
import http.server
import plistlib
import struct
from urllib.parse import parse_qs, urlsplit


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    timeout = 20

    def do_GET(self):
        length = self.headers.get_all('Content-Length', [])
        body = self.rfile.read(int(length[0]) if length else 0)
        url = urlsplit(self.path)
        seen = {'requestline': self.requestline, 'path': url.path, 'body': body,
                'query': parse_qs(url.query, keep_blank_values=True, strict_parsing=True)}
        problems = []
        if length != [str(len(body))]:
            problems.append('Content-Length %r for %d bytes' % (length, len(body)))
        if 'Transfer-Encoding' in self.headers:
            problems.append('Transfer-Encoding')
        if self.headers.get('Content-Type', '').startswith('packed/packed'):
            (r,) = struct.unpack_from('>I', body)
            (p,) = struct.unpack_from('>I', body, 4 + r)
            if 8 + r + p != len(body):
                problems.append('packed lengths %d + %d in %d bytes' % (r, p, len(body)))
            seen['raw'], body = body[4:4 + r], body[8 + r:]
        seen['fields'] = plistlib.loads(body)
        seen['problems'] = problems
        out = plistlib.dumps(seen, fmt=plistlib.FMT_XML)
        self.send_response(200)
        self.send_header('content-type', 'text/xml')
        self.send_header('content-length', str(len(out)))
        self.end_headers()
        self.wfile.write(out)

    do_PUT = do_POST = do_GET

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
server.timeout = 20
print(server.server_address[1], flush=True)
server.handle_request()
print('done', flush=True)
