"""Metric publishing: payloads, the two writes, the roll-back, and the published value."""

import logging
import math
import socket

import pytest

from conftest import smh_messages
from fake_console import no_secret_in_logs, CONSOLE_TOKEN, SECRETS, Reply, console, tls_files  # noqa: F401

HEADER = {"Content-Type": "application/json", "Accept": "application/json", "Authorization": "Bearer " + CONSOLE_TOKEN}
NO_BEARER = dict(HEADER, Authorization="Token " + CONSOLE_TOKEN)

OBJECT_PAYLOAD = {
    "name": "toxic-output, cards.c, score",
    "description": "MRA score for 'toxic-output, cards.c, score'",
    "typeDefinitionId": "Metric",
    "primaryParentId": "MOD-1",
    "fields": {"field": [
        {"name": "TQS-Metric:Data Source", "dataType": "STRING_TYPE", "value": "nimbra.governance"},
        {"name": "TQS-Metric:Frequency", "dataType": "ENUM_TYPE", "enumValue": {"name": "Multiple times a day"}},
    ]},
}
VALUE_PAYLOAD = {
    "typeDefinitionId": "MetricValue",
    "primaryParentId": "5001",
    "description": "MRA score for 'toxic-output, cards.c, score'",
    "fields": {"field": [
        {"name": "TQS-Metric-Shared:Breach Status", "dataType": "ENUM_TYPE", "enumValue": {"name": "Green"}},
        {"name": "TQS-Metric-Shared:Red Threshold", "dataType": "FLOAT_TYPE", "value": 0.5},
        {"name": "TQS-MetricVal:Value", "dataType": "FLOAT_TYPE", "value": 0.25},
    ]},
}


def order(value):
    """Member order, all the way down."""
    if isinstance(value, dict):
        return [(k, order(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [order(v) for v in value]
    return value


@pytest.fixture
def evaluator(smh, catalogue, no_judge_env):
    catalogue({"harmful-output": ["cards.a"], "toxic-output": ["cards.c"], "output-bias": ["cards.d"]})
    return smh.EvaluateFMRisk({}, "model", ["toxic-output", "harmful-output"], lambda table: table)


@pytest.fixture
def model(console):
    console.add_model("granite-x", "MOD-1")
    return "MOD-1"


def publish(evaluator, console, name, value, header=HEADER):
    return evaluator.publish_metrics_to_varnel(metric_name=name, metric_value=value, header=header,
                                               model_id="MOD-1", vn_url=console.url)


def writes(console):
    return [r for r in console.requests if r.method == "POST" and "/contents" in r.path]


def test_payload_builders_keep_the_consoles_member_order(smh):
    assert order(smh.get_metric_object_payload("MOD-1", "toxic-output, cards.c, score")) == order(OBJECT_PAYLOAD)
    assert order(smh.get_metric_value_payload("5001", "toxic-output, cards.c, score", 0.25)) == order(VALUE_PAYLOAD)


def test_payload_ids_are_kept_as_given(smh):
    assert smh.get_metric_object_payload(42, "m")["primaryParentId"] == 42
    assert smh.get_metric_value_payload(7, "m", 1)["primaryParentId"] == 7


def test_publish_writes_object_then_value(evaluator, console, model, smh_debug):
    assert publish(evaluator, console, "toxic-output, cards.c, score", [0.1, 0.2, 0.3, 0.4]) is True
    create, add = writes(console)
    assert (create.method, create.path, add.path) == ("POST", "/api/contents", "/api/contents")
    assert order(create.json()) == order(OBJECT_PAYLOAD)
    assert order(add.json()) == order(VALUE_PAYLOAD)
    assert b'"value":0.5}' in add.body and b'"value":0.25}' in add.body  # numbers, not text
    for request in (create, add):
        assert [request.header(k) for k in HEADER] == list(HEADER.values())
    assert console.metrics_of("MOD-1") == {"toxic-output, cards.c, score": [0.25]}
    assert smh_messages(smh_debug) == [
        "toxic-output, cards.c, score:Creating metric object",
        "toxic-output, cards.c, score: Metric Object ID: 5001, Metric Value Object ID: 5002\n"]


@pytest.mark.parametrize("value, published", [
    ([0.1, 0.2, 0.3, 0.4], 0.25), (0.123456, 0.1235), (0.00015, 0.0001), (2.5e-05, 0.0),
    (-0.33335, -0.3333), ([1, 2], 1.5), (3, 3), (True, 1), ([0.12345], 0.1235), (float("-0.0"), -0.0),
])
def test_published_value_is_the_mean_rounded_to_four_decimals(evaluator, console, model, value, published):
    publish(evaluator, console, "toxic-output, cards.c, m", value)
    sent = writes(console)[1].json()["fields"]["field"][2]["value"]
    assert sent == published and type(sent) is type(published)
    assert sent == round(sum(value) / len(value) if isinstance(value, list) else value, 4)


@pytest.mark.parametrize("value, kind, message", [
    ([], TypeError, "type list doesn't define __round__ method"),
    ("0.5", TypeError, "type str doesn't define __round__ method"),
    (None, TypeError, "type NoneType doesn't define __round__ method"),
    (["a", "b"], TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    ((0.1, 0.2), TypeError, "type tuple doesn't define __round__ method"),
    (float("nan"), ValueError, "metric value nan is not a finite number"),
    ([1.0, math.inf], ValueError, "metric value inf is not a finite number"),
])
def test_value_that_cannot_be_published_leaves_nothing_behind(evaluator, console, model, smh_debug, value, kind,
                                                              message):
    publish(evaluator, console, "toxic-output, cards.c, score", 0.8)
    publish(evaluator, console, "harmful-output, cards.a, score", 0.7)
    console.store("MOD-1", "output-bias, cards.d, score", 0.1)  # a risk this run does not publish
    console.requests.clear()
    with pytest.raises(kind) as excinfo:
        publish(evaluator, console, "toxic-output, cards.c, bad", value)
    assert str(excinfo.value) == message
    assert writes(console) == []  # found out before anything was written
    assert [r.path for r in console.requests_to("DELETE")] == ["/api/contents/5001", "/api/contents/5003"]
    assert console.metrics_of("MOD-1") == {"output-bias, cards.d, score": [0.1]}
    assert smh_messages(smh_debug)[-1] == "all metrics object got deleted"


@pytest.mark.parametrize("reply", [
    Reply.of({"code": 400, "message": "invalid payload"}, 400),  # an error object without "id"
    Reply(500, b"<html>down</html>", "text/html"),
    Reply(close=True),
    Reply.of({"id": None}, 201),
])
def test_failed_create_rolls_back_and_fails(evaluator, console, model, smh_debug, reply):
    publish(evaluator, console, "harmful-output, cards.a, score", 0.7)
    console.intercept = lambda request: reply if request.method == "POST" and request.path == "/api/contents" else None
    with pytest.raises(Exception) as excinfo:
        publish(evaluator, console, "toxic-output, cards.c, score", 0.8)
    assert type(excinfo.value) is Exception
    assert str(excinfo.value) == "Unable to create metrics object, please try again"
    assert [r.path for r in console.requests_to("DELETE")] == ["/api/contents/5001"]
    assert console.metrics_of("MOD-1") == {}
    messages = smh_messages(smh_debug)
    assert messages[messages.index("Unable to create metrics object, all metrics will be deleted "):][-1] == (
        "all metrics object got deleted")
    [warning] = smh_messages(smh_debug, logging.WARNING)  # a failed publish is seen at the default level too
    assert warning.startswith("toxic-output, cards.c, score: Unable to create metrics object (")
    assert warning.endswith("); deleting the metric objects of the run")


def test_failed_value_add_rolls_back_the_new_object_too(evaluator, console, model, smh_debug):
    publish(evaluator, console, "harmful-output, cards.a, score", 0.7)

    def refuse_values(request):
        if request.method == "POST" and b'"typeDefinitionId":"MetricValue"' in request.body:
            return Reply(200, b"not json")
        return None

    console.intercept = refuse_values
    with pytest.raises(Exception, match="^Unable to add metric value to metric object, please try again$"):
        publish(evaluator, console, "toxic-output, cards.c, score", 0.8)
    # in the order of the evaluator's risk dimensions: toxic-output, then harmful-output
    assert [r.path for r in console.requests_to("DELETE")] == ["/api/contents/5003", "/api/contents/5001"]
    assert console.metrics_of("MOD-1") == {}
    assert "Unable to add metric value to metric object, all metrics will be deleted " in smh_messages(smh_debug)


def test_writers_return_the_id_or_none(smh, console, model):
    payload = smh.get_metric_object_payload("MOD-1", "toxic-output, cards.c, score")
    assert smh.create_metrics_object(payload, console.url, HEADER) == "5001"
    assert smh.add_metric_value_to_metric_object(smh.get_metric_value_payload("5001", "x", 1.0), console.url,
                                                 HEADER) == "5002"
    assert smh.create_metrics_object(smh.get_metric_object_payload("NO-SUCH-MODEL", "x"), console.url, HEADER) is None
    assert smh.add_metric_value_to_metric_object({"typeDefinitionId": "MetricValue", "value": object()},
                                                 console.url, HEADER) is None  # cannot even be sent
    console.intercept = lambda request: Reply.of({"id": 99})
    assert smh.create_metrics_object(payload, console.url, HEADER) == 99  # as received


def test_writer_without_bearer_posts_to_the_grc_endpoint(smh, console, model):
    smh.create_metrics_object({"a": 1}, console.url, NO_BEARER)
    assert console.requests[0].path == "/grc/api/contents"


def test_writer_against_a_closed_port_returns_none(smh):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    assert smh.create_metrics_object({"a": 1}, f"https://127.0.0.1:{port}", HEADER) is None


def test_delete_lists_then_deletes_every_metric_object(smh, console, model, smh_debug):
    for name in ("toxic-output, c, score", "toxic-output, c, n", "harmful-output, a, score", "output-bias, d, s"):
        console.store("MOD-1", name, 1)
    smh.delete_metrics_object(console.url, "MOD-1", ["toxic-output", "harmful-output"], HEADER)
    assert [(r.method, r.path) for r in console.requests_to("DELETE")] == [
        ("DELETE", "/api/contents/5001"), ("DELETE", "/api/contents/5003"), ("DELETE", "/api/contents/5005")]
    assert list(console.metrics_of("MOD-1")) == ["output-bias, d, s"]
    assert smh_messages(smh_debug)[-1] == "all metrics object got deleted"


def test_delete_of_a_metric_id_that_is_no_integer_names_it_and_deletes_the_others(smh, console, smh_debug):
    console.intercept = lambda request: Reply.of({"rows": [
        {"fields": {"field": [{"name": "Resource ID", "value": "MET-1"}]}},
        {"fields": {"field": [{"name": "Resource ID", "value": "77"}]}}]}) if request.method == "GET" else None
    with pytest.raises(Exception) as excinfo:
        smh.delete_metrics_object(console.url, "MOD-1", ["toxic-output"], HEADER)
    assert str(excinfo.value) == "Roll-back incomplete: metric objects left on the console (remove them by hand): MET-1"
    assert [r.path for r in console.requests_to("DELETE")] == ["/api/contents/77"]
    assert "Metric object MET-1 could not be deleted: invalid literal for int() with base 10: 'MET-1'" in (
        smh_messages(smh_debug, logging.WARNING))


def refuse(requests, method, path, reply, times):
    """An intercept that gives `reply` to the first `times` requests of that method and path."""
    def intercept(request):
        if request.method == method and request.path == path:
            requests.append(request)
            if len(requests) <= times:
                return reply
        return None

    return intercept


@pytest.mark.parametrize("reply, times, attempts", [
    (Reply.of({"code": 503}, 503), 1, 2),       # transient, then deleted
    (Reply.of({"code": 500}, 500), 99, 4),      # never deleted: tried four times, then named
    (Reply.of({"code": 403}, 403), 99, 1),      # not transient: named at once
])
def test_roll_back_retries_transient_delete_failures_and_names_what_is_left(evaluator, console, model, smh_debug,
                                                                          reply, times, attempts):
    publish(evaluator, console, "harmful-output, cards.a, score", 0.7)  # 5001
    publish(evaluator, console, "toxic-output, cards.c, score", 0.8)  # 5003
    deletes, refused_create = [], Reply.of({"code": 400}, 400)
    refuse_delete = refuse(deletes, "DELETE", "/api/contents/5001", reply, times)
    console.intercept = lambda request: (refused_create if request.method == "POST" and "/contents" in request.path
                                         else refuse_delete(request))
    with pytest.raises(Exception) as excinfo:
        publish(evaluator, console, "toxic-output, cards.c, n", 3)
    assert len(deletes) == attempts
    assert "/api/contents/5003" in [r.path for r in console.requests_to("DELETE")]  # the others go on
    left = list(console.metrics_of("MOD-1"))
    assert left == ([] if times < len(deletes) else ["harmful-output, cards.a, score"])
    message = "Unable to create metrics object, please try again"
    if left:
        message += "; roll-back incomplete: metric objects left on the console (remove them by hand): 5001"
        assert message in smh_messages(smh_debug, logging.WARNING)
    else:
        assert smh_messages(smh_debug)[-1] == "all metrics object got deleted"
    assert type(excinfo.value) is Exception and str(excinfo.value) == message


def test_unreadable_listing_still_deletes_what_the_publish_created(evaluator, console, model, smh_debug):
    def spoil(request):
        if "LIKE '%toxic-output%'" in (request.statement or ""):
            return Reply(200, b"<html>maintenance</html>", "text/html")
        if b'"typeDefinitionId":"MetricValue"' in request.body:
            return Reply.of({"code": 400}, 400)
        return None

    console.intercept = spoil
    with pytest.raises(Exception) as excinfo:
        publish(evaluator, console, "toxic-output, cards.c, score", 0.8)
    assert str(excinfo.value) == (
        "Unable to add metric value to metric object, please try again; roll-back incomplete: the metric objects of "
        "'toxic-output' (Expecting value: line 1 column 1 (char 0)) could not be listed, more of them may be left "
        "on the console; no metric object known to this run is left")
    assert [r.path for r in console.requests_to("DELETE")] == ["/api/contents/5001"]
    assert console.metrics_of("MOD-1") == {}
