#!/usr/bin/env python3
# http.client against the echo loop of http_peer_test: COUNT requests on one kept-alive connection,
# each answer checked against what was sent. Usage: http_peer_client.py PORT COUNT
import http.client
import plistlib
import random
import struct
import sys
from urllib.parse import quote

port, count = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(14)
words = ['a', 'a-b c/', 'x&y=z', '100%', '\u00e9t\u00e9', 'plus+', '#frag?', 'ok']


def packed(raw, fields):
    xml = plistlib.dumps(fields, fmt=plistlib.FMT_XML)
    return struct.pack('>I', len(raw)) + raw + struct.pack('>I', len(xml)) + xml


def chunks(body):
    # Uneven chunks, so sizes of one to three hex digits reach the decoder.
    at = 0
    while at < len(body):
        step = rng.randrange(1, 300)
        yield body[at:at + step]
        at += step


conn = http.client.HTTPConnection('127.0.0.1', port, timeout=20)
for i in range(count):
    params = {}
    for _ in range(rng.randrange(5)):
        params.setdefault(rng.choice(words), []).append(rng.choice(words))
    query = ''.join('&' + quote(k, safe='') + '=' + quote(v, safe='') for k, vs in params.items() for v in vs)
    cmd = 'echo-%d' % i
    fields = {'n': i, 'text': rng.choice(words), 'list': [rng.randrange(-10**12, 10**12), True, {'k': 'v'}]}
    raw = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
    kind = i % 5  # XML, packed, chunked XML, chunked packed, no body
    body = {0: plistlib.dumps(fields, fmt=plistlib.FMT_XML), 1: packed(raw, fields)}.get(kind % 2, b'')
    if kind == 4:
        body = b''
    headers = {'x-seq': str(i), 'content-type': 'packed/packed' if kind % 2 else 'text/xml; charset=UTF-8'}
    if kind in (2, 3):
        headers['transfer-encoding'] = 'chunked'
        conn.request('PUT', '/server/echo?cmd=' + quote(cmd) + query, chunks(body), headers, encode_chunked=True)
    else:
        headers['content-length'] = str(len(body))
        conn.request('GET' if kind == 4 else 'POST', '/server/echo?cmd=' + quote(cmd) + query, body, headers)
    response = conn.getresponse()
    answer = plistlib.loads(response.read())
    expected = {'method': 'GET' if kind == 4 else 'PUT' if kind in (2, 3) else 'POST', 'uri': 'server/echo',
                'cmd': cmd, 'seq': str(i), 'body': body,
                'params': dict({k: vs[0] if len(vs) == 1 else vs for k, vs in params.items()}, cmd=cmd)}
    if kind != 4:
        expected['fields'] = dict(fields, raw=raw, **{'--content--': body}) if kind % 2 else fields
    if response.status != 200 or answer != expected:
        print('request %d: status %d\nsent     %r\nanswered %r' % (i, response.status, expected, answer))
        sys.exit(1)
conn.close()
print('ok', count)
