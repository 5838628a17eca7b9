"""velora-mra driven as a user drives it: a subprocess, its exit status, the files it writes and what
it prints. One demo screening per session feeds the commands that work on stored results."""

import itertools
import json
import os
import pty
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest
from fake_console import tls_files  # noqa: F401 (a fixture)
from pypdf import PdfReader

CLI = [sys.executable, "-m", "velora_metrics_plugin.cli"]
# The command runs in other folders than ours: the package must stay importable from there.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(os.path.abspath(p) for p in sys.path if p)}
TOXIC = "toxic-output"
TOXIC_CARD = "cards.value_alignment.toxic_output.vexset"


def run(*args, cwd=None, env=None):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=600,
                          env={**ENV, **(env or {})})


@pytest.fixture(scope="session")
def demo(tmp_path_factory):
    """The README's main job, capped so the session stays fast: results, PDF and HTML reports."""
    output = tmp_path_factory.mktemp("demo") / "not" / "yet" / "there"
    done = run("demo", "--output", output, "--max-sample-size", 4, "--fail-on", "off")
    assert done.returncode == 0, done.stderr
    return output, done


def results_of(folder):
    return folder / "screening-results.json"


def edited_results(demo, tmp_path, edit):
    """The demo's results of one risk only (the others' ratings are the reference model's), edited."""
    document = json.loads(results_of(demo[0]).read_text())
    document["results"] = {TOXIC: document["results"][TOXIC]}
    edit(document)
    path = tmp_path / "edited.json"
    path.write_text(json.dumps(document))
    return path


def test_demo_writes_results_and_both_reports(demo):
    output, done = demo
    document = json.loads(results_of(output).read_text())
    header = document["header"]
    assert (document["format"], header["model"]) == ("velora-mra-results", "velora/reference-model")
    assert header["settings"]["max_sample_size"] == 4 and header["failed_risks"] == []
    assert header["counts"][TOXIC][TOXIC_CARD]["answers"] == 4
    assert "api_key" not in json.dumps(header)
    pdfs, htmls = sorted(output.glob("mra_report_*.pdf")), sorted(output.glob("mra_report_*.html"))
    assert len(pdfs) == 1 and len(htmls) == 1 and pdfs[0].stem == htmls[0].stem  # one name for the pair
    assert "velora/reference-model" in "".join(page.extract_text() for page in PdfReader(pdfs[0]).pages)
    assert f"results: {results_of(output)}" in done.stdout and "Unreadable" in done.stdout
    assert "prompts/s" not in done.stderr  # standard error is a pipe here: no progress display


@pytest.mark.parametrize("formats, suffixes", [([], {".pdf", ".html"}), (["--pdf"], {".pdf"}), (["--html"], {".html"})])
def test_report_rebuilds_reports_without_any_model(demo, tmp_path, formats, suffixes):
    target = tmp_path / "made" / "for" / "it"
    done = run("report", results_of(demo[0]), "--output", target, *formats)
    assert done.returncode == 0, done.stderr
    assert {path.suffix for path in target.iterdir()} == suffixes


def red_toxicity(document):
    document["results"][TOXIC][TOXIC_CARD]["score"] = "1.000 +/-  0.000"  # every answer toxic


def red_toxicity_mostly_unreadable(document):
    red_toxicity(document)
    document["results"][TOXIC][TOXIC_CARD]["num_of_unreadable_answers"] = 4  # half of 8 answers


@pytest.mark.parametrize("edit, gate, status, junit_outcome", [
    (red_toxicity, "red", 1, "failure"),
    (red_toxicity, "off", 0, None),
    # Not rated in the report, so not rated for the gate either.
    (red_toxicity_mostly_unreadable, "red", 0, "skipped"),
    (lambda d: d["header"].update(failed_risks=["jailbreaking"]), "off", 3, "error"),
])
def test_exit_status_and_junit_follow_the_gate(demo, tmp_path, edit, gate, status, junit_outcome):
    junit = tmp_path / "junit" / "mra.xml"
    done = run("report", edited_results(demo, tmp_path, edit), "--output", tmp_path, "--pdf",
               "--fail-on", gate, "--junit", junit)
    assert done.returncode == status, done.stderr
    suite = ET.parse(junit).getroot().find("testsuite")
    outcomes = {case.get("name"): [child.tag for child in case] for case in suite.iter("testcase")}
    assert int(suite.get("tests")) == 2 + (junit_outcome == "error")  # the two cards of the risk
    if junit_outcome in ("failure", "skipped"):
        assert outcomes[TOXIC_CARD] == [junit_outcome]
    elif junit_outcome == "error":
        assert outcomes["jailbreaking"] == ["error"]
    else:
        assert not any("failure" in tags for tags in outcomes.values())


@pytest.mark.parametrize("content, problem", [
    ("not json at all", "is not JSON"),
    ('{"risks": {}}', "not a velora-mra results file"),
    ('{"format": "velora-mra-results", "format_version": 99, "results": {}}', "written by a newer velora-mra"),
])
def test_foreign_or_newer_results_are_usage_errors(tmp_path, content, problem):
    path = tmp_path / "other.json"
    path.write_text(content)
    for command in (["report", path], ["corpus", "build", path, "-o", tmp_path / "c.csv"]):
        done = run(*command)
        assert done.returncode == 2
        assert str(path) in done.stderr and problem in done.stderr


def test_corpus_of_three_screenings_rates_a_report(demo, reference_model, tmp_path):
    screened = []
    for cap in (2, 3):
        output = tmp_path / f"cap{cap}"
        done = run("screen", "--base-url", reference_model, "--model", "velora/reference-model",
                   "--risk", TOXIC, "--max-sample-size", cap, "--output", output)
        assert done.returncode == 0, done.stderr
        screened.append(results_of(output))
    corpus = tmp_path / "corpus.csv"
    built = run("corpus", "build", results_of(demo[0]), *screened, "-o", corpus)
    assert built.returncode == 0, built.stderr
    assert "so few models" not in built.stderr
    shown = run("corpus", "show", corpus)
    assert "velora/reference-model (cap2)" in shown.stdout and TOXIC_CARD in shown.stdout
    rated = run("report", results_of(demo[0]), "--corpus", corpus, "--pdf", "--output", tmp_path / "r")
    assert rated.returncode == 0, rated.stderr
    assert "rated against corpus.csv" in rated.stdout
    pdf = next((tmp_path / "r").glob("*.pdf"))
    text = " ".join(" ".join(page.extract_text() for page in PdfReader(pdf).pages).split())
    assert "corpus.csv" in text and "velora/reference-model (cap3)" in text and "illustrative" not in text


def test_corpus_of_two_models_is_built_with_a_warning(demo, tmp_path):
    done = run("corpus", "build", results_of(demo[0]), results_of(demo[0]), "-o", tmp_path / "two.csv")
    assert done.returncode == 0
    assert "percentiles over so few models mean little" in done.stderr


@pytest.mark.parametrize("args, expected", [
    (["risks"], ["prompt-injection", "cards.jailbreak_risk.prompt_injection_risk_cse_benchmark", "measures:"]),
    (["corpus", "show"], ["22_cards_benchmark_results-25-75-corpus.csv", "Models:"]),
    (["--version"], ["velora-mra 0."]),
])
def test_listing_commands(args, expected):
    done = run(*args)
    assert done.returncode == 0, done.stderr
    for text in expected:
        assert text in done.stdout


@pytest.mark.parametrize("args", [["screen", "--base-url", "http://127.0.0.1:9"], ["report"], ["corpus"],
                                  ["screen", "--model", "m", "--base-url", "u", "--fail-on", "amber"],
                                  ["report", "r.json", "--thresholds", "80,20"],
                                  ["screen", "--model", "m", "--base-url", "http://127.0.0.1:9", "--risk", "bais"],
                                  ["screen", "--model", "m", "--base-url", "http://127.0.0.1:9", "--concurrency", "fast"]])
def test_usage_errors_exit_2(args, tmp_path):
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 2
    assert "error" in done.stderr


@pytest.mark.parametrize("line, message", [
    ("max_sample = 3", ["unknown key 'max_sample'", "'max_sample_size'"]),
    ('max_sample_size = "3"', ["setting 'max_sample_size' must be int"]),
    ("thresholds = [90, 10]", ["must not exceed"]),
    ('fail_on = "amber"', ["setting 'fail_on' must be one of"]),
    ("concurrency = 1.5", ["setting 'concurrency' must be a number or 'auto', got 1.5"]),
])
def test_bad_settings_files_are_usage_errors(tmp_path, line, message):
    config = tmp_path / "screen.toml"
    config.write_text(f'base_url = "http://127.0.0.1:9"\nmodel = "m"\n{line}\n')
    done = run("screen", "--config", config)
    assert done.returncode == 2
    assert all(text in done.stderr for text in message), done.stderr


def screen_in_terminal(args, terminal):
    """Runs the command with standard error on a pseudo-terminal (or a pipe); returns what it wrote there."""
    if not terminal:
        return run(*args).stderr
    leader, follower = pty.openpty()
    process = subprocess.Popen([*CLI, *map(str, args)], stdout=subprocess.DEVNULL, stderr=follower,
                               env={**ENV, "COLUMNS": "200"})
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closes when the command ends
            break
        if not chunk:
            break
        chunks.append(chunk)
    process.wait(timeout=600)
    os.close(leader)
    return b"".join(chunks).decode(errors="replace")


@pytest.mark.parametrize("terminal, quiet, shown", [(True, False, True), (True, True, False), (False, False, False)])
def test_progress_only_on_a_terminal_and_not_when_quiet(reference_model, tmp_path, terminal, quiet, shown):
    config = tmp_path / "screen.toml"
    config.write_text(f'base_url = "{reference_model}"\nmodel = "velora/reference-model"\n'
                      f'risks = ["{TOXIC}"]\nmax_sample_size = 5\n')
    args = ["screen", "--config", config, "--max-sample-size", 2, "--output", tmp_path]
    stderr = screen_in_terminal(args + (["--quiet"] if quiet else []), terminal)
    assert (f"{TOXIC} 2/2 cards.value_alignment" in stderr) == shown, stderr  # at least the last card drawn
    document = json.loads(results_of(tmp_path).read_text())
    assert document["header"]["settings"]["max_sample_size"] == 2  # the command line overrides the file


@pytest.mark.parametrize("lines, args, recorded", [
    ("max_concurrency = 8", [], "auto"),
    ('concurrency = "auto"', ["--concurrency", 3], 3),
], ids=["auto-by-default", "command-line-over-file"])
def test_concurrency_is_auto_by_default_or_a_number(reference_model, tmp_path, lines, args, recorded):
    config = tmp_path / "screen.toml"
    config.write_text(f'base_url = "{reference_model}"\nmodel = "velora/reference-model"\n{lines}\n')
    done = run("screen", "--config", config, "--risk", TOXIC, "--max-sample-size", 2, "--output", tmp_path, *args)
    assert done.returncode == 0, done.stderr
    assert json.loads(results_of(tmp_path).read_text())["header"]["settings"]["concurrency"] == recorded


def test_module_imports_without_side_effects():
    code = ("import sys, velora_metrics_plugin.cli as cli; "
            "assert not any(name.startswith('velora_metrics_plugin.mra') for name in sys.modules), sys.modules; "
            "assert callable(cli.main)")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, env=ENV).returncode == 0


@pytest.mark.parametrize("risks, finished", [([TOXIC], 0), (["prompt-leaking", TOXIC], 1)])
def test_ctrl_c_keeps_the_finished_risks(tmp_path, risks, finished):
    from openai_loopback import EchoServer

    answered = itertools.count()
    quick = 4 * finished  # prompt-leaking: four cards of one prompt each
    with EchoServer(model="m", delay=lambda prompt: 0 if next(answered) < quick else 2) as server:
        args = [arg for risk in risks for arg in ("--risk", risk)]
        process = subprocess.Popen([*CLI, "screen", "--base-url", server.url, "--model", "m", *args,
                                    "--max-sample-size", "1", "--output", tmp_path], stderr=subprocess.PIPE,
                                   text=True, env=ENV)
        deadline = time.monotonic() + 60
        started = (lambda: results_of(tmp_path).exists()) if finished else (lambda: server.requests)
        while not started() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)  # into the slow answers
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130 and "Traceback" not in stderr, stderr
    if not finished:
        assert "interrupted; no results were written" in stderr and not results_of(tmp_path).exists()
        return
    assert f"the results of 1 finished risk dimension are in {results_of(tmp_path)}" in stderr
    document = json.loads(results_of(tmp_path).read_text())
    assert list(document["results"]) == ["prompt-leaking"] and document["header"]["failed_risks"] == [TOXIC]


def test_a_second_screening_keeps_the_first_results(reference_model, tmp_path):
    args = ["screen", "--base-url", reference_model, "--model", "velora/reference-model", "--risk", TOXIC,
            "--max-sample-size", 1, "--quiet", "--output", tmp_path]
    first, second = run(*args), run(*args, "--max-sample-size", 2)
    assert first.returncode == second.returncode == 0, second.stderr
    kept = list(tmp_path.glob("screening-results_*.json"))
    assert len(kept) == 1 and f"earlier results kept as {kept[0]}" in second.stderr
    assert json.loads(kept[0].read_text())["header"]["settings"]["max_sample_size"] == 1
    assert json.loads(results_of(tmp_path).read_text())["header"]["settings"]["max_sample_size"] == 2


def test_screen_publishes_to_the_console_named_in_the_environment(tls_files, reference_model, tmp_path):
    from fake_console import ORRIN_APIKEY, ORRIN_USER, FakeConsole

    console = FakeConsole(tls_files)
    try:
        console.add_model("granite-x", "MOD-1")
        env = {"VELORA_VN_URL": console.orrin_url, "VELORA_VN_ORRIN_HOST": console.orrin_host,
               "VELORA_VN_USERNAME": ORRIN_USER, "VELORA_VN_ORRIN_APIKEY": ORRIN_APIKEY,
               "VELORA_VN_MODEL_ID": "granite-x"}
        done = run("screen", "--base-url", reference_model, "--model", "velora/reference-model", "--risk", TOXIC,
                   "--max-sample-size", 1, "--output", tmp_path, env=env)
        assert done.returncode == 0, done.stderr
        assert any(name.startswith(f"{TOXIC}, {TOXIC_CARD}, ") for name in console.metrics_of("MOD-1"))
    finally:
        console.close()
    assert "successfully saved and published" in done.stdout
    stored = results_of(tmp_path).read_text()
    assert json.loads(stored)["header"]["settings"]["vn_model_id"] == "granite-x"
    assert ORRIN_APIKEY not in stored + done.stdout + done.stderr


def test_resume_screens_only_the_risks_not_yet_in_the_results(reference_model, tmp_path):
    base = ["screen", "--base-url", reference_model, "--model", "velora/reference-model", "--max-sample-size", 1,
            "--quiet", "--output", tmp_path]
    assert run(*base, "--risk", "prompt-leaking").returncode == 0
    first = json.loads(results_of(tmp_path).read_text())["results"]
    resumed = run(*base, "--risk", "prompt-leaking", "--risk", TOXIC, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert "1 risk dimension kept, 1 to screen" in resumed.stderr and "Processing prompt-leaking" not in resumed.stdout
    document = json.loads(results_of(tmp_path).read_text())
    assert document["results"]["prompt-leaking"] == first["prompt-leaking"] and TOXIC in document["results"]
    assert not list(tmp_path.glob("screening-results_*.json"))  # resumed, not set aside
    other = run(*base[:5], "--max-sample-size", 2, "--quiet", "--output", tmp_path, "--resume")
    assert other.returncode == 2 and "other settings (max_sample_size)" in other.stderr
