"""A str argument that has no UTF-8 form (a lone surrogate) is bad input: each module raises the
error kind it raises for bad input, naming the argument."""

import pytest

LONE = "a\ud800b"


def evaluator_with_credential(judge_env):
    from velora_metrics_plugin.mra import screen_model_hazard

    return screen_model_hazard.EvaluateFMRisk({"vn_url": "https://console.example", "vn_apikey": LONE})


def evaluator_with_model_name(judge_env):
    from velora_metrics_plugin.mra import screen_model_hazard

    return screen_model_hazard.EvaluateFMRisk({}, foundation_model_name=LONE)


def report_duplication_check(_):
    from velora_metrics_plugin.mra import report_forge

    return report_forge.check_duplication_in_summary(LONE, "summary")


def corvex_dataset(_):
    import corvex

    return corvex.load_dataset(card=LONE)


def console_token_url(_):
    from velora_metrics_plugin.common.utils.vn_url_mapping import get_iam_url_from_vn_url

    return get_iam_url_from_vn_url(LONE)


def corvex_error():
    from corvex.error_utils import CorvexError

    return CorvexError


@pytest.mark.parametrize("call, kind, argument", [
    (evaluator_with_credential, lambda: ValueError, "system_credentials['vn_apikey']"),
    (evaluator_with_model_name, lambda: ValueError, "foundation_model_name"),
    (report_duplication_check, lambda: ValueError, "risk_name"),
    (corvex_dataset, corvex_error, "card"),
    (console_token_url, lambda: ValueError, "vn_url"),
])
def test_lone_surrogate_is_bad_input_naming_the_argument(judge_env, call, kind, argument):
    with pytest.raises(kind()) as raised:
        call(judge_env)
    assert str(raised.value) == f"{argument} is not valid text: it holds a lone surrogate"
