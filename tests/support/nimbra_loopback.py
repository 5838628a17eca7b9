"""Helpers for the inference SDK tests: the reference model server started with chosen options, a
scripted loopback HTTP server that records the exact requests it receives, and a TLS context for it
(fixture `tls_server_context`)."""

import contextlib
import json
import socket
import ssl
import struct
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest


@contextlib.contextmanager
def reference_server(binary, *args, env=None):
    """Runs velora-reference-model with `args`; yields (base URL, process)."""
    process = subprocess.Popen([binary, "--host", "127.0.0.1", "--port", "0", *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = process.stdout.readline()
        assert line.startswith("listening on http://127.0.0.1:"), (line, process.stderr.read())
        yield line.removeprefix("listening on ").strip(), process
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=10)
        process.stdout.close()
        process.stderr.close()


def models(*ids):
    return ("json", 200, {"object": "list", "data": [{"id": i, "object": "model"} for i in ids]}, {})


def completion(text):
    return ("json", 200, {"choices": [{"index": 0, "text": text, "finish_reason": "stop"}]}, {})


def status(code, body=None, headers=None):
    return ("json", code, body if body is not None else {"error": {"message": f"status {code}"}}, headers or {})


def raw(code, data, content_type="text/html"):
    return ("raw", code, data, content_type)


RESET = ("reset",)


def slow(seconds, then):
    return ("slow", seconds, then)


class BackgroundServer:
    """An HTTP server on loopback, served from a daemon thread while its `with` block runs."""

    def _serve(self, server, scheme="http"):
        self._server = server
        self.url = f"{scheme}://127.0.0.1:{server.server_port}"
        self._thread = threading.Thread(target=server.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()


class ScriptedServer(BackgroundServer):
    """Answers request n with step n of `script` (the last step repeats). Records every request as
    a dict with method, path, headers (ordered name/value pairs as received) and body."""

    def __init__(self, script, tls=None):
        self.script = list(script)
        self.requests = []
        self._lock = threading.Lock()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                with owner._lock:
                    index = len(owner.requests)
                    owner.requests.append({"method": self.command, "path": self.path,
                                           "headers": list(self.headers.items()), "body": body})
                    step = owner.script[min(index, len(owner.script) - 1)]
                self._act(step)

            def _act(self, step):
                kind = step[0]
                if kind == "slow":
                    time.sleep(step[1])
                    return self._act(step[2])
                if kind == "reset":
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.connection.close()
                    self.close_connection = True
                    return None
                if kind == "json":
                    _, code, payload, headers = step
                    data = json.dumps(payload).encode()
                    content_type = "application/json"
                else:
                    _, code, data, content_type = step
                    headers = {}
                    data = data.encode() if isinstance(data, str) else data
                self.send_response(code)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(data)))
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)
                return None

            do_GET = do_POST = do_DELETE = _serve

        server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.daemon_threads = True
        if tls is not None:  # an ssl.SSLContext for the server side
            server.socket = tls.wrap_socket(server.socket, server_side=True)
        self._serve(server, "https" if tls is not None else "http")

    def header_names(self, index):
        return [name for name, _ in self.requests[index]["headers"]]

    def header(self, index, name):
        values = [v for n, v in self.requests[index]["headers"] if n.lower() == name.lower()]
        return values[0] if values else None


def self_signed_certificate(folder):
    """A certificate for 127.0.0.1 and its key, made with the openssl command; returns the paths."""
    certificate, key = str(folder / "server.pem"), str(folder / "server.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True)
    return certificate, key


@pytest.fixture(scope="module")
def tls_server_context(tmp_path_factory):
    """A server-side TLS context with a fresh self-signed certificate for 127.0.0.1, and that
    certificate's path (the CA bundle a client must be given to trust it)."""
    certificate, key = self_signed_certificate(tmp_path_factory.mktemp("tls"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    return context, certificate


def closed_port_url():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{probe.getsockname()[1]}"
