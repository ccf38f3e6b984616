"""Times the upload client: the provenance sync against a local server, and the JSON encoders.

    python bench/bench_upload.py [--rows 100000] [--features 10]

- _sync_prov of rows x features against an HTTP server on 127.0.0.1: requests made, bytes
  sent, and the time split into building the bodies and sending them;
- jsoncodec.dumps and the wrapper's _fast_dumps of a payload of rows records, under orjson and
  under the standard-library fallback, against json.dumps of the same payload.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import numpy as np
import pandas as pd
from timing import best

from tallyra import wrapper


class Sink(BaseHTTPRequestHandler):
    """Reads every request and answers {"pipeline_id": 1}."""

    def log_message(self, *args):
        pass

    def _handle(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        body = b'{"pipeline_id": 1}'
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_POST = do_PATCH = _handle


def fresh(module_name, hide_orjson):
    """A new copy of a module, imported with or without orjson."""
    saved = sys.modules.get("orjson")
    try:
        if hide_orjson:
            sys.modules["orjson"] = None
        finder = importlib.util.find_spec(module_name)
        module = importlib.util.module_from_spec(finder)
        finder.loader.exec_module(module)
        return module
    finally:
        if hide_orjson:
            if saved is None:
                sys.modules.pop("orjson", None)
            else:
                sys.modules["orjson"] = saved


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=10)
    args = parser.parse_args()
    n, f = args.rows, args.features
    rng = np.random.default_rng(0)
    X = pd.DataFrame({f"f{i}": rng.random(n) for i in range(f)})
    y = rng.random(n)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Sink)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"
    sent = {"requests": 0, "bytes": 0, "seconds": 0.0}
    real_request = wrapper._request

    def counted(method, target, api_key, payload, timeout, where):
        body = wrapper._fast_dumps(payload, default=str).encode("utf-8")
        t0 = time.perf_counter()
        try:
            return real_request(method, target, api_key, payload, timeout, where)
        finally:
            sent["seconds"] += time.perf_counter() - t0
            sent["requests"] += 1
            sent["bytes"] += len(body)

    wrapper._request = counted
    t0 = time.perf_counter()
    wrapper._sync_prov(X, y, None, [], "bench", "1", "key", url)
    total = time.perf_counter() - t0
    wrapper._request = real_request
    server.shutdown()

    print(f"_sync_prov, {n:,} rows x {f} features, local server")
    print(f"  requests          {sent['requests']:>12,}")
    print(f"  bytes sent        {sent['bytes']:>12,}")
    print(f"  total             {total:>12.2f} s")
    print(f"  sending           {sent['seconds']:>12.2f} s   (encoding the body, the exchange)")
    print(f"  building          {total - sent['seconds']:>12.2f} s   (rows, values, hashes)")
    print()

    payload = [{"row": i, "income": float(X.iat[i, 0]), "name": f"A-{i}", "flags": [True, None]}
               for i in range(n)]
    baseline = best(lambda: json.dumps(payload), 3)
    print(f"{'encoder, ' + format(n, ',') + ' records':<42} {'ms':>9} {'json.dumps ms':>14} {'ratio':>7}")
    for backend, hide in (("orjson", False), ("json", True)):
        codec = fresh("tallyra.utilities.jsoncodec", hide)
        wrap = fresh("tallyra.wrapper", hide)
        for name, fn in ((f"jsoncodec.dumps ({codec.BACKEND})", codec.dumps),
                         (f"wrapper._fast_dumps ({backend})", wrap._fast_dumps)):
            secs = best(lambda: fn(payload), 3)
            print(f"{name:<42} {secs * 1e3:>9.1f} {baseline * 1e3:>14.1f} {baseline / secs:>6.1f}x")
    print("\nratio = json.dumps time / the encoder's time: above 1 means faster than json.dumps.")


if __name__ == "__main__":
    main()
