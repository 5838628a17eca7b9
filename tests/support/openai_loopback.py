"""An OpenAI-compatible echo server on loopback for the scoring-function tests: answers "echo:<prompt>"
(the last user message, or the completion prompt), serves many requests at once, and lets a test
hold answers back, fail chosen attempts, or break the answer's shape. Records every request."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from nimbra_loopback import BackgroundServer


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64  # many clients connect at once

    def handle_error(self, request, client_address):
        pass  # a client that went away (killed, interrupted) is part of the tests


class EchoServer(BackgroundServer):
    """`delay(prompt)` -> seconds before answering; `fault(prompt, attempt, in_flight)` -> None to
    answer, or (status, headers, body) to send instead (attempt counts from 1 per prompt)."""

    def __init__(self, model="echo", delay=None, fault=None, models=None, port=0):
        self.model, self.delay, self.fault = model, delay, fault
        self.models = models if models is not None else [model]
        self.requests = []  # dicts: method, path, headers (lower-case names), body (parsed JSON or None)
        self.in_flight = self.peak_in_flight = 0
        self._lock = threading.Lock()
        self._attempts = {}
        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                owner._record(self, None)
                self._send(200, {}, {"object": "list", "data": [{"id": m} for m in owner.models]})

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
                owner._record(self, body)
                status, headers, payload = owner._answer(self.path, body)
                self._send(status, headers, payload)

            def _send(self, status, headers, payload):
                data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

        self._serve(_Server(("127.0.0.1", port), Handler))

    def _record(self, handler, body):
        with self._lock:
            self.requests.append({"method": handler.command, "path": handler.path, "body": body,
                                  "headers": {k.lower(): v for k, v in handler.headers.items()}})

    def _answer(self, path, body):
        chat = path.endswith("/chat/completions")
        prompt = [m for m in body["messages"] if m["role"] == "user"][-1]["content"] if chat else body["prompt"]
        with self._lock:
            self._attempts[prompt] = attempt = self._attempts.get(prompt, 0) + 1
            self.in_flight += 1
            self.peak_in_flight = max(self.peak_in_flight, self.in_flight)
            in_flight = self.in_flight
        try:
            if self.delay:
                time.sleep(self.delay(prompt))
            failure = self.fault(prompt, attempt, in_flight) if self.fault else None
        finally:
            with self._lock:
                self.in_flight -= 1
        if failure:
            return failure
        text = "echo:" + prompt
        choice = {"index": 0, "finish_reason": "stop"}
        choice.update({"message": {"role": "assistant", "content": text}} if chat else {"text": text})
        return 200, {}, {"object": "chat.completion" if chat else "text_completion", "choices": [choice]}

    def generation_requests(self):
        return [r for r in self.requests if r["method"] == "POST"]

    def sent_prompts(self):
        return [(r["body"]["messages"][-1]["content"] if "messages" in r["body"] else r["body"]["prompt"])
                for r in self.generation_requests()]
