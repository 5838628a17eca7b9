"""Console queries: the model id, the metric definitions and the stored values; request forms,
statements (with quotes escaped), answer walking and messages."""

import json

import pytest

from conftest import smh_messages
from fake_console import no_secret_in_logs, CONSOLE_TOKEN, SECRETS, Reply, console, tls_files  # noqa: F401

HEADER = {"Content-Type": "application/json", "Accept": "application/json", "Authorization": "Bearer " + CONSOLE_TOKEN}
NO_BEARER = dict(HEADER, Authorization="Token " + CONSOLE_TOKEN)

MODEL_GET = "SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('{}')"
MODEL_POST = "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('{}')"
DEFINITIONS_GET = ("SELECT [Metric].[Resource ID] FROM [Model] JOIN [Metric] ON PARENT([Model]) "
                   "WHERE [Model].[Resource ID]='{}' AND [Metric].[Description] LIKE '%{}%'")
DEFINITIONS_POST = ("SELECT [Metric].[Resource ID], [Metric].[Name], [Metric].[Description] FROM [Model] "
                    "JOIN [Metric] ON PARENT([Model]) WHERE [Model].[Resource ID]='{}' "
                    "AND [Metric].[Description] LIKE '%{}%'")
VALUES = ("SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) "
          "WHERE [Metric].[Resource ID]='{}'")


@pytest.fixture
def stored(console):
    console.add_model("granite-x", "MOD-1")
    console.add_model("O'Brien's model", "MOD-2")
    a = console.store("MOD-1", "harmful-output, cards.a, score", 0.8)
    b = console.store("MOD-1", "harmful-output, cards.a, n", 3)
    c = console.store("MOD-1", "toxic-output, cards.c, score", 0.25)
    return a.id, b.id, c.id


def assert_form(request, method, path, statement, header=HEADER):
    assert (request.method, request.path) == (method, path)
    for name, value in header.items():
        assert request.header(name) == value
    if method == "GET":
        assert request.statement == statement
        assert " " not in request.query and "'" not in request.query  # everything that needs it travels encoded
        assert request.body == b""
    else:
        assert list(request.json().items()) == [("statement", statement), ("skipCount", 0)]
        assert b'"skipCount":0' in request.body  # a JSON number


# --- model id ---------------------------------------------------------------------------------

def test_model_id_by_post_for_a_cloud_console(smh, console, stored, smh_debug):
    assert smh.get_vn_model_id(HEADER, "granite-x", console.url + "/") == "MOD-1"
    [request] = console.requests
    assert_form(request, "POST", "/vngrc/api/v2/query", MODEL_POST.format("granite-x"))
    assert smh_messages(smh_debug) == ["Getting  model id, model_name from Varnel: granite-x",
                                       "Successfully fetched model id:MOD-1"]


@pytest.mark.parametrize("suffix", ["/orrin", "/ORRIN///"])  # the model lookup lower-cases the URL
def test_model_id_by_get_for_an_on_premises_console(smh, console, stored, suffix):
    assert smh.get_vn_model_id(HEADER, "granite-x", console.url + suffix) == "MOD-1"
    assert_form(console.requests[0], "GET", suffix.rstrip("/") + "/api/query", MODEL_GET.format("granite-x"))


@pytest.mark.parametrize("url_suffix, template", [("", MODEL_POST), ("/orrin", MODEL_GET)])
def test_quote_in_model_name_is_doubled_and_found(smh, console, stored, url_suffix, template):
    assert smh.get_vn_model_id(HEADER, "O'Brien's model", console.url + url_suffix) == "MOD-2"
    assert console.requests[0].statement == template.format("O''Brien''s model")


@pytest.mark.parametrize("url_suffix, message", [("", "Failed to get existing metric value"),
                                                 ("/orrin", "Model ID not found, check model name")])
def test_injected_statement_stays_a_literal(smh, console, stored, url_suffix, message):
    with pytest.raises(Exception, match="^" + message + "$"):
        smh.get_vn_model_id(HEADER, "x') OR ('1'='1", console.url + url_suffix)


@pytest.mark.parametrize("url_suffix, answer, message", [
    # POST form: no rows means no id; a null answer means the model is not found.
    ("", {"rows": []}, "Failed to get existing metric value"),
    ("", {"rows": [{"fields": None}]}, "Failed to get existing metric value"),
    ("", {"rows": [{"fields": [{"name": "Resource ID"}]}]}, "Failed to get existing metric value"),
    ("", None, "Model ID not found, check model name"),
    ("", {"rows": [{"fields": []}]}, "Failed to get existing metric value"),  # no first field to read
    # GET form: the other way round.
    ("/orrin", {"rows": []}, "Model ID not found, check model name"),
    ("/orrin", {}, "Model ID not found, check model name"),
    ("/orrin", None, "Failed to get existing metric value"),
    ("/orrin", {"rows": [{"fields": {"field": []}}]}, "Failed to get existing metric value"),
])
def test_model_id_not_found(smh, console, smh_debug, url_suffix, answer, message):
    console.intercept = lambda request: Reply.of(answer)
    with pytest.raises(Exception) as excinfo:
        smh.get_vn_model_id(HEADER, "granite-x", console.url + url_suffix)
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-1] == message


def test_model_id_get_form_field_without_value_is_a_key_error(smh, console):
    console.intercept = lambda request: Reply.of({"rows": [{"fields": {"field": [{"name": "Resource ID"}]}}]})
    with pytest.raises(KeyError, match="value"):
        smh.get_vn_model_id(HEADER, "granite-x", console.orrin_url)


def test_model_id_is_passed_back_as_received(smh, console):
    console.intercept = lambda request: Reply.of({"rows": [{"fields": [{"value": 4711}]}]})
    assert smh.get_vn_model_id(HEADER, "granite-x", console.url) == 4711


@pytest.mark.parametrize("reply, kind", [
    (Reply(200, b"<html><body>Service Unavailable</body></html>", "text/html"), json.JSONDecodeError),
    (Reply(502, b"Bad Gateway", "text/plain"), json.JSONDecodeError),
    (Reply(200, b""), json.JSONDecodeError),
    (Reply(close=True), ConnectionError),
    # nested deeper than any answer: refused, not walked
    (Reply(200, b'{"rows": [{"fields": [{"value": ' + b"[" * 200_000 + b"]" * 200_000 + b"}]}]}"),
     json.JSONDecodeError),
])
def test_unreadable_answers_raise_decode_or_transport_errors(smh, console, reply, kind):
    console.intercept = lambda request: reply
    with pytest.raises(kind):
        smh.get_vn_model_id(HEADER, "granite-x", console.url)


# --- metric definitions ------------------------------------------------------------------------

def test_definitions_take_the_get_form_with_a_bearer_header(smh, console, stored, smh_debug):
    a, b, c = stored
    assert smh.get_vn_model_metrics_definitions(HEADER, "MOD-1", ["harmful-output", "toxic-output"], console.url) == {
        "harmful-output": [{"metric_id": a}, {"metric_id": b}], "toxic-output": [{"metric_id": c}]}
    assert_form(console.requests[0], "GET", "/api/query", DEFINITIONS_GET.format("MOD-1", "harmful-output"))
    assert_form(console.requests[1], "GET", "/api/query", DEFINITIONS_GET.format("MOD-1", "toxic-output"))
    assert "%25harmful-output%25" in console.requests[0].query  # the LIKE wildcards travel encoded
    assert smh_messages(smh_debug) == ["Getting Varnel model metrics definitions, model_id: MOD-1",
                                       "Completed fetching model metrics definitions",
                                       "Completed fetching model metrics definitions"]


def test_header_may_be_any_mapping(smh, console, stored):
    from types import MappingProxyType

    assert smh.get_vn_model_id(MappingProxyType(HEADER), "granite-x", console.url) == "MOD-1"
    with pytest.raises(TypeError, match="^header must be a dictionary, not NoneType$"):
        smh.get_vn_model_id(None, "granite-x", console.url)


def test_definitions_take_the_post_form_without_bearer(smh, console, stored):
    console.token = "irrelevant"
    console.intercept = lambda request: Reply.of({"rows": []})
    smh.get_vn_model_metrics_definitions(NO_BEARER, "MOD-1", ["harmful-output"], console.url)
    assert_form(console.requests[0], "POST", "/grc/api/query", DEFINITIONS_POST.format("MOD-1", "harmful-output"),
                NO_BEARER)


def test_risk_without_rows_has_no_key_and_quotes_are_escaped(smh, console, stored):
    assert smh.get_vn_model_metrics_definitions(HEADER, "MOD-1", ["output-bias", "it's"], console.url) == {}
    assert console.requests[1].statement == DEFINITIONS_GET.format("MOD-1", "it''s")


@pytest.mark.parametrize("rows, expected", [
    ([{"fields": None}, {"fields": {"field": None}}, {}], []),  # rows without fields: key present, list empty
    ([{"fields": {"field": [{"name": "Name", "value": "x"}]}}], [{"metric_id": None}]),
    ([{"fields": {"field": [{"name": "Resource ID", "value": 1}, {"name": "Resource ID", "value": 2}]}}],
     [{"metric_id": 2}]),  # the last one wins
])
def test_definition_rows(smh, console, rows, expected):
    console.intercept = lambda request: Reply.of({"rows": rows})
    assert smh.get_vn_model_metrics_definitions(HEADER, "MOD-1", ["toxic-output"], console.url) == {
        "toxic-output": expected}


def test_definitions_null_answer(smh, console, smh_debug):
    console.intercept = lambda request: Reply(200, b"null")
    with pytest.raises(Exception, match="^Unable to get model metrics definitions from Varnel$"):
        smh.get_vn_model_metrics_definitions(HEADER, "MOD-1", ["toxic-output"], console.url)
    assert smh_messages(smh_debug)[-1] == "Unable to get model metrics definitions from Varnel"


@pytest.mark.parametrize("answer, detail", [
    ({"rows": 7}, "'int' object is not iterable as a list"),
    ({"rows": ["row"]}, "'str' object has no attribute 'get'"),
    ([1, 2], "'list' object has no attribute 'get'"),
])
def test_definitions_of_a_wrong_shape_fail_in_the_guard(smh, console, smh_debug, answer, detail):
    console.intercept = lambda request: Reply.of(answer)
    message = "Failed to fetch model metrics definitions from Varnel " + detail
    with pytest.raises(Exception) as excinfo:
        smh.get_vn_model_metrics_definitions(HEADER, "MOD-1", ["toxic-output"], console.url)
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-1] == message


# --- stored values ------------------------------------------------------------------------------

@pytest.mark.parametrize("suffix, method, path", [("", "POST", "/grc/api/query"),
                                                  ("/orrin", "GET", "/orrin/api/query"),
                                                  ("/ORRIN", "POST", "/ORRIN/grc/api/query")])  # case-sensitive here
def test_stored_values_form_and_result(smh, console, stored, suffix, method, path, smh_debug):
    a, b, c = stored
    metrics = {"harmful-output": [{"metric_id": a}, {"metric_id": b}], "toxic-output": [{"metric_id": c}]}
    values = smh.return_existing_metric_value(metrics, HEADER, vn_url=console.url + suffix)
    # The name is what follows the description's first apostrophe (closing quote included).
    assert values == {"harmful-output": {"harmful-output, cards.a, score'": 0.8, "harmful-output, cards.a, n'": 3},
                      "toxic-output": {"toxic-output, cards.c, score'": 0.25}}
    assert_form(console.requests[0], method, path, VALUES.format(a))
    assert [r.statement for r in console.requests] == [VALUES.format(i) for i in (a, b, c)]
    assert smh_messages(smh_debug)[0] == "Metrics object is found; Fetching values."
    # and the results shaping reads them back as a results dictionary
    assert smh.normalize_varnel_data(values)["harmful-output"] == {"cards.a": {"score": 0.8, "n": 3}}


def test_value_rows_carry_name_and_value_over(smh, console):
    rows = [{"fields": {"field": [{"name": "Description", "value": "MRA score for 'r, c, m'"},
                                  {"name": "TQS-MetricVal:Value", "value": 1}]}},
            {"fields": {"field": [{"name": "TQS-MetricVal:Value", "value": 2}]}},
            {"fields": {"field": [{"name": "Description", "value": "no apostrophe"}]}}]
    console.intercept = lambda request: Reply.of({"rows": rows})
    assert smh.return_existing_metric_value({"r": [{"metric_id": 1}]}, HEADER, vn_url=console.url) == {
        "r": {"r, c, m'": 2, "no apostrophe": 2}}


def test_value_row_before_any_description_is_stored_under_none(smh, console):
    rows = [{"fields": {"field": [{"name": "TQS-MetricVal:Value", "value": 1}]}},
            {"fields": {"field": [{"name": "Description", "value": "MRA score for 'r, c, m'"},
                                  {"name": "TQS-MetricVal:Value", "value": 2}]}}]
    console.intercept = lambda request: Reply.of({"rows": rows})
    assert smh.return_existing_metric_value({"r": [{"metric_id": 1}]}, HEADER, vn_url=console.url) == {
        "r": {None: 1, "r, c, m'": 2}}


def test_metric_without_rows_is_skipped_but_its_risk_stays(smh, console):
    console.intercept = lambda request: Reply.of({"rows": None})
    assert smh.return_existing_metric_value({"r": [{"metric_id": 1}], "s": []}, HEADER, vn_url=console.url) == {
        "r": {}, "s": {}}


def test_empty_metrics_map_fails(smh, console, smh_debug):
    with pytest.raises(Exception, match="^Unable to get model metrics definitions from varnel$"):
        smh.return_existing_metric_value({}, HEADER, vn_url=console.url)
    assert console.requests == []
    assert smh_messages(smh_debug)[-1] == "Unable to get model metrics definitions from varnel"


def test_values_null_answer(smh, console):
    console.intercept = lambda request: Reply(200, b"null")
    with pytest.raises(Exception, match="^Unable to get model metrics from Varnel$"):
        smh.return_existing_metric_value({"r": [{"metric_id": 1}]}, HEADER, vn_url=console.url)


@pytest.mark.parametrize("rows, detail", [
    ([{"no": "fields"}], "'fields'"),
    ([{"fields": None}], "'NoneType' object is not subscriptable"),
    ([{"fields": {"field": [{"name": "Description", "value": 5}]}}], "'int' object has no attribute 'split'"),
])
def test_values_of_a_wrong_shape_fail_in_the_guard(smh, console, smh_debug, rows, detail):
    console.intercept = lambda request: Reply.of({"rows": rows})
    message = "Unexpected error occurred when evaluating the request: " + detail
    with pytest.raises(Exception) as excinfo:
        smh.return_existing_metric_value({"r": [{"metric_id": 1}]}, HEADER, vn_url=console.url)
    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert smh_messages(smh_debug)[-1] == message


@pytest.mark.parametrize("url", ["file:///etc/hostname", "ftp://127.0.0.1:1/x", "127.0.0.1:1"])
def test_console_url_must_be_http_or_https(smh, console, url):
    evaluator = smh.EvaluateFMRisk({"vn_url": url}, "model", ["toxic-output"], lambda table: table)
    for call in (lambda: smh.get_vn_model_id(HEADER, "granite-x", url),
                 lambda: smh.create_metrics_object({"a": 1}, url, HEADER),
                 lambda: smh.delete_metrics_object(url, "MOD-1", ["toxic-output"], HEADER),
                 evaluator.connect_to_varnel):
        with pytest.raises(ValueError, match="^vn_url must be an http:// or https:// URL$"):
            call()
