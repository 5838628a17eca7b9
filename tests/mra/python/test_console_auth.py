"""Authentication against the governance console (on-premises and cloud) and the task-view link."""

import json
import socket

import pytest

from conftest import smh_messages
from fake_console import (no_secret_in_logs, CLOUD_APIKEY, CONSOLE_TOKEN, GRANT_TYPE, ORRIN_APIKEY, ORRIN_USER, SECRETS,  # noqa: F401
                          FakeTokenService, Reply, console, tls_files, token_service)

BEARER_HEADER = {"Content-Type": "application/json", "Accept": "application/json",
                 "Authorization": "Bearer " + CONSOLE_TOKEN}


def evaluator(smh, **credentials):
    return smh.EvaluateFMRisk(credentials, "model", ["toxic-output"], lambda table: table)


def orrin_evaluator(smh, console, **overrides):
    credentials = dict(vn_url=console.orrin_url, vn_orrin_host=console.orrin_host, vn_username=ORRIN_USER,
                       vn_orrin_apikey=ORRIN_APIKEY)
    credentials.update(overrides)
    return evaluator(smh, **credentials)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def assert_raised_and_logged(excinfo, caplog, message):
    assert type(excinfo.value) is Exception
    assert str(excinfo.value) == message
    assert message in smh_messages(caplog)


def test_on_premises_request_and_header(smh, console, smh_debug):
    header = orrin_evaluator(smh, console).connect_to_varnel()
    assert header == BEARER_HEADER and list(header) == list(BEARER_HEADER)
    [request] = console.requests
    assert (request.method, request.path) == ("POST", "/quell-api/v1/authorize")
    # Exactly the two lower-case headers beside what HTTP itself needs.
    assert [(k, v) for k, v in request.headers if k.lower() not in ("host", "content-length")] == [
        ("content-type", "application/json"), ("cache-control", "no-cache")]
    assert list(request.json().items()) == [("username", ORRIN_USER), ("api_key", ORRIN_APIKEY)]
    assert smh_messages(smh_debug) == ["Connecting to Varnel using Orrin credentials",
                                       "Successfully connected to Varnel"]


@pytest.mark.parametrize("path, variant", [
    ("/orrin", "on-premises"),
    ("/console-orrin-eu/", "on-premises"),   # anywhere in the URL
    ("/ORRIN", "cloud"),                      # the test is case-sensitive
    ("", "cloud"),
])
def test_orrin_in_the_url_selects_the_variant(smh, console, token_service, path, variant):
    orrin_evaluator(smh, console, vn_url=console.url + path, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    paths = [r.path for r in console.requests]
    assert (paths == ["/quell-api/v1/authorize"]) == (variant == "on-premises")
    assert len(token_service.requests) == (1 if variant == "cloud" else 0)


def test_absent_username_is_sent_as_null(smh, console):
    with pytest.raises(Exception):
        orrin_evaluator(smh, console, vn_username=None).connect_to_varnel()
    assert console.requests[0].json() == {"username": None, "api_key": ORRIN_APIKEY}


@pytest.mark.parametrize("reply, status", [(None, 401), (Reply.of({"token": "t"}, 201), 201),
                                           (Reply(503, b"<html>busy</html>", "text/html"), 503)])
def test_on_premises_status_other_than_200_fails(smh, console, smh_debug, reply, status):
    console.intercept = (lambda request: reply) if reply else None
    with pytest.raises(Exception) as excinfo:
        orrin_evaluator(smh, console, vn_orrin_apikey="wrong-key").connect_to_varnel()
    assert_raised_and_logged(excinfo, smh_debug, f"Unable to connect to Varnel; error code:{status}")


def test_on_premises_answer_without_token_is_a_key_error(smh, console, smh_debug):
    console.intercept = lambda request: Reply.of({"jwt": "x"})
    with pytest.raises(KeyError) as excinfo:
        orrin_evaluator(smh, console).connect_to_varnel()
    assert excinfo.value.args == ("token",)


@pytest.mark.parametrize("body", [b"", b"<html>gateway</html>", b'{"token": '])
def test_on_premises_answer_that_is_not_json_is_a_decode_error(smh, console, body):
    console.intercept = lambda request: Reply(200, body)
    with pytest.raises(json.JSONDecodeError) as excinfo:
        orrin_evaluator(smh, console).connect_to_varnel()
    if not body.startswith(b"{"):
        assert str(excinfo.value) == "Expecting value: line 1 column 1 (char 0)"


def test_on_premises_unreachable_host_propagates(smh, console):
    with pytest.raises(ConnectionError) as excinfo:
        orrin_evaluator(smh, console, vn_orrin_host=f"127.0.0.1:{closed_port()}").connect_to_varnel()
    assert "/quell-api/v1/authorize" in str(excinfo.value)


def test_cloud_request_and_header(smh, console, token_service, smh_debug):
    header = evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert header == BEARER_HEADER and list(header) == list(BEARER_HEADER)
    [request] = token_service.requests
    assert (request.method, request.path) == ("POST", "/identity/token")
    assert request.header("Content-Type") == "application/x-www-form-urlencoded"
    assert request.header("Cache-Control") == "no-cache"
    assert request.body.decode() == "apikey=" + CLOUD_APIKEY + "&grant_type=urn%3Avelora%3Aparams%3Aoauth%3Agrant-type%3Aapikey"
    assert smh_messages(smh_debug) == ["Attempting to connect to Varnel using cloud credentials",
                                       "Using IAM URL: " + token_service.url,
                                       "Successfully obtained access token from Velora Cloud IAM"]


def test_cloud_mapping_is_asked_with_the_url_as_configured(smh, console, token_service, monkeypatch):
    from velora_metrics_plugin.common.utils import vn_url_mapping

    asked = []
    monkeypatch.setattr(vn_url_mapping, "get_iam_url_from_vn_url", lambda url: asked.append(url) or token_service.url)
    evaluator(smh, vn_url=console.url + "//", vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert asked == [console.url + "//"]


@pytest.mark.parametrize("answer", [None, ""])
def test_cloud_without_iam_url_fails(smh, console, monkeypatch, smh_debug, answer):
    from velora_metrics_plugin.common.utils import vn_url_mapping

    monkeypatch.setattr(vn_url_mapping, "get_iam_url_from_vn_url", lambda url: answer)
    with pytest.raises(Exception) as excinfo:
        evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert_raised_and_logged(excinfo, smh_debug, "Unable to determine IAM URL for the provided Varnel URL")


def test_cloud_unknown_console_has_no_iam_url(smh, monkeypatch):
    monkeypatch.delenv("VELORA_IAM_URL", raising=False)
    with pytest.raises(Exception, match="^Unable to determine IAM URL for the provided Varnel URL$"):
        evaluator(smh, vn_url="https://console.example.org", vn_apikey=CLOUD_APIKEY).connect_to_varnel()


@pytest.mark.parametrize("answer", [{"access_token": ""}, {"access_token": None}, {"token_type": "Bearer"}, []])
def test_cloud_answer_without_token_fails(smh, console, token_service, smh_debug, answer):
    token_service.intercept = lambda request: Reply.of(answer)
    with pytest.raises(Exception) as excinfo:
        evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert_raised_and_logged(excinfo, smh_debug, "Failed to retrieve access token from Velora Cloud IAM")


PREFIX = "Failed to authenticate with Velora Cloud IAM: "


def test_cloud_error_status_fails_with_the_status(smh, console, token_service, smh_debug):
    with pytest.raises(Exception) as excinfo:
        evaluator(smh, vn_url=console.url, vn_apikey="not-a-key").connect_to_varnel()
    assert_raised_and_logged(excinfo, smh_debug,
                             PREFIX + "400 Client Error: Bad Request for url: " + token_service.url)


@pytest.mark.parametrize("reply, detail", [
    (Reply(500, b"oops", "text/plain"), "500 Server Error: Internal Server Error for url: "),
    (Reply(200, b"<html>login</html>", "text/html"), "Expecting value: line 1 column 1 (char 0)"),
    (Reply(200, b""), "Expecting value: line 1 column 1 (char 0)"),
    (Reply(close=True), "POST "),
])
def test_cloud_transport_and_answer_failures_are_translated(smh, console, token_service, smh_debug, reply, detail):
    token_service.intercept = lambda request: reply
    with pytest.raises(Exception) as excinfo:
        evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert type(excinfo.value) is Exception
    assert str(excinfo.value).startswith(PREFIX + detail)
    assert str(excinfo.value) in smh_messages(smh_debug)


def test_cloud_connection_refused_is_translated(smh, console, monkeypatch):
    monkeypatch.setenv("VELORA_IAM_URL", f"http://127.0.0.1:{closed_port()}/identity/token")
    with pytest.raises(Exception) as excinfo:
        evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    assert type(excinfo.value) is Exception and str(excinfo.value).startswith(PREFIX + "POST http://127.0.0.1:")


def test_cloud_token_request_verifies_the_certificate(smh, console, tls_files, monkeypatch):
    # The console itself is reached without verification; the identity service is not.
    service = FakeTokenService(CONSOLE_TOKEN, tls=tls_files)
    try:
        monkeypatch.setenv("VELORA_IAM_URL", service.url)
        with pytest.raises(Exception) as excinfo:
            evaluator(smh, vn_url=console.url, vn_apikey=CLOUD_APIKEY).connect_to_varnel()
    finally:
        service.close()
    assert str(excinfo.value).startswith(PREFIX + "POST " + service.url + " failed: ")
    assert service.requests == []


def test_absent_console_url_fails_the_substring_test(smh):
    with pytest.raises(TypeError, match="argument of type 'NoneType' is not iterable"):
        evaluator(smh).connect_to_varnel()


@pytest.mark.parametrize("url, expected", [
    ("https://c.example", "https://c.example/app/jspview/react/grc/task-view/MOD-1"),
    ("https://c.example/", "https://c.example/app/jspview/react/grc/task-view/MOD-1"),
    ("https://c.example//", "https://c.example//app/jspview/react/grc/task-view/MOD-1"),
    ("", "/app/jspview/react/grc/task-view/MOD-1"),
])
def test_task_view_link(smh, url, expected):
    assert evaluator(smh, vn_url=url).get_varnel_metric_link("MOD-1") == expected


def test_task_view_link_needs_a_console_url(smh):
    with pytest.raises(ValueError, match="^Varnel URL is required to generate the link$"):
        evaluator(smh).get_varnel_metric_link("MOD-1")


def test_task_view_link_needs_a_text_model_id(smh):
    with pytest.raises(TypeError):
        evaluator(smh, vn_url="https://c.example").get_varnel_metric_link(17)



@pytest.mark.parametrize("credentials, environment, message", [
    ({"vn_write_timeout": "60"}, {}, "vn_write_timeout must be a positive number of seconds"),
    ({"vn_write_timeout": 0}, {}, "vn_write_timeout must be a positive number of seconds"),
    ({"vn_write_timeout": True}, {}, "vn_write_timeout must be a positive number of seconds"),
    ({"vn_write_timeout": 1e16}, {}, "vn_write_timeout must be at most 1000000 seconds"),
    ({}, {"VELORA_VARNEL_WRITE_TIMEOUT": "1e16"}, "VELORA_VARNEL_WRITE_TIMEOUT must be at most 1000000 seconds"),
    ({"vn_verify_tls": 1}, {}, "vn_verify_tls must be True, False or the path of a CA bundle file"),
    ({"vn_verify_tls": "/no/such/ca.pem"}, {}, "vn_verify_tls names no CA bundle file: /no/such/ca.pem"),
    ({}, {"VELORA_VARNEL_WRITE_TIMEOUT": "soon"}, "VELORA_VARNEL_WRITE_TIMEOUT must be a positive number of seconds"),
])
def test_unreadable_console_settings_fail_before_any_request(smh, console, monkeypatch, credentials, environment,
                                                            message):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ValueError) as excinfo:
        orrin_evaluator(smh, console, **credentials).connect_to_varnel()
    assert str(excinfo.value) == message
    assert console.requests == []
