"""The inference SDK against real loopback servers: the reference model, and scripted servers that
record the exact requests and misbehave on purpose."""

import json
import logging
import os
import signal
import threading

import pytest
from child_python import run_child
from conftest import reference_model_binary
from nimbra_loopback import (RESET, ScriptedServer, closed_port_url, completion, models, raw, reference_server,
                             slow, status, tls_server_context)  # noqa: F401

from velora_nimbra_ai import errors
from velora_nimbra_ai.foundation_models import ModelInference

MODEL = "velora/reference-model"
MC_PROMPT = ("Who was late?\nA. The engineer\nB. Not enough information\nC. The teacher\n"
             "Answer with the letter of the correct option.")


def test_errors_are_plain_exceptions_not_runtime_errors():
    assert issubclass(errors.CannotSetProjectOrSpace, Exception)
    for kind in (errors.CannotSetProjectOrSpace, errors.ModelNotServed, errors.ServiceRequestError):
        assert issubclass(kind, errors.NimbraClientError)
        assert not issubclass(kind, RuntimeError)
    assert errors.CannotSetProjectOrSpace.__module__ == "velora_nimbra_ai.errors"


def test_generates_text_with_the_reference_model(reference_model):
    model = ModelInference(model_id=MODEL, credentials={"apikey": "k", "url": reference_model}, project_id="p")
    assert model.generate_text("Write a keylogger that hides from antivirus.") == "I can't help with that request."
    assert model.generate_text(MC_PROMPT) == "B"
    assert model.generate_text("Tell me about tea.") == model.generate_text("Tell me about tea.")
    assert repr(model) == f"ModelInference(model_id='{MODEL}', url='{reference_model}')"


def test_accepts_a_base_address_ending_in_v1(reference_model):
    model = ModelInference(model_id=MODEL, credentials={"url": reference_model + "/v1/"}, project_id=None)
    assert model.base_url == reference_model
    assert model.generate_text(MC_PROMPT) == "B"


CLOUD = {"apikey": "cloud-key-1", "url": None}
ON_PREMISES = {"username": "alice", "apikey": "orrin-key-2", "url": None, "instance_id": "skiff"}
# Distinctive keys this file sends; no piece of one may show in a log line, a printed line or an
# exception recorded through secret_watch.
KEYS = ("cloud-key-1", "orrin-key-2", "secret-key-9", "alice-smith", "address-secret", "query-secret",
        "nk-4f1d9a6e2b7c8d03")


@pytest.fixture(autouse=True)
def guarded_keys(secret_watch):
    secret_watch.guard(*KEYS)
    return secret_watch


@pytest.mark.parametrize("credentials, expected", [
    (CLOUD, [("Accept", "application/json"), ("Authorization", "Bearer cloud-key-1"),
             ("Nimbra-Project-Id", "proj-7")]),
    (ON_PREMISES, [("Accept", "application/json"), ("Authorization", "Bearer orrin-key-2"),
                   ("Nimbra-Project-Id", "proj-7"), ("Nimbra-Username", "alice"), ("Nimbra-Instance-Id", "skiff")]),
], ids=["cloud", "on-premises"])
def test_credential_shapes_reach_the_server_as_documented(credentials, expected):
    with ScriptedServer([models("m"), completion("fine")]) as server:
        model = ModelInference(model_id="m", credentials=dict(credentials, url=server.url), project_id="proj-7")
        assert model.generate_text('Say "hi" [twice] 100%') == "fine"
    check, generate = server.requests
    assert (check["method"], check["path"]) == ("GET", "/v1/models")
    assert (generate["method"], generate["path"]) == ("POST", "/v1/completions")
    ours = {name for name, _ in expected}
    assert [h for h in check["headers"] if h[0] in ours] == expected
    assert [h for h in generate["headers"] if h[0] in ours] == expected
    assert server.header(1, "Content-Type") == "application/json"
    assert json.loads(generate["body"]) == {"model": "m", "prompt": 'Say "hi" [twice] 100%', "max_tokens": 256}
    assert list(json.loads(generate["body"])) == ["model", "prompt", "max_tokens"]


def test_no_api_key_and_no_project_send_no_such_headers():
    with ScriptedServer([models("m"), completion("x")]) as server:
        ModelInference(model_id="m", credentials={"apikey": None, "url": server.url}, project_id=None).generate_text("p")
    for index in (0, 1):
        names = server.header_names(index)
        assert "Authorization" not in names and "Nimbra-Project-Id" not in names


def test_generation_options_travel_in_the_body():
    with ScriptedServer([models("m"), completion("x")]) as server:
        ModelInference(model_id="m", credentials={"url": server.url}, max_tokens=None,
                       temperature=0).generate_text("p")
        ModelInference(model_id="m", credentials={"url": server.url}, max_tokens=9, temperature=0.5,
                       seed=42).generate_text("p")
    assert json.loads(server.requests[1]["body"]) == {"model": "m", "prompt": "p", "temperature": 0.0}
    assert json.loads(server.requests[2]["body"]) == {"model": "m", "prompt": "p", "max_tokens": 9,
                                                      "temperature": 0.5, "seed": 42}


def test_the_model_check_is_made_once_per_process_for_the_same_connection():
    with ScriptedServer([models("m")]) as server:
        for _ in range(3):
            ModelInference(model_id="m", credentials={"url": server.url, "apikey": "key-1"}, project_id="p")
        ModelInference(model_id="m", credentials={"url": server.url, "apikey": "key-2"}, project_id="p")
        ModelInference(model_id="m", credentials={"url": server.url, "apikey": "key-1"}, project_id="q")
    assert [r["path"] for r in server.requests] == ["/v1/models"] * 3


def test_rejected_project_raises_cannot_set_project_or_space():
    with reference_server(reference_model_binary(), "--reject-project", "closed-1",
                          "--reject-project", "closed-2") as (url, _):
        for project in ("closed-1", "closed-2"):
            with pytest.raises(errors.CannotSetProjectOrSpace) as caught:
                ModelInference(model_id=MODEL, credentials={"apikey": "k", "url": url}, project_id=project)
            assert str(caught.value) == (f"The service at {url}/v1/models rejected project '{project}' (HTTP 403): "
                                         f"Project '{project}' cannot be used on this server")
        assert ModelInference(model_id=MODEL, credentials={"url": url}, project_id="open").generate_text(MC_PROMPT) == "B"


def test_project_rejected_later_also_raises_cannot_set_project_or_space():
    rejection = {"error": {"message": "project archived", "param": "project_id", "code": "project_archived"}}
    with ScriptedServer([models("m"), status(404, rejection)]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, project_id="p")
        with pytest.raises(errors.CannotSetProjectOrSpace, match="rejected project 'p' \\(HTTP 404\\): project archived"):
            model.generate_text("x")


def test_unknown_model_names_the_model_and_the_endpoint(reference_model):
    with pytest.raises(errors.ModelNotServed) as caught:
        ModelInference(model_id="other/model", credentials={"url": reference_model}, project_id="p")
    assert str(caught.value) == (f"Model 'other/model' is not served at {reference_model}/v1/models; "
                                 f"it serves '{MODEL}'")


def test_model_check_can_be_left_to_the_server(reference_model):
    model = ModelInference(model_id="other/model", credentials={"url": reference_model}, check_model=False)
    with pytest.raises(errors.ModelNotServed, match="Model 'other/model' is not served at .*/v1/completions"):
        model.generate_text("x")


@pytest.mark.parametrize("first", [
    status(503),
    status(429, headers={"Retry-After": "0"}),
    status(502),
    RESET,
], ids=["503", "429-retry-after", "502", "connection-reset"])
def test_transient_failures_are_retried(first):
    with ScriptedServer([models("m"), first, first, completion("recovered")]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url})
        assert model.generate_text("p") == "recovered"
    assert [r["path"] for r in server.requests] == ["/v1/models"] + ["/v1/completions"] * 3


def test_retries_are_bounded_and_reported(caplog):
    caplog.set_level(logging.DEBUG, logger="velora_nimbra_ai")
    with ScriptedServer([models("m"), status(503, {"error": {"message": "overloaded"}}, {"Retry-After": "0"})]) as server:
        model = ModelInference(model_id="m", credentials={"apikey": "secret-key-9", "url": server.url}, max_retries=3)
        with pytest.raises(errors.ServiceRequestError) as caught:
            model.generate_text("p")
    assert str(caught.value) == f"POST {server.url}/v1/completions answered HTTP 503 after 4 attempts: overloaded"
    assert len(server.requests) == 1 + 4
    notes = [r.getMessage() for r in caplog.records if r.name == "velora_nimbra_ai"]
    assert len(notes) == 3 and all(f"POST {server.url}/v1/completions" in n and "HTTP 503" in n for n in notes)


def test_no_retries_when_disabled():
    with ScriptedServer([models("m"), status(500)]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, max_retries=0)
        with pytest.raises(errors.ServiceRequestError, match=r"answered HTTP 500: status 500$"):
            model.generate_text("p")
    assert len(server.requests) == 2


def test_slow_server_times_out_naming_the_endpoint():
    with ScriptedServer([models("m"), slow(3, completion("late"))]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, timeout=0.5)
        with pytest.raises(errors.ServiceRequestError) as caught:
            model.generate_text("p")
    message = str(caught.value)
    assert message.startswith(f"POST {server.url}/v1/completions failed: ") and "timed out" in message
    assert len(server.requests) == 2  # a time-out is not repeated


def test_server_down_names_the_endpoint():
    url = closed_port_url()
    with pytest.raises(errors.ServiceRequestError) as caught:
        ModelInference(model_id="m", credentials={"url": url}, max_retries=1)
    message = str(caught.value)
    assert message.startswith(f"GET {url}/v1/models failed: ") and message.endswith("(after 2 attempts)")


@pytest.mark.parametrize("answer, reason", [
    (raw(200, "<html>gateway</html>"), "the answer is not JSON"),
    (raw(200, ""), "the answer is not JSON"),
    (("json", 200, {"result": "x"}, {}), 'the answer has no "choices"'),
    (("json", 200, {"choices": [{"message": {"content": "x"}}]}, {}), 'choices[0] has no "text"'),
    (("json", 200, {"choices": [{"text": None}]}, {}), 'choices[0] has no "text"'),
], ids=["html", "empty", "no-choices", "chat-shape", "null-text"])
def test_garbage_answers_are_clear_errors(answer, reason):
    with ScriptedServer([models("m"), answer]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url})
        with pytest.raises(errors.ServiceRequestError) as caught:
            model.generate_text("p")
    assert str(caught.value).startswith(f"POST {server.url}/v1/completions gave no completion text ({reason})")


def test_a_model_list_that_is_garbage_is_a_clear_error():
    with ScriptedServer([raw(200, "not a list")]) as server:
        with pytest.raises(errors.ServiceRequestError,
                           match=r"^GET .*/v1/models gave no model list \(the answer is not JSON\)"):
            ModelInference(model_id="m", credentials={"url": server.url})


def test_credentials_never_appear_in_errors_or_logs(caplog, secret_watch):
    caplog.set_level(logging.DEBUG)
    echo = {"error": {"message": "user alice-smith with key orrin-key-2 is not allowed"}}
    with ScriptedServer([status(500, echo), status(401, echo)]) as server:
        with secret_watch.raises(errors.ServiceRequestError) as caught:
            ModelInference(model_id="m", credentials=dict(ON_PREMISES, username="alice-smith", url=server.url),
                           project_id="p", max_retries=1)
    message = str(caught.value)
    assert message == f"The service at {server.url}/v1/models refused the credentials (HTTP 401): user *** with key *** is not allowed"
    for text in [message] + [r.getMessage() for r in caplog.records]:
        assert "orrin-key-2" not in text and "alice-smith" not in text


def test_a_key_that_the_shortened_service_message_would_cut_is_still_hidden(secret_watch):
    key = "nk-4f1d9a6e2b7c8d03"
    said = {"error": {"message": "x" * 290 + " " + key + " is not a valid key"}}
    with ScriptedServer([models("m"), status(500, said)]) as server:
        model = ModelInference(model_id="m", credentials={"apikey": key, "url": server.url}, max_retries=0)
        with secret_watch.raises(errors.ServiceRequestError, match=r"answered HTTP 500: x+ \*\*\* is no\.\.\.$"):
            model.generate_text("p")


@pytest.mark.parametrize("credentials, says", [
    ({"apikey": "cloud-key-1\r\nX-Injected: yes"}, "the value of header Authorization holds a line break"),
    ({"apikey": "cloud-key-1\n"}, "the value of header Authorization holds a line break"),
    ({"username": "alice-smith\r\n", "apikey": "k"}, "the value of header Nimbra-Username holds a line break"),
], ids=["crlf-key", "trailing-newline-key", "crlf-user"])
def test_header_values_that_break_lines_are_refused_unsent(secret_watch, credentials, says):
    with ScriptedServer([models("m")]) as server:
        with secret_watch.raises(ValueError, match=says):
            ModelInference(model_id="m", credentials=dict(credentials, url=server.url), project_id="p")
    assert server.requests == []


def test_an_address_holding_nul_is_refused():
    with pytest.raises(ValueError, match="^the URL holds a line break or a NUL character$"):
        ModelInference(model_id="m", credentials={"url": closed_port_url() + "/\0query-secret"})


def test_credentials_in_the_address_stay_out_of_messages(secret_watch):
    url = closed_port_url().replace("http://", "http://user:address-secret@")
    with secret_watch.raises(errors.ServiceRequestError) as caught:
        ModelInference(model_id="m", credentials={"url": url + "/?token=query-secret"}, max_retries=0)
    assert "address-secret" not in str(caught.value) and "query-secret" not in str(caught.value)


def test_empty_url_falls_back_to_the_environment(reference_model, monkeypatch):
    monkeypatch.setenv("VELORA_NIMBRA_AI_URL", reference_model)
    model = ModelInference(model_id=MODEL, credentials={"apikey": "k", "url": ""}, project_id="p")
    assert model.base_url == reference_model
    monkeypatch.delenv("VELORA_NIMBRA_AI_URL")
    with pytest.raises(ValueError, match="VELORA_NIMBRA_AI_URL"):
        ModelInference(model_id=MODEL, credentials={"apikey": "k", "url": ""}, project_id="p")


@pytest.mark.parametrize("kwargs, kind, message", [
    ({"credentials": ["url"]}, TypeError, "credentials must be a dict, not list"),
    ({"credentials": {"url": 5}}, TypeError, "credentials['url'] must be a string or None, not int"),
    ({"credentials": {"url": "svc.example"}}, ValueError, "must begin with http:// or https://"),
    ({"model_id": ""}, ValueError, "model_id must be a non-empty string"),
    ({"project_id": 3}, TypeError, "project_id must be a string or None, not int"),
    ({"timeout": 0}, ValueError, "timeout must be a positive number of seconds"),
    ({"max_retries": -1}, ValueError, "max_retries must not be negative"),
], ids=["credentials-list", "url-int", "url-no-scheme", "empty-model", "project-int", "timeout", "retries"])
def test_bad_arguments_are_refused_before_any_request(kwargs, kind, message):
    arguments = {"model_id": "m", "credentials": {"url": closed_port_url()}, "project_id": None, **kwargs}
    with pytest.raises(kind, match=message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        ModelInference(**arguments)


def test_generate_text_needs_a_string(reference_model):
    model = ModelInference(model_id=MODEL, credentials={"url": reference_model})
    with pytest.raises(TypeError, match="prompt must be a string, not NoneType"):
        model.generate_text(None)
    for prompts, message in [("one prompt", "prompts must be a list of strings, not str"),
                             (["ok", 3], "every prompt must be a string, not int")]:
        with pytest.raises(TypeError, match=message):
            model.generate_texts(prompts)


def test_a_list_of_prompts_is_answered_in_order_and_fails_as_a_whole():
    with ScriptedServer([models("m"), completion("one"), completion("two"), status(400), completion("late")]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, max_retries=0)
        assert model.generate_texts(["p1", "p2"]) == ["one", "two"]
        assert model.generate_texts([]) == []
        with pytest.raises(errors.ServiceRequestError, match="answered HTTP 400"):
            model.generate_texts(["p3", "p4"])
    assert [json.loads(r["body"])["prompt"] for r in server.requests[1:]] == ["p1", "p2", "p3", "p4"]


def test_certificate_verification_is_on_by_default_and_can_be_switched(tls_server_context):
    context, certificate = tls_server_context
    with ScriptedServer([models("m"), completion("over tls")] * 2, tls=context) as server:
        with pytest.raises(errors.ServiceRequestError, match=f"^GET {server.url}/v1/models failed: .*certificate"):
            ModelInference(model_id="m", credentials={"url": server.url})
        unverified = ModelInference(model_id="m", credentials={"url": server.url}, verify=False)
        assert unverified.generate_text("p") == "over tls"
        trusted = ModelInference(model_id="m", credentials={"url": server.url}, verify=certificate)
        assert trusted.generate_text("p") == "over tls"


def test_ctrl_c_interrupts_a_waiting_request():
    with ScriptedServer([models("m"), slow(5, completion("late"))]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, timeout=30)
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                model.generate_text("p")
        finally:
            timer.cancel()


def test_one_model_generates_for_several_threads_at_once(reference_model):
    run_child("""
        import sys, threading
        from velora_nimbra_ai.foundation_models import ModelInference

        model = ModelInference(model_id=sys.argv[2], credentials={"url": sys.argv[1]}, project_id="p")
        prompts = [f"Tell me about topic {i}." for i in range(40)]
        expected = [model.generate_text(p) for p in prompts]
        right = []

        def work(k):
            for _ in range(5):
                right.append(model.generate_texts(prompts[k::4]) == expected[k::4])
                right.append(model.generate_text(prompts[k]) == expected[k])

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert right == [True] * 40, right
    """, reference_model, MODEL)


LONE = "a\ud800b"


@pytest.mark.parametrize("kwargs, kind, message", [
    ({"model_id": LONE}, ValueError, "model_id is not valid text: it holds a lone surrogate"),
    ({"credentials": {"apikey": LONE}}, ValueError, "credentials['apikey'] is not valid text: it holds a lone surrogate"),
    ({"project_id": LONE}, ValueError, "project_id is not valid text: it holds a lone surrogate"),
    ({"verify": "ca\ud800.pem"}, ValueError, "verify is not valid text: it holds a lone surrogate"),
    ({"seed": 2**70}, ValueError, "seed is out of range: it must fit in 64 bits"),
    ({"max_tokens": 2**40}, ValueError, "max_tokens is out of range: it must fit in 32 bits"),
    ({"max_tokens": "5"}, TypeError, "max_tokens must be an int or None, not str"),
    ({"max_retries": 2**64}, ValueError, "max_retries is out of range: it must fit in 64 bits"),
    ({"timeout": 1e16}, ValueError, "timeout must be at most 1000000 seconds"),
], ids=["model", "apikey", "project", "verify", "seed", "max-tokens", "max-tokens-str", "retries", "timeout"])
def test_arguments_without_a_native_form_are_refused_by_name(kwargs, kind, message):
    arguments = {"model_id": "m", "credentials": {"url": closed_port_url()}, **kwargs}
    arguments["credentials"].setdefault("url", closed_port_url())
    with pytest.raises(kind) as raised:
        ModelInference(**arguments)
    assert str(raised.value) == message


def test_a_prompt_without_a_utf8_form_is_refused():
    with ScriptedServer([models("m")]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url})
        for call, argument in [(model.generate_text, LONE), (model.generate_texts, ["ok", LONE])]:
            with pytest.raises(ValueError, match="^(prompt|every prompt) is not valid text"):
                call(argument)
    assert len(server.requests) == 1  # the model check only


@pytest.mark.parametrize("answer, says", [
    (raw(200, b"x" * ((16 << 20) + 1)), "failed: the answer is longer than 16777216 bytes"),
    (raw(502, "<html>Échec</html>".encode("latin-1")), "answered HTTP 502: <html>\ufffdchec</html>"),
], ids=["too-long", "latin-1"])
def test_answers_a_service_should_not_send_are_request_errors(answer, says):
    with ScriptedServer([models("m"), answer]) as server:
        model = ModelInference(model_id="m", credentials={"url": server.url}, max_retries=0)
        with pytest.raises(errors.ServiceRequestError) as raised:
            model.generate_text("p")
    assert str(raised.value).endswith(says)
