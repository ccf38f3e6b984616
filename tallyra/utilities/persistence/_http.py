"""JSON over HTTP for the hosted service: http and https only, and redirects never followed, so
that the bearer key is only ever sent to the host it was meant for."""

from __future__ import annotations

import json
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, Optional

MAX_ERROR_TEXT = 200
USER_AGENT = "tallyra-python-client/1.0"


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):  # noqa: D102
        return None  # the 3xx then surfaces as an HTTPError


_OPENER = urllib.request.build_opener(_NoRedirect)
_OPENER.addheaders = []  # no default User-Agent: callers send exactly the headers they name


def check_url(url: str) -> str:
    """The URL itself when its scheme is http or https; a ValueError otherwise."""
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    scheme = urllib.parse.urlsplit(url).scheme.lower()
    if scheme not in ("http", "https"):
        raise ValueError(f"only http and https URLs are allowed, not {url!r}")
    return url


def open_url(request: urllib.request.Request, timeout: float) -> Any:
    """urlopen without redirects: a 3xx answer raises urllib.error.HTTPError."""
    check_url(request.full_url)
    return _OPENER.open(request, timeout=timeout)


def request_json(method: str, url: str, api_key: str, payload: Any = None,
                 timeout: float = 120) -> Any:
    """Sends `payload` as JSON with the service's headers and returns the decoded answer (None
    for an empty body). An error status, 3xx included, raises RuntimeError with the status, the
    URL and the start of the answer's text."""
    headers: Dict[str, str] = {
        "Authorization": "Bearer " + api_key,
        "Content-Type": "application/json",
        "Accept": "application/json",
        "User-Agent": USER_AGENT,
    }
    data: Optional[bytes] = None
    if payload is not None:
        data = json.dumps(payload, default=str).encode("utf-8")
    request = urllib.request.Request(url, data=data, method=method, headers=headers)
    try:
        with open_url(request, timeout) as response:
            body = response.read()
    except urllib.error.HTTPError as e:
        text = e.read().decode("utf-8", "replace")[:MAX_ERROR_TEXT]
        where = " from " if method == "POST" else f" ({method}) from "
        raise RuntimeError(f"HTTP {e.code}{where}{url}: {text}") from e
    if not body.strip():
        return None
    return json.loads(body.decode("utf-8"))
