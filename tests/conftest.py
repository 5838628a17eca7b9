"""Shared fixtures: the risk-evaluation module, a clean judge environment, the secret watch, a
stand-in evaluation library for tests that must control datasets and scores exactly."""

import logging
import sys
import types

import pytest
from secret_watch import secret_watch  # noqa: F401  (a fixture for every test)

JUDGE_VARIABLES = [
    "CORVEX_DEFAULT_PROVIDER",
    "QNR_APIKEY", "QNR_URL", "QNR_PROJECT_ID",
    "AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID",
    "AZURE_AI_API_BASE", "AZURE_AI_API_KEY",
    "REPLICATE_API_TOKEN", "TOGETHERAI_API_KEY",
]

SMH_LOGGER = "velora_metrics_plugin.mra.screen_model_hazard"
RF_LOGGER = "velora_metrics_plugin.mra.report_forge"


@pytest.fixture
def smh():
    from velora_metrics_plugin.mra import screen_model_hazard

    return screen_model_hazard


@pytest.fixture
def no_judge_env(monkeypatch):
    for name in JUDGE_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def judge_env(no_judge_env):
    """A complete judge-provider environment, so every risk dimension validates."""
    no_judge_env.setenv("CORVEX_DEFAULT_PROVIDER", "together-ai")
    no_judge_env.setenv("TOGETHERAI_API_KEY", "test-key")
    return no_judge_env


@pytest.fixture
def smh_debug(caplog):
    """Captures the risk-evaluation module's lines, debug included."""
    caplog.set_level(logging.DEBUG, logger=SMH_LOGGER)
    return caplog


@pytest.fixture
def rf():
    from velora_metrics_plugin.mra import report_forge

    return report_forge


@pytest.fixture
def rf_debug(caplog):
    """Captures the report module's lines, debug included."""
    caplog.set_level(logging.DEBUG, logger=RF_LOGGER)
    return caplog


def rf_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == RF_LOGGER]


def smh_messages(caplog, level=None):
    return [r.getMessage() for r in caplog.records
            if r.name == SMH_LOGGER and (level is None or r.levelno == level)]


class FakeEvaluationLibrary(types.ModuleType):
    """Stands in for the evaluation library: datasets per card, and a global-metrics dict (or an
    error to raise) per card. Records every call."""

    def __init__(self):
        super().__init__("corvex")
        self.datasets = {}
        self.global_metrics = {}
        self.errors = {}
        self.load_calls = []
        self.evaluate_calls = []

    def load_dataset(self, *args, **kwargs):
        self.load_calls.append((args, kwargs))
        card = kwargs.get("card") or args[0].split(",")[0].split("=", 1)[1]
        if card not in self.datasets:
            raise KeyError(f"unknown card {card}")
        return [dict(instance, card=card) for instance in self.datasets[card]]

    def evaluate(self, predictions, data):
        card = data[0]["card"]
        self.evaluate_calls.append((card, list(predictions)))
        if card in self.errors:
            raise self.errors[card]
        return [{"score": {"global": dict(self.global_metrics[card])}} for _ in data]


@pytest.fixture
def fake_corvex(monkeypatch):
    library = FakeEvaluationLibrary()
    monkeypatch.setitem(sys.modules, "corvex", library)
    return library


@pytest.fixture
def catalogue(monkeypatch):
    """Replaces the risk catalogue's contents for one test: catalogue({"risk": ["cards.a", ...]})."""
    from velora_metrics_plugin.mra.mra_api import risk, risk_to_cards

    def install(risk_cards, recipes=None):
        entries = {name: {"id": name, "title": name, "cards": list(cards)} for name, cards in risk_cards.items()}
        monkeypatch.setattr(risk, "RISK_TALMAR_DICO", entries)
        monkeypatch.setattr(risk_to_cards, "get_recipe_for_card", lambda card: (recipes or {}).get(card))
        return entries

    return install


def reference_model_binary():
    """The reference model server built with the package: beside the interpreter when installed,
    in build/<name>/bin when the package is imported from a developer build."""
    import os
    import pathlib
    import shutil

    import velora_metrics_plugin

    if os.environ.get("VELORA_REFERENCE_MODEL_BIN"):
        return os.environ["VELORA_REFERENCE_MODEL_BIN"]
    package = pathlib.Path(velora_metrics_plugin.__file__).resolve().parent
    candidates = [package.parent.parent / "bin" / "velora-reference-model",
                  pathlib.Path(sys.executable).parent / "velora-reference-model"]
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    found = shutil.which("velora-reference-model")
    if found:
        return found
    pytest.fail("velora-reference-model is not built; build the package first")


@pytest.fixture(scope="session")
def reference_model():
    """A running reference model on a free loopback port; yields its base URL."""
    import subprocess

    server = subprocess.Popen([reference_model_binary(), "--host", "127.0.0.1", "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = server.stdout.readline()
    if not line.startswith("listening on "):
        server.kill()
        pytest.fail(f"reference model did not start: {line!r}")
    yield line.removeprefix("listening on ").strip()
    server.terminate()
    server.wait(timeout=10)
    server.stdout.close()
