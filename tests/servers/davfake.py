#!/usr/bin/python3
# A small HTTPS peer for what the real WebDAV servers never do: chunk extensions, an interim
# 100 Continue, a close-delimited body with and without TLS close_notify, redirects on the same
# server and to another host, a 500 and a 413 before the upload's body, and listings with hrefs
# outside the folder or names that cannot be files. Usage: davfake.py PORT CERT KEY
import socket
import ssl
import sys
import threading

port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)

MULTISTATUS = (b'<?xml version="1.0"?><multistatus xmlns="DAV:"><response><href>/</href>'
               b'<propstat><prop><resourcetype><collection/></resourcetype></prop></propstat>'
               b'</response></multistatus>')
BODY = b"0123456789" * 1000

# Listings of a hostile or careless server: none names the folder itself, so the first item
# is a real child; the others lie outside the folder, deeper, or decode to names that cannot be
# files.
LISTINGS = {
    "/hostile/": [b"/hostile/first.txt", b"/..%2F..%2Fevil.txt", b"/hostile/a%2Fb.txt",
                  b"/hostile/notes%00.txt", b"/hostile/%07%1b", b"/other/x.txt",
                  b"/hostile/deep/y.txt", b"https://127.0.0.1/hostile/back%5Cslash.txt"],
    "/lonely/": [b"/lonely/only.txt"],
    "/veiled/": [b"/veiled/", b"/veiled/a%2Fb.txt"],
}


def multistatus(hrefs):
    items = b"".join(b"<response><href>" + href + b"</href><propstat><prop><resourcetype/>"
                     b"<getcontentlength>1</getcontentlength></prop></propstat></response>"
                     for href in hrefs)
    return b'<?xml version="1.0"?><multistatus xmlns="DAV:">' + items + b"</multistatus>"


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(4096)
        if not piece:
            return None, b""
        data += piece
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1").split("\r\n"), rest


def header(lines, name):
    for line in lines[1:]:
        if line.lower().startswith(name + ":"):
            return line.split(":", 1)[1].strip()
    return ""


def skip_body(conn, lines, rest):
    length = int(header(lines, "content-length") or 0)
    while len(rest) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        rest += piece


def serve(raw):
    try:
        conn = context.wrap_socket(raw, server_side=True)
    except (ssl.SSLError, OSError):
        raw.close()
        return
    try:
        while True:
            lines, rest = read_head(conn)
            if lines is None:
                break
            method, path = lines[0].split(" ")[:2]
            if method == "PUT" and path == "/big":
                # Refused from the head alone, before a byte of the body is read.
                conn.sendall(b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                # Linger a little as real servers do, so the answer is not lost to a reset.
                conn.settimeout(0.5)
                try:
                    while conn.recv(65536):
                        pass
                except (socket.timeout, ssl.SSLError, OSError):
                    pass
                break
            skip_body(conn, lines, rest)
            if method == "PROPFIND" and path == "/elsewhere/":
                conn.sendall(b"HTTP/1.1 301 Moved\r\nLocation: https://other.invalid/elsewhere/\r\n"
                             b"Content-Length: 0\r\n\r\n")
            elif method == "PROPFIND" and path in ("/moved/", "/loop/", "/a/", "/b/", "/c/", "/d/"):
                # Same-server redirects: one that lands, one to itself and a chain of four.
                target = {"/moved/": "/", "/loop/": "/loop/", "/a/": "/b/", "/b/": "/c/", "/c/": "/d/", "/d/": "/"}[path]
                conn.sendall(b"HTTP/1.1 301 Moved\r\nLocation: https://127.0.0.1:%d%s\r\n"
                             b"Content-Length: 0\r\n\r\n" % (port, target.encode()))
            elif method == "PROPFIND" and path in LISTINGS:
                body = multistatus(LISTINGS[path])
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Length: " + str(len(body)).encode() +
                             b"\r\n\r\n" + body)
            elif method == "PROPFIND" and path == "/error":
                conn.sendall(b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n")
            elif method == "PROPFIND":
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 207 Multi-Status\r\n"
                             b"Content-Length: " + str(len(MULTISTATUS)).encode() + b"\r\n\r\n" + MULTISTATUS)
            elif method == "GET" and path == "/chunked":
                out = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                for start in range(0, len(BODY), 4000):
                    piece = BODY[start:start + 4000]
                    out += b"%x;name=value\r\n" % len(piece) + piece + b"\r\n"
                conn.sendall(out + b"0\r\nX-Trailer: yes\r\n\r\n")
            elif method == "GET" and path == "/whole":
                conn.sendall(b"HTTP/1.1 200 OK\r\n\r\n" + BODY)
                conn.unwrap()
                break
            elif method == "GET" and path == "/cut":
                conn.sendall(b"HTTP/1.1 200 OK\r\n\r\n" + BODY[:5000])
                # Closing the socket under TLS sends no close_notify: a cut connection.
                raw.shutdown(socket.SHUT_RDWR)
                break
            else:
                conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
    except (ssl.SSLError, OSError, ValueError):
        pass
    finally:
        try:
            raw.close()
        except OSError:
            pass


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(16)
while True:
    client, _ = listener.accept()
    threading.Thread(target=serve, args=(client,), daemon=True).start()
