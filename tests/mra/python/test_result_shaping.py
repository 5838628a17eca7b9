"""Normalising, ordering and formatting metrics; console records back into results."""

import logging
import math

import numpy as np
import pytest

from conftest import smh_messages


def test_normalize_metrics_values_rules(smh):
    pairs = [("all_scores", [0.12345, 1.0, 2]), ("a", float("nan")), ("b", [1, 2]), ("c", 0.66666),
             ("d", 5), ("e", "text"), ("f", np.float64(0.12345)), ("g", np.float64("nan")),
             ("h", float("inf")), ("i", True), ("j", None), ("k", 2.675)]
    assert smh.normalize_metrics_values(metrics=pairs) == [
        ("all_scores", [0.123, 1.0, 2]), ("a", 0.0), ("b", 1.5), ("c", 0.667), ("d", 5), ("e", "text"),
        ("f", 0.123), ("g", 0.0), ("h", float("inf")), ("i", True), ("j", None), ("k", 2.675)]


def test_rounding_matches_the_runtime(smh):
    rng = np.random.default_rng(7)
    values = list(rng.uniform(-10, 10, 2000)) + [0.0005, 0.0015, 0.0025, 1.0005, -0.0005, 2.5e-4]
    pairs = [(f"m{i}", float(v)) for i, v in enumerate(values)]
    assert [value for _, value in smh.normalize_metrics_values(pairs)] == [round(v, 3) for v in values]


@pytest.mark.parametrize(
    "pairs, kind, message",
    [
        ([("a", [])], ZeroDivisionError, "division by zero"),
        ([("a", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([("a",)], ValueError, "not enough values to unpack (expected 2, got 1)"),
        ([5], TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_normalize_metrics_values_errors(smh, pairs, kind, message):
    with pytest.raises(kind) as raised:
        smh.normalize_metrics_values(pairs)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "entries, order",
    [
        (["x", "score", "score_name"], ["score_name", "score", "x"]),
        (["b", "a"], ["b", "a"]),
        (["x", "num_of_instances", "score"], ["score", "num_of_instances", "x"]),
    ],
)
def test_reordered_metric_dict(smh, entries, order):
    values = {name: [name] for name in entries}
    reordered = smh.reordered_metric_dict(values)
    assert list(reordered) == order
    assert all(reordered[name] is values[name] for name in entries)  # shared, not copied


def test_score_with_margin_shapes(smh):
    results = {"r": {"c": {"score": 0.8, "score_ci_low": 0.75, "score_ci_high": 0.85, "n": 3,
                           "acc": 0.5, "acc_ci_low": 0.4, "other_ci_high": 1.0,
                           "rev": 0.5, "rev_ci_low": 0.6, "rev_ci_high": 0.4,
                           "nanci": 0.5, "nanci_ci_low": float("nan"), "nanci_ci_high": 0.6,
                           "whole": 2, "whole_ci_low": 1, "whole_ci_high": True}},
               "empty": {}}
    before = repr(results)
    shaped = smh.calculate_score_with_margin(results)
    assert shaped == {"r": {"c": {"score": "0.800 +/-  0.050", "n": 3, "acc": 0.5, "rev": "0.500 +/-  -0.100",
                                  "nanci": "0.500 +/-  nan", "whole": "2.000 +/-  0.000"}},
                      "empty": {}}
    assert repr(results) == before


@pytest.mark.parametrize(
    "metrics, kind, message",
    [
        ({"score": 0.8, "score_ci_low": "0.7", "score_ci_high": 0.9}, ValueError,
         "Invalid confidence interval values for metric score: ci_low=0.7, ci_high=0.9"),
        ({"score": "high", "score_ci_low": 0.7, "score_ci_high": 0.9}, ValueError,
         "Unknown format code 'f' for object of type 'str'"),
        ({"score": [1], "score_ci_low": 0.7, "score_ci_high": 0.9}, TypeError,
         "unsupported format string passed to list.__format__"),
    ],
)
def test_score_with_margin_errors_are_logged_then_raised(smh, smh_debug, metrics, kind, message):
    with pytest.raises(kind) as raised:
        smh.calculate_score_with_margin({"r": {"c": metrics}})
    assert str(raised.value) == message
    assert smh_messages(smh_debug, logging.DEBUG) == [
        "Error occurred while calculating the score with margins " + message]


def test_score_with_margin_rejects_cards_that_are_not_dictionaries(smh):
    with pytest.raises(ValueError, match=r"^Metrics for cards\.x must be a dictionary\.$"):
        smh.calculate_score_with_margin({"r": {"cards.x": [1]}})


def test_normalize_varnel_data(smh):
    records = {"toxic-output": {"toxic-output,  cards.a , 'score'": "0.8 +/-  0.1",
                                "x, cards.a, 'acc'": 0.5,
                                "x, cards.b, score": 1.0,
                                "x, cards.a, score": "later"},
               "empty": {}}
    assert smh.normalize_varnel_data(records) == {
        "toxic-output": {"cards.a": {"score": "later", "acc": 0.5}, "cards.b": {"score": 1.0}}, "empty": {}}


@pytest.mark.parametrize("key, message", [
    ("a, b", "not enough values to unpack (expected 3, got 2)"),
    ("a, b, c, d", "too many values to unpack (expected 3)"),
])
def test_normalize_varnel_data_needs_three_parts(smh, key, message):
    with pytest.raises(ValueError) as raised:
        smh.normalize_varnel_data({"r": {key: 1}})
    assert str(raised.value) == message


def test_executive_summary(smh):
    results = {"r": {"a": {"score": "0.812 +/-  0.015", "n": 3}, "b": {"score": 7, "x": 1}}, "s": {}}
    summary = smh.get_executive_summary(results)
    assert summary == {"r": {"a": {"score": 0.812}, "b": {"score": 7}}, "s": {}}
    assert isinstance(summary["r"]["a"]["score"], float)


@pytest.mark.parametrize(
    "data, kind, message",
    [
        ([], TypeError, "Input data must be a dictionary."),
        ({"r": [1], "s": 1}, TypeError, "Risk card 'r' must be a dictionary."),
        ({"r": {"c": 1}}, TypeError, "Card 'c' must be a dictionary."),
        ({"r": {"c": {"n": 1}}}, ValueError, "Card 'c' must have 'score' keys."),
        ({"r": {"c": {"score": "0.8±0.1"}}}, ValueError, "could not convert string to float: '0.8±0.1'"),
    ],
)
def test_executive_summary_errors(smh, data, kind, message):
    with pytest.raises(kind) as raised:
        smh.get_executive_summary(data)
    assert str(raised.value) == message


def test_score_string_reads_back(smh):
    from velora_metrics_plugin.mra.report_forge import extract_numeric_value

    shaped = smh.calculate_score_with_margin({"r": {"c": {"score": -1.23456, "score_ci_low": 0, "score_ci_high": 1}}})
    text = shaped["r"]["c"]["score"]
    assert text == "-1.235 +/-  0.500" and text[6:12] == " +/-  "
    assert math.isclose(extract_numeric_value(text), -1.235)
