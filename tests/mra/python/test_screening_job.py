"""screening_job called from Python: what a script meets that the command line does not show."""

import pytest


@pytest.fixture
def job():
    from velora_metrics_plugin.mra import screening_job

    return screening_job


def test_results_are_read_back_as_written_with_their_counts(job, tmp_path):
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {
        "score_name": "toxicity_rate", "score": "0.100 +/-  0.050", "num_of_instances": 9,
        "num_of_unreadable_answers": 1, "all_scores": [0.0, 1.0]}}}
    path = job.write_results(tmp_path / "a" / "r.json", results, model="m", settings={"max_tokens": 8},
                             failed_risks=["jailbreaking"])
    document = job.read_results(path)
    assert document["results"] == results
    header = document["header"]
    assert (header["model"], header["settings"], header["failed_risks"]) == ("m", {"max_tokens": 8}, ["jailbreaking"])
    assert header["counts"] == {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {
        "answers": 9, "unreadable_answers": 1}}}
    assert header["library_version"] == job.library_version


@pytest.mark.parametrize("results, kind, message", [
    ("circular", ValueError, "Circular reference detected"),  # a dict holding itself
    ({"r": {"c": {"score": object()}}}, TypeError, "not JSON serializable"),
    ({"r": {"c": {"x": 1}}}, ValueError, "has no \"score\""),  # a file nobody could read back
])
def test_results_that_cannot_be_stored_are_refused_before_writing(job, tmp_path, results, kind, message):
    if results == "circular":
        results = {"r": {"c": {"score": 0.5}}}
        results["r"]["c"]["self"] = results
    with pytest.raises(kind, match=message):
        job.write_results(tmp_path / "r.json", results, model="m")
    assert not list(tmp_path.iterdir())


def test_a_missing_custom_corpus_fails_the_report_naming_it(tmp_path):
    from velora_metrics_plugin.mra import report_forge

    missing = tmp_path / "nowhere.csv"
    with pytest.raises(FileNotFoundError, match="path_to_corps_data file not found at .*nowhere.csv"):
        report_forge.PdfGenerator().download_html(str(tmp_path), {}, {}, {}, corpus_file=str(missing))


def test_judged_risks_without_a_judge_are_refused_before_any_model_is_asked(job, no_judge_env):
    asked = []
    with pytest.raises(job.SettingsError, match="CORVEX_DEFAULT_PROVIDER must be set"):
        job.screen("m", ["toxic-output", "jailbreaking"], asked.append)
    assert asked == []


@pytest.mark.parametrize("text, message", [("25", "two percentages"), ("x,75", "two percentages"),
                                           ("-5,75", "from 0 to 100"), ("75,25", "must not exceed")])
def test_thresholds_are_checked(job, text, message):
    with pytest.raises(job.SettingsError, match=message):
        job.parse_thresholds(text)


def test_a_risk_that_raises_fails_alone_and_the_others_keep_their_results(job, monkeypatch, caplog):
    from velora_metrics_plugin.mra import screen_model_hazard as smh

    class ConsoleDownOnToxicity(smh.EvaluateFMRisk):
        def screen_model_hazards(self):
            if self.risk_dimensions == ["toxic-output"]:
                raise ConnectionError("console unreachable")
            return super().screen_model_hazards()

    monkeypatch.setattr(smh, "EvaluateFMRisk", ConsoleDownOnToxicity)
    answers = lambda table: table.rename(columns={"source": "generated_text"})[["generated_text"]]
    results, failed = job.screen("m", ["toxic-output", "prompt-leaking"], answers, max_sample_size=2)
    assert failed == {"toxic-output": "ConnectionError: console unreachable"} and list(results) == ["prompt-leaking"]
    assert "Risk dimension toxic-output stopped: ConnectionError: console unreachable" in caplog.text


@pytest.mark.parametrize("risks, variables, judge", [
    (["jailbreaking"], {"CORVEX_JUDGE_MODEL": "judge-x"}, {"provider": "together-ai", "model": "judge-x"}),
    (["toxic-output"], {"CORVEX_JUDGE_MODEL": "judge-x"}, None),  # no judged card
    (["jailbreaking"], {"CORVEX_JUDGE_CONCURRENCY": "500"}, "CORVEX_JUDGE_CONCURRENCY must be a whole number"),
])
def test_the_judge_of_a_screening_is_read_and_checked_without_asking_it(job, judge_env, risks, variables, judge):
    for name, value in variables.items():
        judge_env.setenv(name, value)
    if isinstance(judge, str):
        with pytest.raises(job.SettingsError, match=judge):
            job.judge_of(risks)
    else:
        assert job.judge_of(risks) == judge
