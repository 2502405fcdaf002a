#!/usr/bin/env python3
# Peers of the messaging server of server_peer_test.
#   server_peer_client.py client PORT: the whole protocol against the server: a request without
#     connect, then connect with http.client, open the message channel on a raw socket, send a plain
#     and a packed request, ask for two broadcasts, read and answer them by hand. Prints one line
#     per exchange.
#   server_peer_client.py standin CONNECTIONS: prints its port, accepts that many connections and
#     answers "connect" with the broken answer chosen by the api-version (see ANSWERS).
import http.client
import http.server
import json
import plistlib
import socket
import socketserver
import struct
import sys
from urllib.parse import parse_qs, quote, urlsplit

TIMEOUT = 20


def pattern(n):
    # CR, LF and NUL all occur, so a payload read as text would not survive.
    return bytes((i * 31 + (i >> 8)) & 0xFF for i in range(n))


def fnv(data):
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


def packed(raw, fields):
    xml = plistlib.dumps(fields, fmt=plistlib.FMT_XML)
    return struct.pack('>I', len(raw)) + raw + struct.pack('>I', len(xml)) + xml


def describe(label, first, content_type, body):
    # One line: what arrived, the fields as sorted JSON, a raw payload by size and checksum.
    content_type = content_type.split(';')[0].strip()
    raw = ''
    if content_type == 'packed/packed':
        (r,) = struct.unpack_from('>I', body)
        (p,) = struct.unpack_from('>I', body, 4 + r)
        if 8 + r + p != len(body):
            raise ValueError('%s: packed lengths %d + %d in %d bytes' % (label, r, p, len(body)))
        raw = ' raw=%d fnv=%08x' % (r, fnv(body[4:4 + r]))
        body = body[8 + r:]
    fields = plistlib.loads(body)
    print('%s %s %s%s %s' % (label, first, content_type, raw, json.dumps(fields, sort_keys=True)))
    return fields


def read_message(stream):
    # Start line, headers and a Content-Length body, read by hand off the socket.
    first = stream.readline().decode('latin-1').rstrip('\r\n')
    if not first:
        raise EOFError('the channel ended')
    headers = {}
    while True:
        line = stream.readline().decode('latin-1').rstrip('\r\n')
        if not line:
            break
        name, _, value = line.partition(':')
        headers[name.strip().lower()] = value.strip()
    return first, headers, stream.read(int(headers.get('content-length', '0')))


def ask(connection, label, target, body=None, content_type='text/xml'):
    headers = {'Content-Type': content_type} if body is not None else {}
    connection.request('GET' if body is None else 'PUT', target, body, headers)
    response = connection.getresponse()
    return describe(label, response.status, response.getheader('Content-Type', ''), response.read())


def client(port):
    # A request without connect is a connection of its own.
    direct = http.client.HTTPConnection('127.0.0.1', port, timeout=TIMEOUT)
    ask(direct, 'direct', '/app?cmd=note', plistlib.dumps({'text': 'direct'}))
    direct.close()

    command = http.client.HTTPConnection('127.0.0.1', port, timeout=TIMEOUT)
    id_ = ask(command, 'connect', '/server?cmd=connect&api-version=0')['connection-id']

    channel = socket.create_connection(('127.0.0.1', port), timeout=TIMEOUT)
    stream = channel.makefile('rb')
    channel.sendall(('GET /server?cmd=connect_listener&connection-id=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n'
                     'Content-Length: 0\r\n\r\n' % (quote(id_, safe=''), port)).encode())
    first, headers, body = read_message(stream)
    describe('listener', first.split(' ')[1], headers.get('content-type', ''), body)

    note = {'text': 'caf\u00e9 & <b>', 'n': 42, 'list': [1, 'two', True]}
    ask(command, 'note', '/server?cmd=note', plistlib.dumps(note))
    blob = packed(pattern(100 * 1024), {'msg_name': 'blob', 'n': 7})
    ask(command, 'blob', '/server?cmd=blob', blob, 'packed/packed')
    ask(command, 'unknown', '/server?cmd=unknown')
    ask(command, 'broadcast', '/server?cmd=broadcast')

    answer = plistlib.dumps({'result': 0}, fmt=plistlib.FMT_XML)
    for _ in range(2):
        first, headers, body = read_message(stream)
        describe('message', first, headers.get('content-type', ''), body)
        channel.sendall(b'HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n' % len(answer) +
                        answer)
    command.close()
    channel.close()


# The answers to "connect", by api-version: a sound one, then ones the client must refuse.
ANSWERS = [
    (200, {'result': 0, 'connection-id': 'stand-in-id'}),
    (200, {'connection-id': 'stand-in-id'}),
    (200, {'result': 0}),
    (200, {'result': '0', 'connection-id': 'stand-in-id'}),
    (200, {'result': 0, 'connection-id': 7}),
    (500, {'result': 0, 'connection-id': 'stand-in-id'}),
    (200, None),  # a body that is no property list
]


class StandIn(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    timeout = TIMEOUT

    def do_GET(self):
        self.rfile.read(int(self.headers.get('Content-Length', '0')))
        query = parse_qs(urlsplit(self.path).query)
        status, fields = 200, {'result': 0}  # connect_listener
        if query.get('cmd') == ['connect']:
            status, fields = ANSWERS[int(query['api-version'][0])]
        out = b'<html>hello</html>' if fields is None else plistlib.dumps(fields, fmt=plistlib.FMT_XML)
        self.send_response(status)
        self.send_header('Content-Type', 'text/xml')
        self.send_header('Content-Length', str(len(out)))
        self.end_headers()
        self.wfile.write(out)

    def log_message(self, *args):
        pass


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = False  # server_close waits for every connection


def standin(connections):
    server = ThreadingServer(('127.0.0.1', 0), StandIn)
    server.timeout = TIMEOUT
    print(server.server_address[1], flush=True)
    for _ in range(connections):
        server.handle_request()
    server.server_close()
    print('done', flush=True)


if __name__ == '__main__':
    {'client': client, 'standin': standin}[sys.argv[1]](int(sys.argv[2]))
