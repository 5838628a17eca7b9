"""The offline run: risk dimensions, cards, failures, and what reaches the caller."""

import logging
import sys
import types

import pandas as pd
import pytest

from conftest import smh_messages

METRICS_A = {"refusal_rate": 0.8, "refusal_rate_ci_low": 0.7, "refusal_rate_ci_high": 0.9,
             "score": 0.8, "score_name": "refusal_rate", "score_ci_low": 0.7, "score_ci_high": 0.9,
             "num_of_instances": 3}
METRICS_B = {"accuracy": 0.66666, "score": 0.66666, "score_name": "accuracy", "num_of_instances": 2,
             "all_scores": [1.0, 0.33333]}


def echo_answers(table):
    return pd.DataFrame({"generated_text": ["answer to " + p for p in table.iloc[:, 0]]})


@pytest.fixture
def two_risks(catalogue, fake_corvex):
    catalogue({
        "harmful-output": ["cards.a", "cards.safety.simple_safety_tests", "cards.b"],
        "toxic-output": ["cards.c"],
        "hallucination": ["cards.pop_qa"],
        "output-bias": [],
    })
    fake_corvex.datasets.update({
        "cards.a": [{"source": "p1"}, {"source": "p2"}, {"source": "p3"}],
        "cards.b": [{"source": "q1"}, {"source": "q2"}],
        "cards.c": [{"source": "r1"}],
    })
    fake_corvex.global_metrics.update({"cards.a": METRICS_A, "cards.b": METRICS_B, "cards.c": METRICS_A})
    return fake_corvex


def make_evaluator(smh, risks, scoring_function=echo_answers, **kwargs):
    return smh.EvaluateFMRisk({}, "model", risks, scoring_function, **kwargs)


def test_available_risks_keep_catalogue_order_and_drop_empty_risks(smh, two_risks):
    assert smh.get_available_risks() == ["harmful-output", "toxic-output", "hallucination"]


def test_offline_run_returns_margin_scores_in_order(smh, no_judge_env, two_risks, capsys):
    evaluator = make_evaluator(smh, ["toxic-output", "harmful-output"])
    results = evaluator.screen_model_hazards()
    assert list(results) == ["toxic-output", "harmful-output"]
    assert list(results["harmful-output"]) == ["cards.a", "cards.b"]  # excluded card skipped
    card_a = results["harmful-output"]["cards.a"]
    assert list(card_a) == ["score_name", "score", "num_of_instances", "refusal_rate"]
    assert card_a["score"] == "0.800 +/-  0.100"
    assert card_a["refusal_rate"] == "0.800 +/-  0.100"
    assert results["harmful-output"]["cards.b"] == {
        "score_name": "accuracy", "score": 0.667, "num_of_instances": 2, "accuracy": 0.667,
        "all_scores": [1.0, 0.333]}
    assert capsys.readouterr().out == "Processing toxic-output\nProcessing harmful-output\n"
    # Prompts reach the scoring function in test-set order, answers reach the library in the same order.
    assert two_risks.evaluate_calls[1] == ("cards.a", ["answer to p1", "answer to p2", "answer to p3"])


def test_max_sample_size_reaches_the_library(smh, no_judge_env, two_risks):
    make_evaluator(smh, ["toxic-output"], max_sample_size=2).risks_evaluation()
    assert two_risks.load_calls == [((), {"card": "cards.c", "max_test_instances": 2, "split": "test"})]


def test_risk_with_only_excluded_cards_returns_two_empty_values(smh, no_judge_env, two_risks):
    calls = []
    evaluator = make_evaluator(smh, ["hallucination"], lambda t: calls.append(t))
    assert evaluator.process_models_and_risks(evaluator.scoring_function, "hallucination") == ({}, [])
    assert calls == []


def test_risk_without_cards_warns(smh, no_judge_env, two_risks, smh_debug):
    evaluator = make_evaluator(smh, ["toxic-output"])
    assert evaluator.process_models_and_risks(echo_answers, "output-bias") == ({}, [])
    assert "No Cards found for risk output-bias" in smh_messages(smh_debug, logging.WARNING)


def test_unknown_risk_name_is_a_key_error(smh, no_judge_env, two_risks):
    evaluator = make_evaluator(smh, ["toxic-output"])
    with pytest.raises(KeyError):
        evaluator.process_models_and_risks(echo_answers, "no-such-risk")


@pytest.mark.parametrize(
    "setup, expected_warning",
    [
        # A test set without instances.
        (lambda lib: lib.datasets.update({"cards.b": []}),
         "Error processing card cards.b in risk dimension harmful-output: Error:"
         "No valid input prompts found for card cards.b;  cause:None"),
        # The library fails with a runtime error (an LLM judge, typically); the cause is named.
        (lambda lib: lib.errors.update({"cards.b": _chained(RuntimeError("judge down"), OSError("refused"))}),
         "Error processing card cards.b in risk dimension harmful-output: Error: judge down; cause:refused"
         " This benchmark relies on LLMJ, and an error occurred "),
        # An instance without a prompt.
        (lambda lib: lib.datasets.update({"cards.b": [{"text": "x"}]}),
         "Error processing card cards.b in risk dimension harmful-output: Error:'source';  cause:None"),
        # A card the library cannot load at all: empty test set after both attempts.
        (lambda lib: lib.datasets.pop("cards.b"),
         "Error processing card cards.b in risk dimension harmful-output: Error:"
         "No valid input prompts found for card cards.b;  cause:None"),
    ],
)
def test_failed_card_ends_its_risk_dimension(smh, no_judge_env, two_risks, smh_debug, setup, expected_warning):
    setup(two_risks)
    evaluator = make_evaluator(smh, ["harmful-output", "toxic-output"])
    assert evaluator.process_models_and_risks(echo_answers, "harmful-output") == (None, ["cards.b"])
    warnings = smh_messages(smh_debug, logging.WARNING)
    assert warnings == [expected_warning, "Risk harmful-output failed due to card errors."]

    smh_debug.clear()
    results = evaluator.screen_model_hazards()
    assert list(results) == ["toxic-output"]  # the failed risk is absent, the run goes on
    assert smh_messages(smh_debug, logging.WARNING)[-1] == (
        "Evaluation failed for the following risks: [{'harmful-output': ['cards.b']}]. "
        "Please try to run these risks again.")


def _chained(error, cause):
    error.__cause__ = cause
    return error


def test_cards_after_a_failure_are_not_evaluated(smh, no_judge_env, catalogue, fake_corvex):
    catalogue({"toxic-output": ["cards.one", "cards.two", "cards.three"]})
    for card in ("cards.one", "cards.two", "cards.three"):
        fake_corvex.datasets[card] = [{"source": card}]
        fake_corvex.global_metrics[card] = METRICS_A
    fake_corvex.errors["cards.two"] = ValueError("bad scores")
    evaluator = make_evaluator(smh, ["toxic-output"])
    assert evaluator.process_models_and_risks(echo_answers, "toxic-output") == (None, ["cards.two"])
    assert [card for card, _ in fake_corvex.evaluate_calls] == ["cards.one", "cards.two"]


def test_empty_predictions_fail_the_card(smh, no_judge_env, two_risks, smh_debug):
    evaluator = make_evaluator(smh, ["toxic-output"], lambda t: pd.DataFrame({"generated_text": []}))
    assert evaluator.process_models_and_risks(evaluator.scoring_function, "toxic-output") == (None, ["cards.c"])
    assert ("Error processing card cards.c in risk dimension toxic-output: Error:"
            "Failed to get predictions for card cards.c;  cause:None") in smh_messages(smh_debug, logging.WARNING)


def test_project_error_of_the_inference_sdk_leaves_the_run(smh, no_judge_env, two_risks, monkeypatch, smh_debug):
    errors = types.ModuleType("velora_nimbra_ai.errors")

    class CannotSetProjectOrSpace(Exception):
        pass

    errors.CannotSetProjectOrSpace = CannotSetProjectOrSpace
    monkeypatch.setitem(sys.modules, "velora_nimbra_ai.errors", errors)

    def rejecting(table):
        raise CannotSetProjectOrSpace("project p is not known")

    evaluator = make_evaluator(smh, ["toxic-output", "harmful-output"], rejecting)
    with pytest.raises(CannotSetProjectOrSpace):
        evaluator.screen_model_hazards()
    assert ("Error processing card cards.c in risk dimension toxic-output: Error:project p is not known; cause:None"
            in smh_messages(smh_debug, logging.WARNING))
    assert smh_messages(smh_debug, logging.DEBUG)[-1] == (
        "Error occurred when evaluating the request: project p is not known")


def test_interruptions_are_not_absorbed(smh, no_judge_env, two_risks):
    def interrupted(table):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        make_evaluator(smh, ["toxic-output"], interrupted).screen_model_hazards()


def test_run_errors_are_logged_and_raised_unchanged(smh, no_judge_env, two_risks, smh_debug):
    evaluator = make_evaluator(smh, ["toxic-output"])
    two_risks.global_metrics["cards.c"] = {"score": "high", "score_ci_low": 0.1, "score_ci_high": 0.2}
    with pytest.raises(ValueError, match="Unknown format code 'f'"):
        evaluator.screen_model_hazards()
    debug = smh_messages(smh_debug, logging.DEBUG)
    assert debug[-2].startswith("Error occurred while calculating the score with margins Unknown format code")
    assert debug[-1].startswith("Error occurred when evaluating the request: Unknown format code")


@pytest.mark.parametrize(
    "risk_dimensions, results, missing",
    [
        (["a", "b", "c"], {"b": {}}, ["a", "c"]),
        (["a"], {"a": {"x": 1}}, []),
        ([], {}, []),
    ],
)
def test_check_if_all_risks_are_evaluated(smh, smh_debug, risk_dimensions, results, missing):
    assert smh.check_if_all_risks_are_evaluated(risk_dimensions, results) == missing
    expected = [] if not missing else [f"The risks {missing} were not stored in Varnel",
                                       f"These risk: {missing} will be evaluated and stored in Varnel"]
    assert smh_messages(smh_debug, logging.WARNING) == expected
