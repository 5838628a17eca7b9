"""Loading a card's test set: by recipe or by card, from the module's folder, then the caller's."""

import logging
import os

import pytest

from conftest import smh_messages


@pytest.fixture
def module_dir(smh):
    return os.path.dirname(os.path.abspath(smh.__file__))


def test_card_without_recipe_loads_by_card_and_cap(smh, catalogue, fake_corvex, module_dir):
    catalogue({"r": ["cards.a"]})
    fake_corvex.datasets["cards.a"] = [{"source": "p"}]
    seen_dirs = []
    original = fake_corvex.load_dataset
    fake_corvex.load_dataset = lambda *a, **k: (seen_dirs.append(os.getcwd()), original(*a, **k))[1]
    start = os.getcwd()
    assert smh.load_dataset_with_fallback("cards.a", 5) == [{"source": "p", "card": "cards.a"}]
    assert fake_corvex.load_calls == [((), {"card": "cards.a", "max_test_instances": 5, "split": "test"})]
    assert seen_dirs == [module_dir]
    assert os.getcwd() == start


def test_card_with_recipe_loads_by_recipe_without_cap(smh, catalogue, fake_corvex):
    catalogue({"r": ["cards.a"]}, recipes={"cards.a": "card=cards.a,max_test_instances=9"})
    fake_corvex.datasets["cards.a"] = [{"source": "p"}]
    smh.load_dataset_with_fallback(card="cards.a", max_sample_size=5)
    assert fake_corvex.load_calls == [(("card=cards.a,max_test_instances=9",), {"split": "test"})]


@pytest.mark.parametrize("failures, expected_messages, succeeds", [
    (1, ["Failed to load the dataset from the script directory: first. "
         "Attempting to load data from the current working directory."], True),
    (2, ["Failed to load the dataset from the script directory: first. "
         "Attempting to load data from the current working directory.",
         "Failed to load the dataset from the current working directory: second."], False),
])
def test_fallback_attempts(smh, catalogue, fake_corvex, smh_debug, tmp_path, monkeypatch,
                           failures, expected_messages, succeeds):
    catalogue({"r": ["cards.a"]})
    monkeypatch.chdir(tmp_path)
    attempts = []

    def flaky(**kwargs):
        attempts.append(os.getcwd())
        if len(attempts) <= failures:
            raise OSError(["first", "second"][len(attempts) - 1])
        return ["data"]

    fake_corvex.load_dataset = flaky
    result = smh.load_dataset_with_fallback("cards.a", 1)
    assert result == (["data"] if succeeds else {})
    assert attempts[1] == str(tmp_path)  # the second attempt runs from the caller's folder
    assert smh_messages(smh_debug, logging.DEBUG) == expected_messages
    assert os.getcwd() == str(tmp_path)


def test_failing_recipe_lookup_is_an_ordinary_failure(smh, fake_corvex, monkeypatch, tmp_path):
    from velora_metrics_plugin.mra.mra_api import risk_to_cards

    def broken(card):
        raise RuntimeError("catalogue down")

    monkeypatch.setattr(risk_to_cards, "get_recipe_for_card", broken)
    monkeypatch.chdir(tmp_path)
    assert smh.load_dataset_with_fallback("cards.a", 1) == {}
    assert os.getcwd() == str(tmp_path)


def test_interruption_propagates_and_directory_is_restored(smh, catalogue, fake_corvex, monkeypatch, tmp_path):
    catalogue({"r": ["cards.a"]})
    monkeypatch.chdir(tmp_path)

    def interrupted(**kwargs):
        raise KeyboardInterrupt

    fake_corvex.load_dataset = interrupted
    with pytest.raises(KeyboardInterrupt):
        smh.load_dataset_with_fallback("cards.a", 1)
    assert os.getcwd() == str(tmp_path)
