"""The risk catalogue, the package logger and the console URL mapping."""

import json
import logging
import subprocess
import sys
import uuid

import pytest

EXCLUDED = {"cards.safety.goadset", "cards.data_leakage.empty_data_leakage_card", "cards.safety.simple_safety_tests",
            "cards.toxigen", "cards.pop_qa", "cards.ethos_binary", "cards.prompt_leakage.glue_qnli_with_system_prompt"}
REPORT_RISKS = {"toxic-output", "harmful-output", "prompt-leaking", "hallucination", "prompt-injection",
                "jailbreaking", "output-bias", "harmful-code-generation"}


def test_catalogue_covers_the_report_risks_with_usable_cards():
    from velora_metrics_plugin.mra.mra_api import risk, risk_to_cards

    assert set(risk.RISK_TALMAR_DICO) == REPORT_RISKS
    listed = []
    for name, entry in risk.RISK_TALMAR_DICO.items():
        cards = risk_to_cards.get_cards_for_risk(entry)
        assert [c for c in cards if c not in EXCLUDED], f"{name} has no usable card"
        listed += cards
    # Only the two adversarial-prompt risks share cards: the report says they use the same benchmarks.
    shared = {c for c in listed if listed.count(c) > 1}
    jailbreaking = risk_to_cards.get_cards_for_risk(risk.RISK_TALMAR_DICO["jailbreaking"])
    injection = risk_to_cards.get_cards_for_risk(risk.RISK_TALMAR_DICO["prompt-injection"])
    assert shared == set(jailbreaking) == set(injection)
    assert EXCLUDED <= set(listed)  # excluded cards are listed under the risks they belong to


def test_cards_are_fresh_lists_and_recipes_name_their_card():
    from velora_metrics_plugin.mra.mra_api import risk, risk_to_cards

    entry = risk.RISK_TALMAR_DICO["output-bias"]
    risk_to_cards.get_cards_for_risk(entry).clear()
    assert "cards.safety.discrim_eval.explicit" in risk_to_cards.get_cards_for_risk(entry)
    all_cards = [c for e in risk.RISK_TALMAR_DICO.values() for c in risk_to_cards.get_cards_for_risk(e)]
    with_recipe = [c for c in all_cards if risk_to_cards.get_recipe_for_card(c)]
    assert with_recipe and len(with_recipe) < len(all_cards)  # both loading paths are in use
    for card in with_recipe:
        assert risk_to_cards.get_recipe_for_card(card).startswith(f"card={card}")
    assert risk_to_cards.get_recipe_for_card("cards.unknown") is None
    with pytest.raises(TypeError, match="expects an entry of RISK_TALMAR_DICO"):
        risk_to_cards.get_cards_for_risk("output-bias")


def test_submodules_import_by_full_name():
    import velora_metrics_plugin.mra.mra_api.risk as risk_module
    import velora_metrics_plugin.mra.mra_api.risk_to_cards as cards_module

    assert "jailbreaking" in risk_module.RISK_TALMAR_DICO
    assert callable(cards_module.get_cards_for_risk)


@pytest.mark.parametrize("content, problem", [
    ("{not json", "is not valid JSON"),
    ('{"risks": [{"id": "a", "title": "A", "cards": ["x.y"]}]}', 'lists a card that is not a "cards." identifier'),
    ('{"risks": [{"id": "a", "title": "A", "cards": []}, {"id": "a", "title": "B", "cards": []}]}', "listed twice"),
    ('{"risks": {}}', 'needs an object with a list "risks"'),
])
def test_corrupt_catalogue_fails_the_import_naming_the_file(tmp_path, content, problem):
    # A copy of the installed package with a broken catalogue, imported in a fresh interpreter.
    import shutil
    import velora_metrics_plugin

    copy = tmp_path / "velora_metrics_plugin"
    shutil.copytree(velora_metrics_plugin.__path__[0], copy)
    catalogue = copy / "mra" / "catalogue" / "risk_catalogue.json"
    catalogue.write_text(content)
    done = subprocess.run([sys.executable, "-c", "import velora_metrics_plugin.mra.mra_api"],
                          cwd=tmp_path, capture_output=True, text=True, env={"PYTHONPATH": str(tmp_path)})
    assert done.returncode != 0
    assert f"ValueError: risk catalogue {catalogue}: " in done.stderr and problem in done.stderr


def fresh_logger_name():
    return f"velora_metrics_plugin.test.{uuid.uuid4().hex}"


def test_logger_default_level_shows_warnings_and_hides_debug(monkeypatch, caplog):
    from velora_metrics_plugin.common.utils.metrics_logger import MetricLogger

    monkeypatch.delenv("VELORA_METRICS_LOG_LEVEL", raising=False)
    name = fresh_logger_name()
    logger = MetricLogger(name)
    logger.log_debug("hidden")
    logger.log_warning("shown 100%")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(name, logging.WARNING, "shown 100%")]
    assert logging.getLogger(name).handlers == []  # callers' handlers decide where lines go


@pytest.mark.parametrize("setting, debug_shown", [("DEBUG", True), ("debug", True), ("10", True), ("ERROR", False),
                                                  ("nonsense", False)])
def test_logger_level_from_the_environment(monkeypatch, caplog, setting, debug_shown):
    from velora_metrics_plugin.common.utils.metrics_logger import MetricLogger

    monkeypatch.setenv("VELORA_METRICS_LOG_LEVEL", setting)
    logger = MetricLogger(fresh_logger_name())
    logger.log_debug("d")
    assert [r.getMessage() for r in caplog.records] == (["d"] if debug_shown else [])


def test_json_logs_write_one_object_per_line():
    code = ("from velora_metrics_plugin.common.utils.metrics_logger import MetricLogger\n"
            "l = MetricLogger('velora.json'); l.enable_json_logs(True); l.log_warning('quote \"me\"')\n"
            "l.enable_json_logs(False); l.log_warning('plain')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    first, second = done.stderr.splitlines()
    line = json.loads(first)
    assert (line["level"], line["logger"], line["message"]) == ("WARNING", "velora.json", 'quote "me"')
    assert second.endswith("WARNING velora.json: plain")


@pytest.mark.parametrize("url, expected", [
    ("https://api.varnel.velora.cloud", "https://iam.velora.cloud/identity/token"),
    ("https://EU-DE.Varnel.Velora.Cloud/app/", "https://iam.velora.cloud/identity/token"),
    ("https://us-south.varnel.test.velora.cloud:443/x", "https://iam.test.velora.cloud/identity/token"),
    ("https://varnel.velora.cloud.attacker.example", None),
    ("https://notvarnel.velora.cloud", None),
    ("https://orrin.internal.example", None),
    ("", None),
    (None, None),
])
def test_console_to_token_endpoint(monkeypatch, url, expected):
    from velora_metrics_plugin.common.utils.vn_url_mapping import get_iam_url_from_vn_url

    monkeypatch.delenv("VELORA_IAM_URL", raising=False)
    assert get_iam_url_from_vn_url(url) == expected


def test_token_endpoint_override(monkeypatch):
    from velora_metrics_plugin.common.utils.vn_url_mapping import get_iam_url_from_vn_url

    monkeypatch.setenv("VELORA_IAM_URL", "http://127.0.0.1:9/token")
    assert get_iam_url_from_vn_url("https://anything.example") == "http://127.0.0.1:9/token"
