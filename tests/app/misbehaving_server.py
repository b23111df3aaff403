#!/usr/bin/env python3
"""A loopback server that misbehaves on purpose: misbehaving_server.py MODE [PORT]

  cut-off    every GET: 200 announcing 100000 bytes, 700 sent, then the close
  stall      every request read, nothing ever answered
  stall-body every GET: 200 announcing 100000 bytes, 50000 sent, then nothing
  backlog    listens and never accepts; its backlog is kept full, so a new
             connection is never completed

Prints its port on the first line, then serves until killed (at most an hour).
"""
import socket
import sys
import threading
import time

mode = sys.argv[1]
port = int(sys.argv[2]) if len(sys.argv) > 2 else 0
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


def serve(connection):
    with connection:
        connection.settimeout(LIFETIME)
        read_head(connection)
        head = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                b"Content-Length: 100000\r\nConnection: close\r\n\r\n")
        if mode == "cut-off":
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
