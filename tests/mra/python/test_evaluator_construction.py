"""Constructing and validating an evaluator; the state the module leaves at load."""

import logging
import os
import subprocess
import sys

import pytest

from conftest import SMH_LOGGER, smh_messages

ALL_RISKS_WITHOUT_JUDGE = ["harmful-output", "toxic-output", "output-bias", "hallucination", "prompt-leaking"]
VALID_LIST = ("['jailbreaking', 'prompt-injection', 'prompt-leaking', 'harmful-output', "
              "'harmful-code-generation', 'toxic-output', 'output-bias', 'hallucination']")
PROVIDER_MESSAGE = (
    "CORVEX_DEFAULT_PROVIDER must be set for risks that uses LLMJ such as "
    "['prompt-injection', 'jailbreaking', 'harmful-code-generation'].CORVEX_DEFAULT_PROVIDER was not set. "
    "Received {}. you must set CORVEX_DEFAULT_PROVIDER to one of the following: "
    "['aws', 'together-ai', 'replicate', 'azure', 'nimbra-sdk']")


def test_module_load_state(smh):
    assert logging.getLogger().level == logging.CRITICAL
    for name in ("corvex", "datasets", "huggingface_hub", "bert_score"):
        assert logging.getLogger(name).level == logging.CRITICAL
    assert os.environ["CORVEX_ALLOW_UNVERIFIED_CODE"] == "True"
    assert type(smh.logger).__name__ == "MetricLogger"
    assert smh.logger.logger.name == SMH_LOGGER
    assert smh.logger.json_logs is False
    # Bound from the report module at load.
    from velora_metrics_plugin.mra import report_forge
    assert smh.extract_numeric_value is report_forge.extract_numeric_value
    assert smh.PdfGenerator is report_forge.PdfGenerator


@pytest.mark.parametrize(
    "kwargs, kind, message",
    [
        ({"system_credentials": []}, ValueError, "system_credentials must be a dictionary"),
        # The credentials are checked before anything else.
        ({"system_credentials": "x", "foundation_model_name": 5, "max_sample_size": -1},
         ValueError, "system_credentials must be a dictionary"),
        ({"foundation_model_name": 5}, ValueError, "foundation_model_name must be a string or None"),
        ({"risk_dimensions": ("toxic-output",)}, ValueError, "risk_dimensions must be a list or None"),
        ({"risk_dimensions": []}, ValueError, "risk_dimensions must be a non-empty list"),
        ({"risk_dimensions": ["toxic-output", "nope"]}, Exception, "nope is not part of " + VALID_LIST),
        ({"risk_dimensions": [7]}, Exception, "7 is not part of " + VALID_LIST),
        ({"risk_dimensions": ["toxic-output"], "scoring_function": "f"},
         ValueError, "scoring_function must be a callable or None"),
        ({"risk_dimensions": ["toxic-output"], "max_sample_size": 5.0},
         ValueError, "max_sample_size must be an integer or None"),
        ({"risk_dimensions": ["toxic-output"], "max_sample_size": True},  # a bool is no sample size
         ValueError, "max_sample_size must be an integer or None"),
        ({"risk_dimensions": ["toxic-output"], "max_sample_size": 0}, ValueError, "max_sample_size must be greater than 0"),
        ({"risk_dimensions": ["toxic-output"], "max_sample_size": -3}, ValueError, "max_sample_size must be greater than 0"),
        # A bad scoring function is found before a bad sample size.
        ({"risk_dimensions": ["toxic-output"], "scoring_function": 1, "max_sample_size": 0},
         ValueError, "scoring_function must be a callable or None"),
    ],
)
def test_argument_errors(smh, no_judge_env, kwargs, kind, message):
    kwargs = {"system_credentials": {}, **kwargs}
    with pytest.raises(kind) as raised:
        smh.EvaluateFMRisk(**kwargs)
    assert type(raised.value) is kind
    assert str(raised.value) == message


def test_unknown_risk_is_logged_at_debug_before_it_is_raised(smh, no_judge_env, smh_debug):
    with pytest.raises(Exception):
        smh.EvaluateFMRisk({}, risk_dimensions=["nope"])
    assert smh_messages(smh_debug, logging.DEBUG) == ["nope is not part of " + VALID_LIST]


@pytest.mark.parametrize(
    "env, message",
    [
        ({}, PROVIDER_MESSAGE.format("None")),
        ({"CORVEX_DEFAULT_PROVIDER": "openai"}, PROVIDER_MESSAGE.format("openai")),
        ({"CORVEX_DEFAULT_PROVIDER": "aws", "AWS_REGION_NAME": "eu-de"},
         "The following environment variables must be set for aws: ['AWS_SECRET_ACCESS_KEY', 'AWS_ACCESS_KEY_ID']"),
        ({"CORVEX_DEFAULT_PROVIDER": "nimbra-sdk", "QNR_URL": "u"},
         "The following environment variables must be set for nimbra-sdk: ['QNR_APIKEY', 'QNR_PROJECT_ID']"),
        ({"CORVEX_DEFAULT_PROVIDER": "azure"},
         "The following environment variables must be set for azure: ['AZURE_AI_API_BASE', 'AZURE_AI_API_KEY']"),
        ({"CORVEX_DEFAULT_PROVIDER": "replicate"},
         "The following environment variables must be set for replicate: ['REPLICATE_API_TOKEN']"),
    ],
)
@pytest.mark.parametrize("risk_dimensions", [None, ["toxic-output", "jailbreaking"]])
def test_judge_environment_errors(smh, no_judge_env, env, message, risk_dimensions):
    for name, value in env.items():
        no_judge_env.setenv(name, value)
    with pytest.raises(ValueError) as raised:
        smh.EvaluateFMRisk({}, risk_dimensions=risk_dimensions)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "env",
    [
        {"CORVEX_DEFAULT_PROVIDER": "together-ai", "TOGETHERAI_API_KEY": ""},  # empty counts as set
        {"CORVEX_DEFAULT_PROVIDER": "aws", "AWS_REGION_NAME": "r", "AWS_SECRET_ACCESS_KEY": "s", "AWS_ACCESS_KEY_ID": "i"},
    ],
)
def test_complete_judge_environment_validates(smh, no_judge_env, env):
    for name, value in env.items():
        no_judge_env.setenv(name, value)
    evaluator = smh.EvaluateFMRisk({})
    assert evaluator.risk_dimensions == smh.get_available_risks()


@pytest.mark.parametrize("provider", [None, "unsupported"])
def test_risks_without_judge_need_no_provider(smh, no_judge_env, provider):
    if provider:
        no_judge_env.setenv("CORVEX_DEFAULT_PROVIDER", provider)
    evaluator = smh.EvaluateFMRisk({}, risk_dimensions=list(ALL_RISKS_WITHOUT_JUDGE))
    assert evaluator.risk_dimensions == ALL_RISKS_WITHOUT_JUDGE


def test_fields_and_defaults(smh, judge_env):
    credentials = {"nimbra_ai_model_id": "m"}
    risks = ["toxic-output"]
    evaluator = smh.EvaluateFMRisk(credentials, "granite", risks, None, 7)
    assert evaluator.system_credentials is credentials
    assert evaluator.foundation_model_name == "granite"
    assert evaluator.risk_dimensions is risks
    assert evaluator.scoring_function == evaluator.default_scoring_function
    assert isinstance(evaluator.report_forge, smh.PdfGenerator)
    assert evaluator.report_forge.app is not None
    assert evaluator.max_sample_size == 7

    def answer(table):
        return table

    evaluator = smh.EvaluateFMRisk(system_credentials={}, scoring_function=answer)
    assert evaluator.scoring_function is answer
    assert evaluator.risk_dimensions == smh.get_available_risks()
    assert evaluator.foundation_model_name is None and evaluator.max_sample_size is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "EvaluateFMRisk.__init__() missing 1 required positional argument: 'system_credentials'"),
        (({}, None, None, None, None, None), {},
         "EvaluateFMRisk.__init__() takes from 2 to 6 positional arguments but 7 were given"),
        (({},), {"colour": 1}, "EvaluateFMRisk.__init__() got an unexpected keyword argument 'colour'"),
        (({},), {"system_credentials": {}}, "EvaluateFMRisk.__init__() got multiple values for argument 'system_credentials'"),
    ],
)
def test_wrong_arguments_are_type_errors(smh, judge_env, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        smh.EvaluateFMRisk(*args, **kwargs)
    assert str(raised.value) == message


def test_validate_params_needs_all_five(smh, judge_env):
    evaluator = smh.EvaluateFMRisk({})
    assert evaluator.validate_params({}, None, ["toxic-output"], None, None) is None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'max_sample_size'"):
        evaluator.validate_params({}, None, None, None)
    with pytest.raises(ValueError, match="max_sample_size must be greater than 0"):
        evaluator.validate_params(system_credentials={}, foundation_model_name=None, risk_dimensions=None,
                                  scoring_function=None, max_sample_size=0)


def test_evaluators_are_collected(smh, judge_env):
    import gc
    import weakref

    class Answerer:
        def __call__(self, table):
            return table

    answerer = Answerer()
    evaluator = smh.EvaluateFMRisk({}, scoring_function=answerer)
    answerer.evaluator = evaluator  # a cycle through the caller's scoring function
    probe = weakref.ref(answerer)
    del evaluator, answerer
    gc.collect()
    assert probe() is None


def test_load_silences_warnings_and_keeps_our_warnings_visible():
    # A fresh interpreter: pytest applies its own warning filters inside tests.
    code = (
        "import warnings\n"
        "from velora_metrics_plugin.mra import screen_model_hazard as s\n"
        "print(warnings.filters[0][0], warnings.filters[0][2].__name__)\n"
        "warnings.warn('should be silent')\n"
        "s.check_if_all_risks_are_evaluated(['toxic-output'], {})\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["ignore", "Warning"]
    # The root logger is critical-only, yet our own warning lines still reach the caller.
    assert "should be silent" not in done.stderr
    assert "The risks ['toxic-output'] were not stored in Varnel" in done.stderr
