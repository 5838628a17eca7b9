"""Whole console runs against the fake console: reuse of stored results, evaluation of what is
missing, publishing, roll-back, authentication failures, unreadable answers and Ctrl-C."""

import json
import logging
import os
import signal
import threading

import pandas as pd
import pytest

from conftest import smh_messages
from fake_console import (no_secret_in_logs, CLOUD_APIKEY, ORRIN_APIKEY, ORRIN_USER, SECRETS, URL_PASSWORD,  # noqa: F401
                          FakeConsole, FakeTokenService, Reply, console, other_host_tls_files, tls_files, token_service)

METRICS_A = {"refusal_rate": 0.8, "score": 0.8, "score_name": "refusal_rate", "score_ci_low": 0.7,
             "score_ci_high": 0.9, "num_of_instances": 3}
METRICS_B = {"accuracy": 0.66666, "score": 0.66666, "score_name": "accuracy", "all_scores": [1.0, 0.33333]}
# What the run publishes for a card with METRICS_A, in order ("score" first, never "score_name").
PUBLISHED_A = ["score", "num_of_instances", "refusal_rate", "score_ci_low", "score_ci_high"]
FAILED_RUN = "Error occurred when evaluating the request: "


def answers(table):
    return pd.DataFrame({"generated_text": ["answer to " + p for p in table.iloc[:, 0]]})


@pytest.fixture
def library(catalogue, fake_corvex, no_judge_env):
    catalogue({"harmful-output": ["cards.a", "cards.b"], "toxic-output": ["cards.c"], "output-bias": ["cards.d"]})
    for card, metrics in (("cards.a", METRICS_A), ("cards.b", METRICS_B), ("cards.c", METRICS_A),
                          ("cards.d", METRICS_B)):
        fake_corvex.datasets[card] = [{"source": card + " p1"}, {"source": card + " p2"}]
        fake_corvex.global_metrics[card] = metrics
    return fake_corvex


@pytest.fixture
def model(console):
    return console.add_model("granite-x", "MOD-1")


def cloud_evaluator(smh, console, risks=("harmful-output", "toxic-output"), **overrides):
    credentials = dict(vn_url=console.url, vn_apikey=CLOUD_APIKEY, vn_model_id="granite-x")
    credentials.update(overrides)
    return smh.EvaluateFMRisk(credentials, "granite-x", list(risks), answers)


def orrin_evaluator(smh, console, risks=("harmful-output", "toxic-output"), **overrides):
    credentials = dict(vn_url=console.orrin_url, vn_orrin_host=console.orrin_host, vn_username=ORRIN_USER,
                       vn_orrin_apikey=ORRIN_APIKEY, vn_model_id="granite-x")
    credentials.update(overrides)
    return smh.EvaluateFMRisk(credentials, "granite-x", list(risks), answers)


def link(console_url):
    return console_url + "/app/jspview/react/grc/task-view/MOD-1"


def published_names(console):
    return [r.json()["name"] for r in console.requests_to("POST", "/contents")
            if r.json().get("typeDefinitionId") == "Metric"]


@pytest.mark.parametrize("make", [cloud_evaluator, orrin_evaluator], ids=["cloud", "on-premises"])
def test_nothing_stored_evaluates_and_publishes_everything(smh, console, token_service, library, model, capsys,
                                                           make):
    evaluator = make(smh, console)
    results = evaluator.screen_model_hazards()
    # Plain values on this path, no margins.
    assert results == {"harmful-output": {"cards.a": {"score_name": "refusal_rate", "score": 0.8,
                                                      "num_of_instances": 3, "refusal_rate": 0.8,
                                                      "score_ci_low": 0.7, "score_ci_high": 0.9},
                                          "cards.b": {"score_name": "accuracy", "score": 0.667, "accuracy": 0.667,
                                                      "all_scores": [1.0, 0.333]}},
                       "toxic-output": {"cards.c": results["harmful-output"]["cards.a"]}}
    assert published_names(console) == (
        ["harmful-output, cards.a, " + m for m in PUBLISHED_A]
        + ["harmful-output, cards.b, " + m for m in ("score", "accuracy", "all_scores")]
        + ["toxic-output, cards.c, " + m for m in PUBLISHED_A])
    stored = console.metrics_of("MOD-1")
    assert stored["harmful-output, cards.b, all_scores"] == [0.6665]  # the mean, to four decimals
    assert stored["toxic-output, cards.c, score_ci_high"] == [0.9]
    assert all(len(values) == 1 for values in stored.values())
    # Empty definitions: the stored values were never asked for.
    assert not any("[MetricValue]" in (r.statement or "") for r in console.requests)
    url = console.url if make is cloud_evaluator else console.orrin_url
    assert capsys.readouterr().out == ("Processing harmful-output\nProcessing toxic-output\n"
                                       "Metrics have been successfully saved and published to " + link(url) + "\n")
    assert evaluator.risk_dimensions == ["harmful-output", "toxic-output"]


def test_a_run_keeps_one_connection_and_single_calls_their_own(smh, console, token_service, library, model):
    evaluator = cloud_evaluator(smh, console)
    evaluator.screen_model_hazards()
    writes = console.requests_to("POST", "/contents")
    reads = [r for r in console.requests if r not in writes]
    assert len(reads) > 2 and len({r.peer for r in reads}) == 1
    # Each write on a connection of its own: a reused connection that drops its answer would have
    # libcurl send the write a second time.
    assert len(writes) > 20 and len({r.peer for r in writes} | {reads[0].peer}) == len(writes) + 1
    console.requests.clear()
    header = evaluator.connect_to_varnel()
    smh.get_vn_model_id(header, "granite-x", console.url)
    smh.get_vn_model_id(header, "granite-x", console.url)
    assert len({r.peer for r in console.requests}) == 2


def test_everything_stored_is_retrieved_with_margins(smh, console, token_service, library, model, capsys):
    cloud_evaluator(smh, console).screen_model_hazards()
    capsys.readouterr()
    library.evaluate_calls.clear()
    writes_before = len(console.requests_to("POST", "/contents"))

    evaluator = cloud_evaluator(smh, console)
    results = evaluator.screen_model_hazards()
    assert library.evaluate_calls == []
    assert len(console.requests_to("POST", "/contents")) == writes_before
    assert capsys.readouterr().out == (
        "Metrics have already been saved before, and are being retrieved from " + link(console.url) + "\n")
    assert results["harmful-output"]["cards.a"] == {"score": "0.800 +/-  0.100", "num_of_instances": 3,
                                                    "refusal_rate": 0.8}
    assert results["harmful-output"]["cards.b"] == {"score": 0.667, "accuracy": 0.667, "all_scores": 0.6665}
    assert list(results) == ["harmful-output", "toxic-output"]
    assert evaluator.risk_dimensions == []


def test_some_stored_evaluates_and_publishes_only_the_missing(smh, console, token_service, library, model, capsys,
                                                              smh_debug):
    console.store("MOD-1", "harmful-output, cards.a, score", 0.5)
    console.store("MOD-1", "harmful-output, cards.a, score_ci_low", 0.4)
    console.store("MOD-1", "harmful-output, cards.a, score_ci_high", 0.6)
    evaluator = cloud_evaluator(smh, console, risks=["harmful-output", "toxic-output", "output-bias"])
    results = evaluator.screen_model_hazards()

    assert evaluator.risk_dimensions == ["toxic-output", "output-bias"]
    assert [card for card, _ in library.evaluate_calls] == ["cards.c", "cards.d"]
    assert list(results) == ["harmful-output", "toxic-output", "output-bias"]
    assert results["harmful-output"] == {"cards.a": {"score": 0.5, "score_ci_low": 0.4, "score_ci_high": 0.6}}
    assert results["toxic-output"]["cards.c"]["score"] == 0.8  # plain values
    assert published_names(console) == (["toxic-output, cards.c, " + m for m in PUBLISHED_A]
                                        + ["output-bias, cards.d, " + m for m in ("score", "accuracy", "all_scores")])
    assert "Metrics have been successfully saved and published to " + link(console.url) in capsys.readouterr().out
    assert smh_messages(smh_debug, logging.WARNING)[:2] == [
        "The risks ['toxic-output', 'output-bias'] were not stored in Varnel",
        "These risk: ['toxic-output', 'output-bias'] will be evaluated and stored in Varnel"]

    # A second run on the same evaluator asks the console only for what was missing, and finds it.
    console.requests.clear()
    again = evaluator.screen_model_hazards()
    assert sorted(again) == ["output-bias", "toxic-output"]
    definition_queries = [r.statement for r in console.requests if "JOIN [Metric] ON PARENT([Model])" in
                          (r.statement or "")]
    assert [s.rsplit("LIKE ", 1)[1] for s in definition_queries] == ["'%toxic-output%'", "'%output-bias%'"]


def test_card_without_score_is_a_key_error_and_leaves_nothing(smh, console, token_service, library, model,
                                                              smh_debug):
    library.global_metrics["cards.c"] = {"accuracy": 0.5}
    with pytest.raises(KeyError):
        cloud_evaluator(smh, console).screen_model_hazards()
    assert FAILED_RUN + "'score'" in smh_messages(smh_debug)
    assert len(published_names(console)) == 8  # harmful-output was published before the error
    assert console.metrics_of("MOD-1") == {}


@pytest.mark.parametrize("failing_kind, message", [
    ("Metric", "Unable to create metrics object, please try again"),
    ("MetricValue", "Unable to add metric value to metric object, please try again"),
])
def test_failed_publish_rolls_back_the_runs_metric_objects(smh, console, token_service, library, model, smh_debug,
                                                           failing_kind, message):
    console.store("MOD-1", "output-bias, cards.d, score", 0.3)  # stored before: stays
    writes = []

    def fail_the_fourth(request):
        if request.method == "POST" and request.path == "/api/contents":
            if request.json().get("typeDefinitionId") == failing_kind:
                writes.append(request)
                if len(writes) == 4:
                    return Reply.of({"code": 400, "message": "rejected"}, 400)
        return None

    console.intercept = fail_the_fourth
    evaluator = cloud_evaluator(smh, console, risks=["harmful-output", "toxic-output", "output-bias"])
    with pytest.raises(Exception) as excinfo:
        evaluator.screen_model_hazards()
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert FAILED_RUN + message in smh_messages(smh_debug)
    # Every metric object listed under the run's risk dimensions is deleted, the stored risk's is not.
    assert console.metrics_of("MOD-1") == {"output-bias, cards.d, score": [0.3]}
    assert len(console.requests_to("DELETE")) == (3 if failing_kind == "Metric" else 4)
    assert all(r.path.startswith("/api/contents/") for r in console.requests_to("DELETE"))


def test_unpublishable_metric_leaves_nothing_of_the_run(smh, console, token_service, library, model, smh_debug):
    library.global_metrics["cards.c"] = dict(METRICS_A, judge="llm-as-judge")  # a text metric
    with pytest.raises(TypeError, match="^type str doesn't define __round__ method$"):
        cloud_evaluator(smh, console).screen_model_hazards()
    assert console.metrics_of("MOD-1") == {}
    assert "toxic-output, cards.c, judge" not in published_names(console)


@pytest.mark.parametrize("make, overrides, kind, message", [
    (orrin_evaluator, {"vn_orrin_apikey": "wrong"}, Exception, "Unable to connect to Varnel; error code:401"),
    (cloud_evaluator, {"vn_apikey": "wrong"}, Exception,
     "Failed to authenticate with Velora Cloud IAM: 400 Client Error: Bad Request for url: {token_url}"),
    (cloud_evaluator, {"vn_model_id": "unknown"}, Exception, "Failed to get existing metric value"),
], ids=["on-premises-refused", "cloud-refused", "unknown-model"])
def test_run_failures_are_logged_and_raised_unchanged(smh, console, token_service, library, model, smh_debug, make,
                                                      overrides, kind, message):
    message = message.format(token_url=token_service.url)
    with pytest.raises(kind) as excinfo:
        make(smh, console, **overrides).screen_model_hazards()
    assert type(excinfo.value) is kind and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-1] == FAILED_RUN + message
    assert library.evaluate_calls == [] and console.objects == {}


@pytest.mark.parametrize("reply, kind", [
    (Reply(200, b"<!DOCTYPE html><title>Maintenance</title>", "text/html"), json.JSONDecodeError),
    (Reply(200, b"{\"rows\": [", "application/json"), json.JSONDecodeError),
    (Reply(200, b""), json.JSONDecodeError),
    (Reply(close=True), ConnectionError),
])
def test_unreadable_console_answers_end_the_run_with_their_error(smh, console, token_service, library, model,
                                                                 smh_debug, reply, kind):
    console.intercept = lambda request: reply if "[MetricValue]" not in (request.statement or "") else None
    with pytest.raises(kind) as excinfo:
        cloud_evaluator(smh, console).screen_model_hazards()
    assert smh_messages(smh_debug)[-1] == FAILED_RUN + str(excinfo.value)


def test_stored_value_without_description_ends_the_run_as_unexpected(smh, console, token_service, library, model,
                                                                     smh_debug):
    console.store("MOD-1", "harmful-output, cards.a, score", 0.5)
    row = {"fields": {"field": [{"name": "TQS-MetricVal:Value", "value": 0.5}]}}
    console.intercept = lambda request: Reply.of({"rows": [row]}) if b"[MetricValue]" in request.body else None
    with pytest.raises(Exception) as excinfo:
        cloud_evaluator(smh, console).screen_model_hazards()
    message = 'Unexpected error occurred when evaluating the request: a metric value row has no "Description" field'
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-2:] == [message, FAILED_RUN + message]


def test_empty_console_url_is_a_console_run_without_iam_url(smh, library, monkeypatch, smh_debug):
    monkeypatch.delenv("VELORA_IAM_URL", raising=False)
    evaluator = smh.EvaluateFMRisk({"vn_url": "", "vn_apikey": CLOUD_APIKEY}, "granite-x", ["toxic-output"], answers)
    with pytest.raises(Exception) as excinfo:
        evaluator.screen_model_hazards()
    message = "Unable to determine IAM URL for the provided Varnel URL"
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-1] == FAILED_RUN + message
    assert library.evaluate_calls == []


@pytest.mark.parametrize("make", [cloud_evaluator, orrin_evaluator], ids=["cloud", "on-premises"])
def test_printed_links_carry_no_user_information(smh, console, token_service, library, model, capsys, make):
    url = console.url_with_user + ("" if make is cloud_evaluator else "/orrin")
    make(smh, console, risks=["toxic-output"], vn_url=url).screen_model_hazards()
    make(smh, console, risks=["toxic-output"], vn_url=url).screen_model_hazards()
    shown = link(url.replace("ops:" + URL_PASSWORD + "@", ""))
    assert capsys.readouterr().out.splitlines()[-2:] == [
        "Metrics have been successfully saved and published to " + shown,
        "Metrics have already been saved before, and are being retrieved from " + shown]


@pytest.mark.parametrize("make", [cloud_evaluator, orrin_evaluator], ids=["cloud", "on-premises"])
@pytest.mark.parametrize("asked_by", ["credential", "environment"])
@pytest.mark.parametrize("certificate", ["console", "other host"])
def test_certificate_checks_can_be_turned_on(smh, tls_files, other_host_tls_files, library, monkeypatch, make,
                                             asked_by, certificate):
    files = tls_files if certificate == "console" else other_host_tls_files
    console = FakeConsole(files)
    service = FakeTokenService(console.token)
    monkeypatch.setenv("VELORA_IAM_URL", service.url)
    try:
        console.add_model("granite-x", "MOD-1")
        overrides = {"vn_verify_tls": files[0]} if asked_by == "credential" else {}
        if asked_by == "environment":
            monkeypatch.setenv("VELORA_VARNEL_CA_BUNDLE", files[0])
        evaluator = make(smh, console, risks=["toxic-output"], **overrides)
        if certificate == "console":  # every call checked and accepted: sign-in, queries, writes
            evaluator.screen_model_hazards()
            assert len(console.metrics_of("MOD-1")) == 5
            header = evaluator.connect_to_varnel()
            smh.delete_metrics_object(console.url, "MOD-1", ["toxic-output"], header)
            assert console.metrics_of("MOD-1") == {}
        else:  # refused before anything, credentials included, was sent
            with pytest.raises(ConnectionError):
                evaluator.screen_model_hazards()
            assert console.requests == []
    finally:
        console.close()
        service.close()


def test_ctrl_c_interrupts_a_waiting_request(smh, console, token_service, library, model):
    released = threading.Event()

    def hold(request):
        if request.path.endswith("/query"):
            released.wait(20)
        return None

    console.intercept = hold
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            cloud_evaluator(smh, console).screen_model_hazards()
        # The console was still holding its answer: the request was abandoned, not waited out.
        assert not released.is_set()
    finally:
        released.set()
        timer.cancel()
