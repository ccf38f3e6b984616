"""A stand-in for the hosted service on 127.0.0.1, for the tests: it answers the API that
HostedStorage and the tracker use, keeps what it is sent, and records every request."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List


class Request:
    def __init__(self, method: str, path: str, header_list: List[tuple], body: bytes) -> None:
        self.method, self.path, self.body = method, path, body
        self.header_list = header_list  # (name, value) in the order they were sent
        self.headers = dict(header_list)

    @property
    def json(self) -> Any:
        return json.loads(self.body) if self.body else None

    def __repr__(self) -> str:
        return f"{self.method} {self.path}"


class HostedService:
    def __init__(self) -> None:
        self.requests: List[Request] = []
        self.pipelines: Dict[int, Dict[str, Any]] = {}
        self.nodes: Dict[int, Dict[int, int]] = {}  # run -> fingerprint -> node id
        self.next_node = 1
        # (method, path) -> (status, body) for answers that override the normal ones
        self.overrides: Dict[tuple, tuple] = {}
        self.delay: Callable[[Request], None] = lambda request: None
        service = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args: Any) -> None:
                pass

            def _handle(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                request = Request(self.command, self.path, list(self.headers.items()),
                                  self.rfile.read(length))
                service.requests.append(request)
                service.delay(request)
                status, answer, extra = service.answer(request)
                data = answer if isinstance(answer, bytes) else (
                    b"" if answer is None else json.dumps(answer).encode())
                self.send_response(status)
                for name, value in extra.items():
                    self.send_header(name, value)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = do_PATCH = _handle

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    def answer(self, request: Request) -> tuple:
        key = (request.method, request.path)
        if key in self.overrides:
            status, body, *extra = self.overrides[key]
            return status, body, (extra[0] if extra else {})
        path = request.path.split("?")[0]
        if request.method == "GET" and path == "/v1/health":
            return 200, {"status": "ok"}, {}
        if request.method == "POST" and path == "/v1/pipelines":
            run = len(self.pipelines) + 1
            self.pipelines[run] = {**request.json, "status": "running", "statuses": []}
            return 200, {"pipeline_id": run}, {}
        if request.method == "PATCH" and path.startswith("/v1/pipelines/"):
            run = int(path.rsplit("/", 1)[1])
            if run not in self.pipelines:
                return 404, {"error": "no such run"}, {}
            self.pipelines[run]["status"] = request.json["status"]
            self.pipelines[run]["statuses"].append(request.json["status"])
            return 200, {}, {}
        if request.method == "POST" and path == "/v1/nodes":
            for node in request.json:
                by_word = self.nodes.setdefault(node["pipeline_id"], {})
                if node["fingerprint"] not in by_word:
                    by_word[node["fingerprint"]] = self.next_node
                    self.next_node += 1
            return 200, {}, {}
        if request.method == "GET" and path.endswith("/fingerprints"):
            run = int(path.split("/")[3])
            return 200, {"fingerprints": {str(k): v for k, v in self.nodes.get(run, {}).items()}}, {}
        return 200, {}, {}

    def of(self, method: str, path: str) -> List[Request]:
        return [r for r in self.requests if r.method == method and r.path.split("?")[0] == path]

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
