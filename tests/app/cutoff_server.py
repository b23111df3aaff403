#!/usr/bin/env python3
"""Answers every GET with 200, announces 100000 bytes, sends 700 and hangs up.

Prints its loopback port on the first line, then serves until killed."""
import socket
import sys

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print(listener.getsockname()[1], flush=True)
sys.stdout.close()
while True:
    connection, _ = listener.accept()
    with connection:
        connection.settimeout(10)
        request = b""
        while b"\r\n\r\n" not in request and len(request) < 65536:
            chunk = connection.recv(4096)
            if not chunk:
                break
            request += chunk
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                           b"Content-Length: 100000\r\nConnection: close\r\n\r\n" + b"x" * 700)
