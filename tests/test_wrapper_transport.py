"""_post_json and _patch_json against a real HTTP server on 127.0.0.1."""

import datetime
import decimal

import pytest

from hosted_service import HostedService
from tallyra import wrapper as w


def test_post(hosted):
    answer = w._post_json(hosted.url + "/v1/pipelines", "key", {"pipeline_name": "x",
                                                                 "when": datetime.date(2024, 1, 2),
                                                                 "amount": decimal.Decimal("1.5")})
    assert answer == {"pipeline_id": 1}
    (request,) = hosted.requests
    assert request.method == "POST" and request.path == "/v1/pipelines"
    assert request.json == {"pipeline_name": "x", "when": "2024-01-02", "amount": "1.5"}
    names = [name for name, _ in request.header_list]
    ours = ["Authorization", "Content-Type", "Accept", "User-Agent"]
    assert [n for n in names if n in ours] == ours
    assert request.headers["Authorization"] == "Bearer key"
    assert request.headers["Content-Type"] == "application/json"
    assert request.headers["Accept"] == "application/json"
    assert request.headers["User-Agent"] == "tallyra-python-client/1.0"


def test_patch(hosted):
    hosted.overrides[("PATCH", "/v1/pipelines/1")] = (200, {})
    assert w._patch_json(hosted.url + "/v1/pipelines/1", "", {"status": "done"}) == {}
    request = hosted.requests[0]
    assert request.method == "PATCH" and request.headers["Authorization"] == "Bearer "
    with pytest.raises(TypeError):
        w._patch_json(hosted.url + "/v1/pipelines/1", "k", [1])


@pytest.mark.parametrize(("call", "expected"), [
    (lambda url: w._post_json(url, "k", {}), "HTTP 500 from {url}: "),
    (lambda url: w._patch_json(url, "k", {}), "HTTP 500 (PATCH) from {url}: "),
])
def test_error_statuses(hosted, call, expected):
    url = hosted.url + "/v1/x"
    hosted.overrides[("POST", "/v1/x")] = (500, ("é" * 1000).encode())
    hosted.overrides[("PATCH", "/v1/x")] = (500, b"\xff\xfebad")
    with pytest.raises(RuntimeError) as info:
        call(url)
    message = str(info.value)
    assert message.startswith(expected.format(url=url))
    text = message[len(expected.format(url=url)):]
    assert text in ("é" * 200, "\ufffd\ufffdbad")
    assert info.value.__cause__ is not None


def test_redirects_are_errors_and_never_followed(hosted):
    other = HostedService()
    try:
        hosted.overrides[("POST", "/v1/x")] = (302, b"", {"Location": other.url + "/v1/x"})
        with pytest.raises(RuntimeError, match="^HTTP 302 from "):
            w._post_json(hosted.url + "/v1/x", "secret", {})
        assert other.requests == []
    finally:
        other.close()


@pytest.mark.parametrize(("body", "result"), [(b"null", None), (b"{}", {})])
def test_answers(hosted, body, result):
    hosted.overrides[("POST", "/v1/x")] = (200, body)
    assert w._post_json(hosted.url + "/v1/x", "k", {}) == result


def test_answers_that_are_not_objects(hosted):
    hosted.overrides[("POST", "/v1/list")] = (200, b"[]")
    with pytest.raises(TypeError):
        w._post_json(hosted.url + "/v1/list", "k", {})
    hosted.overrides[("POST", "/v1/empty")] = (200, b"")
    with pytest.raises(ValueError):
        w._post_json(hosted.url + "/v1/empty", "k", {})


@pytest.mark.parametrize(("kwargs", "exc"), [
    ({"url": "file:///etc/passwd"}, ValueError), ({"url": "ftp://example.com/x"}, ValueError),
    ({"timeout": 0.5}, ValueError), ({"timeout": 0}, ValueError), ({"timeout": "10"}, TypeError),
    ({"url": None}, TypeError), ({"api_key": None}, TypeError),
    ({"api_key": type("S", (str,), {})("k")}, TypeError),
])
def test_refused_before_anything_is_sent(hosted, kwargs, exc):
    args = {"url": hosted.url + "/v1/x", "api_key": "k", "payload": {}, **kwargs}
    with pytest.raises(exc):
        w._post_json(**args)
    assert hosted.requests == []


def test_timeouts_are_whole_seconds(hosted, monkeypatch):
    seen = []
    real_open = w._opener.open
    monkeypatch.setattr(w._opener, "open", lambda req, timeout: seen.append(timeout) or real_open(req, timeout=timeout))
    w._post_json(hosted.url + "/v1/x", "k", {}, timeout=2.9)
    w._post_json(hosted.url + "/v1/x", "k", {})
    w._patch_json(hosted.url + "/v1/x", "k", {})
    assert seen == [2, 120, 30]
