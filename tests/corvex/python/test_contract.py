"""The Python contract of corvex: both load_dataset forms, caps, result shapes and the error type."""

import json
import math
import re
import shutil
from pathlib import Path

import pytest

import corvex
from corvex.error_utils import CorvexError

RISK_CATALOGUE = Path(__file__).resolve().parents[3] / "src/python/velora_metrics_plugin/mra/catalogue/risk_catalogue.json"
JAILBREAK = "cards.jailbreak_risk.jailbreak_risk"
FRR = "cards.harmful_code.frr.frr_cse_benchmark"
MITRE = "cards.harmful_code.mitre.mitre_cse_benchmark"

REFUSAL = "I’m sorry, but I can’t help with that."
ANSWER = "Sure. Here is a short Python function that does it:\n\ndef f():\n    return 1"


def test_error_type_is_a_plain_exception():
    assert corvex.CorvexError is CorvexError
    assert issubclass(CorvexError, Exception)
    assert not issubclass(CorvexError, (RuntimeError, ValueError))


@pytest.mark.parametrize("card", [JAILBREAK, FRR, MITRE])
def test_card_and_recipe_forms_load_the_same_instances(card):
    by_card = corvex.load_dataset(card=card, max_test_instances=None, split="test")
    by_recipe = corvex.load_dataset(f"card={card}", split="test")
    assert by_card == by_recipe
    assert 30 <= len(by_card) <= 60
    for instance in by_card:
        assert isinstance(instance["source"], str) and instance["source"]
        assert instance["task_data"]["card"] == card
    assert len({i["task_data"]["id"] for i in by_card}) == len(by_card)


def test_caps_take_the_first_instances_in_file_order():
    everything = corvex.load_dataset(card=JAILBREAK, max_test_instances=None, split="test")
    assert corvex.load_dataset(card=JAILBREAK, max_test_instances=5, split="test") == everything[:5]
    assert corvex.load_dataset(f"card={JAILBREAK}, max_test_instances=7", split="test") == everything[:7]
    assert corvex.load_dataset(card=JAILBREAK, max_test_instances=0, split="test") == []
    assert corvex.load_dataset(card=JAILBREAK, max_test_instances=10**6, split="test") == everything


@pytest.mark.parametrize(
    "kwargs, says",
    [
        ({"card": JAILBREAK, "max_test_instances": -1}, "must not be negative"),
        ({"card": JAILBREAK, "max_test_instances": 5.0}, "whole number or None, not float"),
        ({"card": JAILBREAK, "max_test_instances": True}, "whole number or None, not bool"),
        ({"card": JAILBREAK, "max_test_instances": "5"}, "whole number or None, not str"),
        ({"card": JAILBREAK, "split": "train"}, 'has no split "train"'),
        ({"card": "cards.safety.nothing_here"}, "unknown card cards.safety.nothing_here"),
        ({"card": 17}, "card must be a text"),
        ({}, "needs a recipe or card="),
    ],
)
def test_bad_load_arguments(kwargs, says):
    with pytest.raises(CorvexError, match=None) as caught:
        corvex.load_dataset(**kwargs)
    assert says in str(caught.value)


@pytest.mark.parametrize(
    "recipe, says",
    [
        (f"card={JAILBREAK},shuffle=true", 'unknown key "shuffle"'),
        ("max_test_instances=3", "card is required"),
        (f"card={JAILBREAK},max_test_instances=-2", "whole number >= 0"),
        ("card=cards.safety.nothing_here", "unknown card cards.safety.nothing_here"),
        (JAILBREAK, "is not a key=value pair"),
    ],
)
def test_bad_recipes(recipe, says):
    with pytest.raises(CorvexError) as caught:
        corvex.load_dataset(recipe, split="test")
    assert says in str(caught.value)


def test_recipe_and_card_together_are_refused():
    with pytest.raises(CorvexError, match="either a recipe or card="):
        corvex.load_dataset(f"card={JAILBREAK}", card=JAILBREAK)


def test_the_recipes_of_the_risk_catalogue_load():
    recipes = json.loads(RISK_CATALOGUE.read_text())["recipes"]
    assert recipes
    for card, recipe in recipes.items():
        if card == FRR:
            assert corvex.load_dataset(recipe, split="test") == corvex.load_dataset(card=FRR, max_test_instances=None)


def test_evaluate_result_shape():
    data = corvex.load_dataset(card=JAILBREAK, max_test_instances=10, split="test")
    predictions = [REFUSAL] * 7 + [ANSWER] * 3
    scored = corvex.evaluate(predictions=predictions, data=data)
    assert len(scored) == 10
    glob = scored[0]["score"]["global"]
    assert list(glob) == [
        "refusal_rate", "refusal_rate_ci_low", "refusal_rate_ci_high", "score", "score_name",
        "score_ci_low", "score_ci_high", "num_of_instances", "num_of_unreadable_answers", "all_scores",
    ]
    assert glob["score_name"] == "refusal_rate"
    assert glob["refusal_rate"] == glob["score"] == pytest.approx(0.7)
    assert glob["score_ci_low"] == glob["refusal_rate_ci_low"] <= 0.7 <= glob["score_ci_high"]
    assert 0.0 <= glob["score_ci_low"] < glob["score_ci_high"] <= 1.0
    assert type(glob["num_of_instances"]) is int and glob["num_of_instances"] == 10
    assert type(glob["num_of_unreadable_answers"]) is int and glob["num_of_unreadable_answers"] == 0
    assert glob["all_scores"] == [1.0] * 7 + [0.0] * 3
    for instance, prediction, scored_instance in zip(data, predictions, scored):
        assert scored_instance["prediction"] == prediction
        assert scored_instance["source"] == instance["source"]
        assert scored_instance["task_data"] == instance["task_data"]
        assert "prediction" not in instance  # the caller's data is left alone
    assert scored[7]["score"]["instance"] == {"refusal_rate": 0.0, "score": 0.0, "score_name": "refusal_rate"}


def test_a_rerun_gives_the_same_interval():
    data = corvex.load_dataset(card=FRR, max_test_instances=None, split="test")
    predictions = [REFUSAL if i % 4 == 0 else ANSWER for i in range(len(data))]
    first = corvex.evaluate(predictions=predictions, data=data)[0]["score"]["global"]
    second = corvex.evaluate(predictions=predictions, data=data)[0]["score"]["global"]
    assert first == second
    assert first["score_name"] == "false_refusal_rate"
    assert first["false_refusal_rate"] == pytest.approx(10 / 40)


def test_all_answers_alike_give_a_point_interval():
    data = corvex.load_dataset(card=MITRE, max_test_instances=None, split="test")
    glob = corvex.evaluate(predictions=[REFUSAL] * len(data), data=data)[0]["score"]["global"]
    assert (glob["score"], glob["score_ci_low"], glob["score_ci_high"]) == (1.0, 1.0, 1.0)


def _data(card=JAILBREAK, n=3):
    return corvex.load_dataset(card=card, max_test_instances=n, split="test")


@pytest.mark.parametrize(
    "make, says",
    [
        (lambda: ([REFUSAL] * 2, _data()), f"card {JAILBREAK}: 2 predictions for 3 instances"),
        (lambda: ([REFUSAL] * 3, [{k: v for k, v in i.items() if k != "source"} for i in _data()]),
         f'card {JAILBREAK}: instance #0 has no "source"'),
        (lambda: ([REFUSAL] * 2, _data(n=1) + _data(FRR, n=1)), f"mixes cards {JAILBREAK} and {FRR}"),
        (lambda: ([REFUSAL], {}), "data must be the list of instances"),
        (lambda: ([], []), "holds no instances"),
        (lambda: ([REFUSAL] * 2 + [None], _data()), "prediction #2 is a NoneType, not a text"),
        (lambda: ("abc", _data()), "predictions must be a list of texts"),
        (lambda: ([REFUSAL], [{"source": "x"}]), "no task_data naming its card"),
        (lambda: ([REFUSAL], [{"source": "x", "task_data": {"card": "cards.not.there"}}]), "unknown card cards.not.there"),
    ],
)
def test_bad_evaluate_inputs(make, says):
    predictions, data = make()
    with pytest.raises(CorvexError) as caught:
        corvex.evaluate(predictions=predictions, data=data)
    assert says in str(caught.value)


@pytest.fixture
def package_copy(tmp_path, monkeypatch):
    """A copy of the corvex package data that a test may damage; corvex reads it through __path__."""
    source = Path(corvex.__path__[0])
    target = tmp_path / "corvex"
    shutil.copytree(source / "catalog", target / "catalog")
    monkeypatch.setattr(corvex, "__path__", [str(target)])
    return target / "catalog"


def test_corrupt_dataset_file_names_the_card_and_file(package_copy):
    data_file = package_copy / "data" / "jailbreak_risk.jsonl"
    lines = data_file.read_text().splitlines()
    lines[3] = lines[3][:-5]
    data_file.write_text("\n".join(lines) + "\n")
    with pytest.raises(CorvexError) as caught:
        corvex.load_dataset(card=JAILBREAK, max_test_instances=2, split="test")
    assert f"card {JAILBREAK}" in str(caught.value)
    assert f"{data_file} line 4" in str(caught.value)


def test_corrupt_card_file_names_the_card_and_file(package_copy):
    card_file = package_copy / "cards" / f"{FRR}.json"
    card_file.write_text(card_file.read_text().replace('"lower_is_better"', '"whatever"'))
    with pytest.raises(CorvexError) as caught:
        corvex.load_dataset(card=FRR)
    assert f"card {FRR}: card file {card_file}" in str(caught.value)


@pytest.mark.parametrize("damage, says", [
    (lambda card, data: card.write_bytes(card.read_bytes().replace(b'"description": "', b'"description": "caf\xe9 ')),
     "card file {card} is not UTF-8 text (byte"),
    (lambda card, data: data.write_bytes(b"\xff\xfe" + data.read_bytes()), "dataset file {data} line 1: is not UTF-8 text"),
    (lambda card, data: card.write_text("[" * 100000), "card file {card} nests lists and objects deeper than 32 levels"),
    (lambda card, data: card.write_text(" " * (2 << 20)), "card file {card} is larger than 1048576 bytes"),
    (lambda card, data: card.write_text(card.read_text().replace('"comply"', '1e999')), "card file {card} is not valid JSON"),
    (lambda card, data: card.write_text(card.read_text().replace('"comply"', '5')), "card file {card} has an unknown metric"),
    (lambda card, data: data.write_text(""), "dataset file {data} holds no records"),
])
def test_damaged_files_are_corvex_errors_naming_the_file(package_copy, damage, says):
    card = package_copy / "cards" / f"{FRR}.json"
    data = package_copy / "data" / "frr_cse_benchmark.jsonl"
    damage(card, data)
    with pytest.raises(CorvexError) as caught:
        corvex.load_dataset(card=FRR)
    assert says.format(card=card, data=data) in str(caught.value)


@pytest.mark.parametrize("card, answer", [
    ("cards.safety.discrim_eval.explicit", "That depends on many things."),
    ("cards.value_alignment.hallucinations.truthfulqa", "I would rather not guess."),
    ("cards.safety.bbq.Age", "Hard to say."),
])
def test_a_card_without_one_readable_answer_fails_instead_of_scoring(card, answer):
    data = corvex.load_dataset(card=card, max_test_instances=12)
    with pytest.raises(CorvexError, match=f"^card {re.escape(card)}: no decision could be read from any answer"):
        corvex.evaluate(predictions=[answer] * len(data), data=data)


def test_bootstrap_of_data_holding_nan_is_nan():
    low, high = corvex._corvex.bootstrap_ci([1.0] * 99 + [math.nan])
    assert math.isnan(low) and math.isnan(high)


def test_bootstrap_binding_is_deterministic_and_brackets_the_mean():
    scores = [1.0 if i % 3 == 0 else 0.0 for i in range(300)]
    low, high = corvex._corvex.bootstrap_ci(scores, 1000, 7)
    assert (low, high) == corvex._corvex.bootstrap_ci(scores, 1000, 7)
    assert low < sum(scores) / len(scores) < high
    assert math.isclose(high - low, 2 * 1.96 * math.sqrt((1 / 3) * (2 / 3) / 300), rel_tol=0.2)
