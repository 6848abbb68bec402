"""Faults of an object store that a real server will not show on demand, played by a small proxy in
front of the real one on loopback: it forwards every request unchanged except in its mode's way.

strip-conditions  drops If-Match and If-None-Match, as a server that ignores them would (the
                  request's signature covers them, so it goes on unsigned: the server serves those too)
strip-if-match    drops only If-Match, as a server that honours only If-None-Match would
strip-if-none-match  drops only If-None-Match
freeze            takes every request and never answers, as a hung server
fail-data-gets    answers every GET of a stored file (not of the store's .corvane/ state) 500
cut-puts          reads half of a data PUT's body, then closes the connection, as a server that dies mid-write
refuse-puts       answers every data PUT 412 Precondition Failed, as if other writers always won
Probe objects (.corvane/probe-...) pass unchanged in the last two modes.
"""

import http.client
import http.server
import threading

DROPPED = {"connection", "keep-alive", "transfer-encoding"}
STRIPPED = {"strip-conditions": {"if-match", "if-none-match"}, "strip-if-match": {"if-match"},
            "strip-if-none-match": {"if-none-match"}}


class FaultyProxy:
    def __init__(self, upstream_port, mode):
        self.upstream_port = upstream_port
        self.mode = mode
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self.handler())
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.stopped = threading.Event()

    @property
    def endpoint(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stopped.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()

    def handler(self):
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def forward(self):
                length = int(self.headers.get("Content-Length") or 0)
                if proxy.mode == "freeze":
                    proxy.stopped.wait()
                    return
                data_put = self.command == "PUT" and "/.corvane/probe-" not in self.path
                if data_put and proxy.mode == "cut-puts":
                    self.rfile.read(length // 2)
                    self.close_connection = True
                    self.connection.close()
                    return
                body = self.rfile.read(length) if length else b""
                if proxy.mode == "fail-data-gets" and self.command == "GET" and "/.corvane/" not in self.path \
                        and ".parquet" in self.path:
                    return self.answer(500, [], b"<Error><Code>InternalError</Code></Error>")
                if data_put and proxy.mode == "refuse-puts":
                    return self.answer(412, [], b"<Error><Code>PreconditionFailed</Code></Error>")
                upstream = http.client.HTTPConnection("127.0.0.1", proxy.upstream_port, timeout=60)
                try:
                    # The request is signed for the proxy's host: pass the Host header on as it came.
                    upstream.putrequest(self.command, self.path, skip_host=True, skip_accept_encoding=True)
                    for name, value in self.headers.items():
                        lowered = name.lower()
                        stripped = STRIPPED.get(proxy.mode, set())
                        if lowered in DROPPED or lowered in stripped or (stripped and lowered == "authorization"):
                            continue
                        upstream.putheader(name, value)
                    upstream.endheaders(body if body else None)
                    response = upstream.getresponse()
                    data = response.read()
                    headers = [(k, v) for k, v in response.getheaders() if k.lower() not in DROPPED | {"content-length"}]
                    self.answer(response.status, headers, data, head=self.command == "HEAD",
                                length=response.getheader("Content-Length"))
                finally:
                    upstream.close()

            def answer(self, status, headers, data, head=False, length=None):
                self.send_response(status)
                for name, value in headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", length if head and length is not None else str(len(data)))
                self.end_headers()
                if not head:
                    self.wfile.write(data)

            do_GET = do_PUT = do_HEAD = do_DELETE = do_POST = forward

        return Handler
