"""Each judge provider's exact request against a loopback server, how a failed judge call reaches the
caller (RuntimeError naming provider and endpoint, never a credential, with its cause chained), and
the Signature Version 4 signer checked against signatures computed here with hashlib and hmac."""

import hashlib
import hmac
import json
import os
import signal
import threading
import urllib.parse
from pathlib import Path

import pytest
from nimbra_loopback import (ScriptedServer, closed_port_url, completion, models, slow, status,  # noqa: F401
                             tls_server_context)

import corvex
from corvex import _corvex

CARD = "cards.jailbreak_risk.jailbreak_risk_llm_judge"
KEY = "sk-judge-0123456789abcdef"
SESSION_TOKEN = "IQoJb3JpZ2luX2VjEXAMPLETOKEN"
ANSWER = "I can't help with that."
TEMPLATE = (Path(corvex.__path__[0]) / "catalog/judges/harmful_request_safety.txt").read_text().rstrip("\n\r ")

OUR_VARIABLES = ["CORVEX_JUDGE_MODEL", "CORVEX_JUDGE_TIMEOUT", "CORVEX_JUDGE_MAX_RETRIES", "CORVEX_JUDGE_CONCURRENCY",
                 "CORVEX_JUDGE_CACHE", "CORVEX_TOGETHERAI_BASE_URL",
                 "CORVEX_REPLICATE_BASE_URL", "CORVEX_AWS_BEDROCK_ENDPOINT", "CORVEX_AZURE_API_VERSION",
                 "CORVEX_JUDGE_CA_BUNDLE", "AWS_SESSION_TOKEN"]


@pytest.fixture
def env(no_judge_env, secret_watch):
    for name in OUR_VARIABLES:
        no_judge_env.delenv(name, raising=False)
    no_judge_env.setenv("CORVEX_JUDGE_MAX_RETRIES", "0")  # failures come back at once
    no_judge_env.setenv("CORVEX_JUDGE_CONCURRENCY", "1")  # a script answers in arrival order
    secret_watch.guard(KEY, SESSION_TOKEN)
    return no_judge_env


def judge_one(answer=ANSWER):
    data = corvex.load_dataset(card=CARD, max_test_instances=1)
    return data[0]["source"], corvex.evaluate(predictions=[answer], data=data)[0]["score"]


def judge_many(count):
    data = corvex.load_dataset(card=CARD, max_test_instances=count)
    return corvex.evaluate(predictions=[ANSWER] * count, data=data)


def prompt_for(source, answer=ANSWER):
    return TEMPLATE.replace("{request}", source).replace("{response}", answer)


def chat(text):
    return ("json", 200, {"id": "c1", "object": "chat.completion",
                          "choices": [{"index": 0, "message": {"role": "assistant", "content": text}}]}, {})


def header(request, name):
    values = [v for n, v in request["headers"] if n.lower() == name.lower()]
    return values[0] if values else None


def setup(provider, env, url):
    """Points `provider` at `url` with credentials KEY."""
    env.setenv("CORVEX_DEFAULT_PROVIDER", provider)
    if provider == "together-ai":
        env.setenv("TOGETHERAI_API_KEY", KEY)
        env.setenv("CORVEX_TOGETHERAI_BASE_URL", url + "/v1")
    elif provider == "azure":
        env.setenv("AZURE_AI_API_KEY", KEY)
        env.setenv("AZURE_AI_API_BASE", url + "/models")
    elif provider == "replicate":
        env.setenv("REPLICATE_API_TOKEN", KEY)
        env.setenv("CORVEX_REPLICATE_BASE_URL", url + "/v1")
    elif provider == "aws":
        env.setenv("AWS_REGION_NAME", "eu-central-1")
        env.setenv("AWS_ACCESS_KEY_ID", "AKIDJUDGETEST")
        env.setenv("AWS_SECRET_ACCESS_KEY", KEY)
        env.setenv("CORVEX_AWS_BEDROCK_ENDPOINT", url)
    else:
        env.setenv("QNR_APIKEY", KEY)
        env.setenv("QNR_URL", url)
        env.setenv("QNR_PROJECT_ID", "proj-7")


def test_together_ai_sends_a_chat_completion_with_a_bearer_key(env):
    with ScriptedServer([chat("SAFE")]) as server:
        setup("together-ai", env, server.url)
        source, score = judge_one()
    (request,) = server.requests
    assert (request["method"], request["path"]) == ("POST", "/v1/chat/completions")
    assert header(request, "Authorization") == f"Bearer {KEY}"
    assert header(request, "Content-Type") == "application/json"
    assert header(request, "Accept") == "application/json"
    assert json.loads(request["body"]) == {
        "model": "meta-llama/Llama-3.3-70B-Instruct-Turbo",
        "messages": [{"role": "user", "content": prompt_for(source)}],
        "max_tokens": 64, "temperature": 0}
    assert score["instance"]["verdict"] == "SAFE" and score["global"]["score"] == 1.0


def test_azure_sends_the_key_in_its_api_key_header(env):
    with ScriptedServer([chat("Verdict: UNSAFE")]) as server:
        setup("azure", env, server.url)
        env.setenv("CORVEX_JUDGE_MODEL", "judge-deployment")
        source, score = judge_one()
    (request,) = server.requests
    assert (request["method"], request["path"]) == ("POST", "/models/chat/completions?api-version=2024-05-01-preview")
    assert header(request, "api-key") == KEY
    assert header(request, "Authorization") is None
    assert json.loads(request["body"])["model"] == "judge-deployment"
    assert json.loads(request["body"])["messages"] == [{"role": "user", "content": prompt_for(source)}]
    assert score["instance"]["verdict"] == "UNSAFE" and score["global"]["score"] == 0.0


def test_replicate_creates_a_prediction_and_polls_it_to_the_end(env):
    server = ScriptedServer([])
    own = f"{server.url}/v1/predictions/p-1"

    def prediction(code, state, **extra):
        return ("json", code, {"id": "p-1", "status": state, "urls": {"get": own, "cancel": own + "/cancel"}, **extra}, {})

    server.script = [prediction(201, "starting"), prediction(200, "processing"),
                     prediction(200, "succeeded", output=["UN", "SAFE"])]
    with server:
        setup("replicate", env, server.url)
        source, score = judge_one()
    create, *polls = server.requests
    assert (create["method"], create["path"]) == ("POST", "/v1/models/meta/meta-llama-3-70b-instruct/predictions")
    assert header(create, "Authorization") == f"Bearer {KEY}"
    assert header(create, "Prefer") == "wait"
    assert json.loads(create["body"]) == {"input": {"prompt": prompt_for(source), "max_tokens": 64}}
    assert [(p["method"], p["path"]) for p in polls] == [("GET", "/v1/predictions/p-1")] * 2
    assert all(header(p, "Authorization") == f"Bearer {KEY}" for p in polls)
    assert score["instance"]["judge_answer"] == "UNSAFE"


def sigv4_authorization(method, path, query, headers, body, access_key, secret, region, service, signed):
    """Signature Version 4 from first principles, for checking ours."""
    def sha(data):
        return hashlib.sha256(data).hexdigest()

    def mac(key, text):
        return hmac.new(key, text.encode(), hashlib.sha256).digest()

    amz_date = headers["x-amz-date"]
    pairs = sorted((urllib.parse.quote(k, safe="~"), urllib.parse.quote(v, safe="~"))
                   for k, v in urllib.parse.parse_qsl(query, keep_blank_values=True))
    canonical = "\n".join([method, urllib.parse.quote(path, safe="/~"), "&".join(f"{k}={v}" for k, v in pairs),
                           "".join(f"{n}:{' '.join(headers[n].split())}\n" for n in signed), ";".join(signed), sha(body)])
    scope = f"{amz_date[:8]}/{region}/{service}/aws4_request"
    to_sign = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope, sha(canonical.encode())])
    key = mac(mac(mac(mac(("AWS4" + secret).encode(), amz_date[:8]), region), service), "aws4_request")
    signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    return f"AWS4-HMAC-SHA256 Credential={access_key}/{scope}, SignedHeaders={';'.join(signed)}, Signature={signature}"


@pytest.mark.parametrize("session_token", [None, SESSION_TOKEN])
def test_aws_sends_a_signed_converse_request(env, session_token):
    answer = {"output": {"message": {"role": "assistant", "content": [{"text": "SAFE"}]}}, "stopReason": "end_turn"}
    with ScriptedServer([("json", 200, answer, {})]) as server:
        setup("aws", env, server.url)
        if session_token:
            env.setenv("AWS_SESSION_TOKEN", session_token)
        source, score = judge_one()
    (request,) = server.requests
    assert (request["method"], request["path"]) == ("POST", "/model/meta.llama3-70b-instruct-v1%3A0/converse")
    assert json.loads(request["body"]) == {
        "messages": [{"role": "user", "content": [{"text": prompt_for(source)}]}],
        "inferenceConfig": {"maxTokens": 64, "temperature": 0}}
    headers = {n.lower(): v for n, v in request["headers"]}
    signed = ["accept", "content-type", "host", "x-amz-date"] + (["x-amz-security-token"] if session_token else [])
    assert headers["host"] == server.url.removeprefix("http://")
    assert headers.get("x-amz-security-token") == session_token
    path, _, query = request["path"].partition("?")
    assert headers["authorization"] == sigv4_authorization("POST", path, query, headers, request["body"],
                                                           "AKIDJUDGETEST", KEY, "eu-central-1", "bedrock", signed)
    assert score["global"]["score"] == 1.0


def test_signer_reproduces_the_published_example():
    """The worked example of the signing algorithm: ListUsers, AKIDEXAMPLE, 2015-08-30 12:36:00 UTC."""
    secret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY"
    headers = [("Host", "iam.amazonaws.com"), ("Content-Type", "application/x-www-form-urlencoded; charset=utf-8")]
    ours = _corvex._sigv4_sign("GET", "https://iam.amazonaws.com/?Action=ListUsers&Version=2010-05-08", headers, b"",
                               "us-east-1", "iam", "AKIDEXAMPLE", secret, None, "20150830T123600Z")
    sent = {n.lower(): v for n, v in ours["headers"]}
    assert sent["x-amz-date"] == "20150830T123600Z"
    expected = sigv4_authorization("GET", "/", "Action=ListUsers&Version=2010-05-08", sent, b"", "AKIDEXAMPLE", secret,
                                   "us-east-1", "iam", ["content-type", "host", "x-amz-date"])
    assert ours["authorization"] == expected == sent["authorization"]
    assert ours["signature"] == "5d672d79c15b13162d9279b0855cfba6789a8edb4c82c400e06b5924a6f2b5d7"  # as published


def test_signer_encodes_path_and_query_as_the_algorithm_says():
    headers = [("Host", "example.test:8443"), ("X-Spaced", "  a   b ")]
    url = "https://example.test:8443/model/a%3Ab/x y?z=1&a=%2F&a=b c"
    ours = _corvex._sigv4_sign("POST", url, headers, b'{"k": 1}', "us-west-2", "bedrock", "AKID", "s3cr3t",
                               "tok", "20240229T235959Z")
    sent = {n.lower(): v for n, v in ours["headers"]}
    expected = sigv4_authorization("POST", "/model/a%3Ab/x y", "z=1&a=%2F&a=b c", sent, b'{"k": 1}', "AKID", "s3cr3t",
                                   "us-west-2", "bedrock", ["host", "x-amz-date", "x-amz-security-token", "x-spaced"])
    assert ours["authorization"] == expected


def test_nimbra_sdk_speaks_the_sdk_protocol_with_project_header(env):
    with ScriptedServer([models("velora/reference-model"), completion("SAFE")]) as server:
        setup("nimbra-sdk", env, server.url)
        source, score = judge_one()
    check, ask = server.requests
    assert (check["method"], check["path"]) == ("GET", "/v1/models")
    assert (ask["method"], ask["path"]) == ("POST", "/v1/completions")
    for request in (check, ask):
        assert header(request, "Authorization") == f"Bearer {KEY}"
        assert header(request, "Nimbra-Project-Id") == "proj-7"
    assert json.loads(ask["body"]) == {"model": "velora/reference-model", "prompt": prompt_for(source),
                                       "max_tokens": 64, "temperature": 0.0}
    assert score["global"]["score"] == 1.0


PROVIDERS = ["together-ai", "azure", "replicate", "aws", "nimbra-sdk"]
FIRST_PATH = {"together-ai": "/v1/chat/completions", "azure": "/models/chat/completions",
              "replicate": "/v1/models/meta/meta-llama-3-70b-instruct/predictions",
              "aws": "/model/meta.llama3-70b-instruct-v1%3A0/converse", "nimbra-sdk": "/v1/models"}


@pytest.mark.parametrize("provider", PROVIDERS)
def test_refused_credentials_raise_runtime_error_with_the_cause_and_no_key(env, secret_watch, provider):
    echo = {"error": {"message": f"Incorrect API key provided: {KEY}", "code": "invalid_api_key"}}
    with ScriptedServer([status(401, echo)]) as server:
        setup(provider, env, server.url)
        with secret_watch.raises(RuntimeError) as caught:
            judge_one()
    error = caught.value
    assert not isinstance(error, corvex.CorvexError)
    message = str(error)
    assert message.startswith(f"card {CARD}: instance #0: the {provider} judge ")
    assert f"{server.url}{FIRST_PATH[provider]} failed" in message
    assert isinstance(error.__cause__, RuntimeError)
    assert "HTTP 401" in str(error.__cause__)
    assert KEY not in message and KEY not in str(error.__cause__)
    assert "Incorrect API key provided: ***" in str(error.__cause__)


@pytest.mark.parametrize("provider", PROVIDERS)
def test_unreachable_judge_is_a_runtime_error_caused_by_the_connection(env, provider):
    url = closed_port_url()
    setup(provider, env, url)
    with pytest.raises(RuntimeError, match=f"the {provider} judge .*{url}") as caught:
        judge_one()
    assert isinstance(caught.value.__cause__, ConnectionError)
    assert "onnect" in str(caught.value.__cause__)


@pytest.mark.parametrize("provider", PROVIDERS)
def test_a_key_that_the_shortened_service_message_would_cut_is_still_hidden(env, secret_watch, provider):
    said = {"error": {"message": "x" * 290 + " " + KEY + " was refused"}}
    with ScriptedServer([status(403, said)]) as server:
        setup(provider, env, server.url)
        with secret_watch.raises(RuntimeError) as caught:
            judge_one()
    assert str(caught.value.__cause__).startswith("HTTP 403: xxx") and " *** was" in str(caught.value.__cause__)


@pytest.mark.parametrize("variable, value, header", [
    ("TOGETHERAI_API_KEY", KEY + "\n", "Authorization"),
    ("TOGETHERAI_API_KEY", KEY + "\r\nX-Injected: yes", "Authorization"),
], ids=["trailing-newline", "crlf"])
def test_a_key_that_breaks_its_header_line_is_refused_unsent(env, secret_watch, variable, value, header):
    with ScriptedServer([chat("SAFE")]) as server:
        setup("together-ai", env, server.url)
        env.setenv(variable, value)
        with secret_watch.raises(ValueError, match=f"^the value of header {header} holds a line break"):
            judge_one()
    assert server.requests == []


def test_a_failed_call_in_a_batch_names_its_instance(env):
    with ScriptedServer([chat("SAFE"), status(400, {"error": {"message": "context too long"}}), chat("SAFE")]) as server:
        setup("together-ai", env, server.url)
        with pytest.raises(RuntimeError, match=f"^card {CARD}: instance #1: the together-ai judge ") as caught:
            judge_many(3)
    assert str(caught.value.__cause__) == "HTTP 400: context too long"
    assert len(server.requests) == 3


def test_a_ca_bundle_lets_the_judge_trust_a_private_certificate(env, tls_server_context):
    context, certificate = tls_server_context
    with ScriptedServer([chat("SAFE")], tls=context) as server:
        setup("together-ai", env, server.url)
        with pytest.raises(RuntimeError) as caught:
            judge_one()
        assert isinstance(caught.value.__cause__, ConnectionError) and "certificate" in str(caught.value.__cause__)
        env.setenv("CORVEX_JUDGE_CA_BUNDLE", certificate)
        assert judge_one()[1]["global"]["score"] == 1.0
    env.setenv("CORVEX_JUDGE_CA_BUNDLE", certificate + ".missing")
    with pytest.raises(RuntimeError, match="judge provider together-ai cannot be used: CORVEX_JUDGE_CA_BUNDLE must "
                                           "name a readable CA bundle file"):
        judge_one()


def test_a_judge_that_answers_garbage_is_a_cause_of_its_own_kind(env):
    with ScriptedServer([("raw", 200, "<html>gateway</html>", "text/html")]) as server:
        setup("together-ai", env, server.url)
        with pytest.raises(RuntimeError) as caught:
            judge_one()
    assert isinstance(caught.value.__cause__, ValueError)
    assert str(caught.value.__cause__).startswith("the answer is not a chat completion (it is not a JSON object); "
                                                  "body starts with: <html>gateway</html>")


def test_transient_failures_are_retried(env):
    env.setenv("CORVEX_JUDGE_MAX_RETRIES", "1")
    with ScriptedServer([status(503), chat("SAFE")]) as server:
        setup("together-ai", env, server.url)
        _, score = judge_one()
    assert len(server.requests) == 2 and score["global"]["score"] == 1.0


def test_missing_credentials_name_the_variables(env):
    env.setenv("CORVEX_DEFAULT_PROVIDER", "aws")
    env.setenv("AWS_REGION_NAME", "eu-west-1")
    with pytest.raises(RuntimeError, match=r"judge provider aws needs the environment variables "
                                           r"\['AWS_SECRET_ACCESS_KEY', 'AWS_ACCESS_KEY_ID'\], which are not set"):
        judge_one()


def test_ctrl_c_interrupts_a_waiting_judge_call(env):
    with ScriptedServer([slow(5, chat("SAFE"))]) as server:
        setup("together-ai", env, server.url)
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                judge_one()
        finally:
            timer.cancel()
