"""The default scoring function and the inference objects it creates."""

import logging
import sys
import types

import pandas as pd
import pytest

from conftest import smh_messages
from nimbra_loopback import ScriptedServer, completion, models, tls_server_context  # noqa: F401


class RecordingInference:
    """Stands in for the SDK's ModelInference; records constructions and prompts."""

    created = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.prompts = []
        RecordingInference.created.append(self)

    def generate_text(self, prompt):
        self.prompts.append(prompt)
        if prompt == "explode":
            raise ConnectionError("server went away")
        return prompt.upper()


@pytest.fixture
def sdk(monkeypatch):
    RecordingInference.created = []
    module = types.ModuleType("velora_nimbra_ai.foundation_models")
    module.ModelInference = RecordingInference
    monkeypatch.setitem(sys.modules, "velora_nimbra_ai.foundation_models", module)
    return RecordingInference


def evaluator(smh, **credentials):
    return smh.EvaluateFMRisk(credentials, "m", ["toxic-output"])


@pytest.mark.parametrize(
    "endpoint, expected",
    [
        ("https://ORRIN.example/ml", {"username": "u", "apikey": "onprem", "url": "https://ORRIN.example/ml",
                                      "instance_id": "skiff"}),
        ("https://cp4d-Orrin-host", {"username": "u", "apikey": "onprem", "url": "https://cp4d-Orrin-host",
                                     "instance_id": "skiff"}),
        ("https://eu.inference.example", {"apikey": "cloud", "url": "https://eu.inference.example"}),
        (None, {"apikey": "cloud", "url": ""}),
    ],
)
def test_credentials_by_environment(smh, no_judge_env, sdk, endpoint, expected):
    credentials = {"nimbra_ai_model_id": "m1", "nimbra_ai_project_id": "p1", "nimbra_ai_orrin_username": "u",
                   "nimbra_ai_orrin_apikey": "onprem", "nimbra_ai_cloud_apikey": "cloud"}
    if endpoint is not None:
        credentials["nimbra_ai_endpoint_url"] = endpoint
    answer = evaluator(smh, **credentials).default_scoring_function(pd.DataFrame({"source": ["a", "b", "c"]}))
    assert answer["generated_text"].tolist() == ["A", "B", "C"]
    assert list(answer.columns) == ["generated_text"]
    (inference,) = sdk.created
    assert inference.kwargs == {"model_id": "m1", "credentials": expected, "project_id": "p1"}
    assert list(inference.kwargs["credentials"]) == list(expected)
    assert inference.prompts == ["a", "b", "c"]


def test_one_inference_object_per_call_and_empty_tables(smh, no_judge_env, sdk):
    ev = evaluator(smh, nimbra_ai_model_id="m")
    empty = ev.default_scoring_function(pd.DataFrame({"source": []}))
    assert list(empty.columns) == ["generated_text"] and len(empty) == 0
    ev.default_scoring_function(pd.DataFrame({"q": ["x"], "ignored": ["y"]}))
    assert len(sdk.created) == 2 and sdk.created[1].prompts == ["x"]
    assert sdk.created[1].kwargs["project_id"] is None


@pytest.mark.parametrize("credentials", [{}, {"nimbra_ai_model_id": ""}, {"nimbra_ai_model_id": None}])
def test_missing_model_id_fails_before_any_call(smh, no_judge_env, sdk, smh_debug, credentials):
    with pytest.raises(ValueError, match="^Model ID is not provided$"):
        evaluator(smh, **credentials).default_scoring_function(pd.DataFrame({"s": ["x"]}))
    assert sdk.created == [] and smh_messages(smh_debug) == []


@pytest.mark.parametrize(
    "credentials, prompts, kind, text",
    [
        ({"nimbra_ai_endpoint_url": None}, ["x"], AttributeError, "'NoneType' object has no attribute 'lower'"),
        ({}, ["ok", "explode"], ConnectionError, "server went away"),
    ],
)
def test_failures_are_logged_and_raised(smh, no_judge_env, sdk, smh_debug, credentials, prompts, kind, text):
    ev = evaluator(smh, nimbra_ai_model_id="m", **credentials)
    with pytest.raises(kind, match=text):
        ev.default_scoring_function(pd.DataFrame({"s": prompts}))
    assert smh_messages(smh_debug, logging.DEBUG) == [
        "Error encountered while getting predictions from nimbra.ai: " + text]


def test_initialize_model_inference_is_positional(smh, no_judge_env, sdk):
    ev = evaluator(smh, nimbra_ai_cloud_apikey="k")
    inference = ev._initialize_model_inference("https://x", "m", "p")
    assert inference.kwargs == {"model_id": "m", "credentials": {"apikey": "k", "url": "https://x"}, "project_id": "p"}


def test_a_ca_bundle_credential_goes_to_the_sdk_as_verify(smh, no_judge_env, sdk):
    ev = evaluator(smh, nimbra_ai_model_id="m", nimbra_ai_cloud_apikey="k", nimbra_ai_ca_bundle="/etc/private-ca.pem")
    ev.default_scoring_function(pd.DataFrame({"s": ["x"]}))
    assert sdk.created[0].kwargs == {"model_id": "m", "credentials": {"apikey": "k", "url": ""}, "project_id": None,
                                     "verify": "/etc/private-ca.pem"}


def test_the_ca_bundle_credential_lets_the_real_sdk_trust_a_private_certificate(smh, no_judge_env, tls_server_context):
    from velora_nimbra_ai.errors import ServiceRequestError

    context, certificate = tls_server_context
    with ScriptedServer([models("m"), completion("over tls")], tls=context) as server:
        credentials = {"nimbra_ai_model_id": "m", "nimbra_ai_endpoint_url": server.url}
        with pytest.raises(ServiceRequestError, match="certificate"):
            evaluator(smh, **credentials).default_scoring_function(pd.DataFrame({"s": ["x"]}))
        answer = evaluator(smh, **credentials, nimbra_ai_ca_bundle=certificate).default_scoring_function(
            pd.DataFrame({"s": ["x"]}))
    assert answer["generated_text"].tolist() == ["over tls"]
