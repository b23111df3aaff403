#!/usr/bin/env python3
"""A loopback server that misbehaves on purpose: misbehaving_server.py MODE [PORT [ROOT]]

  cut-off    every GET: 200 announcing 100000 bytes, 700 sent, then the close
  foo-cut    the same, the body said to be in the encoding x-foo
  chunked-cut every GET of a file under ROOT: 200 in chunks, two of its three
             thirds sent, then the close without the last, empty chunk
  close-cut  every GET of a file under ROOT: 200 without a length, two thirds
             of the file sent, then the close
  stall      every request read, nothing ever answered
  stall-body every GET: 200 announcing 100000 bytes, 50000 sent, then nothing
  backlog    listens and never accepts; its backlog is kept full, so a new
             connection is never completed

Prints its port on the first line, then serves until killed (at most an hour).
"""
import os
import socket
import sys
import threading
import time
import urllib.parse

mode = sys.argv[1]
port = int(sys.argv[2]) if len(sys.argv) > 2 else 0
root = sys.argv[3] if len(sys.argv) > 3 else None
LIFETIME = 3600

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
held = []
if mode == "backlog":
    # With a backlog of 0 one completed connection fills the queue; the kernel
    # then drops every further SYN, so a client waits in its connection set-up.
    listener.listen(0)
    for _ in range(2):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        held.append(filler)
    time.sleep(0.5)
else:
    listener.listen(16)
print(listener.getsockname()[1], flush=True)
sys.stdout.close()


def read_head(connection):
    request = b""
    while b"\r\n\r\n" not in request and len(request) < 65536:
        chunk = connection.recv(4096)
        if not chunk:
            break
        request += chunk
    return request


def file_for(request):
    """The bytes of the file under root that the request names, or None."""
    parts = request.split(b" ")
    if len(parts) < 2 or root is None:
        return None
    target = urllib.parse.unquote_to_bytes(parts[1].split(b"?")[0]).decode("utf-8", "replace")
    path = os.path.normpath(os.path.join(root, target.lstrip("/")))
    if not path.startswith(os.path.normpath(root) + os.sep) or not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def serve(connection):
    with connection:
        connection.settimeout(LIFETIME)
        request = read_head(connection)
        if mode in ("chunked-cut", "close-cut"):
            body = file_for(request)
            if body is None:
                connection.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                   b"Connection: close\r\n\r\n")
                return
            third = (len(body) + 2) // 3
            if mode == "chunked-cut":
                reply = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")
                for piece in (body[:third], body[third:2 * third]):
                    reply += b"%x\r\n" % len(piece) + piece + b"\r\n"
            else:
                reply = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Connection: close\r\n\r\n" + body[:2 * third])
            connection.sendall(reply)
            return
        encoding = b"Content-Encoding: x-foo\r\n" if mode == "foo-cut" else b""
        head = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + encoding +
                b"Content-Length: 100000\r\nConnection: close\r\n\r\n")
        if mode in ("cut-off", "foo-cut"):
            connection.sendall(head + b"x" * 700)
            return
        if mode == "stall-body":
            connection.sendall(head + b"x" * 50000)
        time.sleep(LIFETIME)


if mode == "backlog":
    time.sleep(LIFETIME)
else:
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client,), daemon=True).start()
