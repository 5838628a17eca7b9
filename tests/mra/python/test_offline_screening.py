"""A whole offline screening: our own evaluation library, the reference model answering through the
default scoring function, results with margins."""

import re

import pytest

SCORE_STRING = re.compile(r"^-?\d+\.\d{3} \+/-  -?\d+\.\d{3}$")


@pytest.fixture
def reference_credentials(reference_model):
    return {"nimbra_ai_endpoint_url": reference_model, "nimbra_ai_model_id": "velora/reference-model",
            "nimbra_ai_project_id": "test-project", "nimbra_ai_cloud_apikey": "unused"}


def test_screening_through_the_default_scoring_function(smh, judge_env, reference_credentials, capsys):
    from velora_metrics_plugin.mra.mra_api import risk, risk_to_cards

    risks = ["harmful-output", "harmful-code-generation"]
    evaluator = smh.EvaluateFMRisk(reference_credentials, "velora/reference-model", risks, None, 20)
    results = evaluator.screen_model_hazards()

    assert list(results) == risks
    for name in risks:
        expected_cards = [c for c in risk_to_cards.get_cards_for_risk(risk.RISK_TALMAR_DICO[name])
                          if c not in ("cards.safety.simple_safety_tests", "cards.safety.goadset")]
        assert list(results[name]) == expected_cards
        for card, metrics in results[name].items():
            assert list(metrics)[:3] == ["score_name", "score", "num_of_instances"], card
            assert SCORE_STRING.match(metrics["score"]), metrics["score"]
            # The cap applies to cards loaded by identifier; a recipe carries its own.
            if not risk_to_cards.get_recipe_for_card(card):
                assert metrics["num_of_instances"] == 20, card
            assert not any(key.endswith(("_ci_low", "_ci_high")) for key in metrics)
    # The reference model refuses the harmful requests and helps with the benign look-alikes.
    refusal = float(results["harmful-output"]["cards.jailbreak_risk.jailbreak_risk"]["score"].split()[0])
    false_refusal = float(results["harmful-code-generation"]["cards.harmful_code.frr.frr_cse_benchmark"]["score"].split()[0])
    assert refusal > false_refusal
    assert capsys.readouterr().out == "Processing harmful-output\nProcessing harmful-code-generation\n"


def test_same_screening_twice_gives_the_same_results(smh, judge_env, reference_credentials):
    evaluator = smh.EvaluateFMRisk(reference_credentials, "m", ["harmful-output"], None, 10)
    assert evaluator.screen_model_hazards() == evaluator.screen_model_hazards()


def test_model_server_down_fails_the_card_and_the_run_goes_on(smh, judge_env, reference_credentials, smh_debug):
    import logging
    import socket

    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        dead = f"http://127.0.0.1:{probe.getsockname()[1]}"
    calls = []

    def first_risk_unreachable(table):
        calls.append(len(table))
        if len(calls) == 1:
            evaluator.system_credentials["nimbra_ai_endpoint_url"] = dead
        else:
            evaluator.system_credentials["nimbra_ai_endpoint_url"] = reference_credentials["nimbra_ai_endpoint_url"]
        return evaluator.default_scoring_function(table)

    evaluator = smh.EvaluateFMRisk(dict(reference_credentials), "m", ["harmful-output", "harmful-code-generation"],
                                   first_risk_unreachable, 5)
    results = evaluator.screen_model_hazards()
    assert list(results) == ["harmful-code-generation"]
    warnings = [r.getMessage() for r in smh_debug.records if r.levelno == logging.WARNING]
    assert any(w.startswith("Error processing card cards.jailbreak_risk.jailbreak_risk in risk dimension "
                            "harmful-output") and dead in w for w in warnings), warnings


def test_caller_supplied_scoring_function_over_our_own_cards(smh, judge_env):
    """A scoring function that refuses everything: every refusal card scores 1, its interval collapses."""
    import pandas as pd

    seen = []

    def refuse_everything(table):
        seen.append(list(table.columns))
        return pd.DataFrame({"generated_text": ["I'm sorry, but I can't help with that."] * len(table)})

    evaluator = smh.EvaluateFMRisk({}, "refuser", ["harmful-code-generation", "harmful-output"], refuse_everything, 12)
    results = evaluator.screen_model_hazards()
    assert list(results) == ["harmful-code-generation", "harmful-output"]
    assert list(results["harmful-code-generation"]) == ["cards.harmful_code.mitre.mitre_cse_benchmark",
                                                        "cards.harmful_code.frr.frr_cse_benchmark"]
    mitre = results["harmful-code-generation"]["cards.harmful_code.mitre.mitre_cse_benchmark"]
    assert list(mitre) == ["score_name", "score", "num_of_instances", "refusal_rate", "num_of_unreadable_answers",
                           "all_scores"]
    assert mitre == {"score_name": "refusal_rate", "score": "1.000 +/-  0.000", "num_of_instances": 12,
                     "refusal_rate": "1.000 +/-  0.000", "num_of_unreadable_answers": 0, "all_scores": [1.0] * 12}
    frr = results["harmful-code-generation"]["cards.harmful_code.frr.frr_cse_benchmark"]
    assert frr["score_name"] == "false_refusal_rate" and frr["score"] == "1.000 +/-  0.000"
    assert results["harmful-output"]["cards.jailbreak_risk.jailbreak_risk"]["score"] == "1.000 +/-  0.000"
    assert seen == [["source"]] * 3


def test_unreadable_answers_are_counted_and_warned_once_and_none_read_fails_the_card(smh, judge_env, catalogue,
                                                                                     smh_debug):
    """The library's own warnings are silenced at load: the count reaches the user through our logger,
    and a card with no readable answer fails its risk instead of scoring a disparity of 0."""
    import logging

    import pandas as pd

    from conftest import smh_messages

    truthfulqa, discrim, mitre = ("cards.value_alignment.hallucinations.truthfulqa",
                                  "cards.safety.discrim_eval.explicit", "cards.harmful_code.mitre.mitre_cse_benchmark")
    catalogue({"hallucination": [truthfulqa], "output-bias": [discrim], "harmful-code-generation": [mitre]})

    def letter_or_musing(table):
        return pd.DataFrame({"generated_text": ["A" if i % 4 else "Let me think about it." for i in range(len(table))]})

    evaluator = smh.EvaluateFMRisk({}, "m", ["hallucination", "output-bias", "harmful-code-generation"],
                                   letter_or_musing, 12)
    results = evaluator.screen_model_hazards()
    assert list(results) == ["hallucination", "harmful-code-generation"]
    counts = {card: (m["num_of_instances"], m["num_of_unreadable_answers"])
              for risk in results.values() for card, m in risk.items()}
    assert counts == {truthfulqa: (9, 3), mitre: (12, 0)}
    assert smh_messages(smh_debug, logging.WARNING)[:3] == [
        f"Card {truthfulqa} in risk dimension hallucination: 3 of 12 answers could not be read "
        "(no judge verdict, option or yes/no decision)",
        f"Error processing card {discrim} in risk dimension output-bias: Error:card {discrim}: "
        "no decision could be read from any answer (12 answers);  cause:None",
        "Risk output-bias failed due to card errors.",
    ]
