"""velora-mra driven as a user drives it: a subprocess, its exit status, the files it writes and what
it prints. One demo screening per session feeds the commands that work on stored results."""

import itertools
import json
import os
import pty
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from urllib.parse import urlsplit

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
    # Not rated in the report, so not rated for the gate either: a gate never passes what it could not rate.
    (red_toxicity_mostly_unreadable, "red", 1, "failure"),
    (red_toxicity_mostly_unreadable, "red --allow-unrated", 0, "skipped"),
    (lambda d: d["header"].update(failed_risks=["jailbreaking"]), "off", 3, "error"),
])
def test_exit_status_and_junit_follow_the_gate(demo, tmp_path, edit, gate, status, junit_outcome):
    junit = tmp_path / "junit" / "mra.xml"
    done = run("report", edited_results(demo, tmp_path, edit), "--output", tmp_path, "--pdf",
               "--fail-on", *gate.split(), "--junit", junit)
    assert done.returncode == status, done.stderr
    suite = ET.parse(junit).getroot().find("testsuite")
    outcomes = {case.get("name"): [child.tag for child in case] for case in suite.iter("testcase")}
    assert int(suite.get("tests")) == 2 + (junit_outcome == "error")  # the two cards of the risk
    if junit_outcome in ("failure", "skipped"):
        assert outcomes[TOXIC_CARD] == [junit_outcome]
        if edit is red_toxicity_mostly_unreadable:
            message = next(case for case in suite.iter("testcase") if case.get("name") == TOXIC_CARD)[0].get("message")
            assert message.startswith("not rated: 4 of 8 answers could not be read"), message
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


def screen_echo(server, *args, env=None, risk=TOXIC, cap=1):
    return run("screen", "--base-url", server.url, "--model", server.model, "--risk", risk,
               "--max-sample-size", cap, "--quiet", *args, env=env)


@pytest.mark.parametrize("option", ["--model", "--risk"])
def test_arguments_that_are_not_utf8_are_usage_errors(tmp_path, option):
    values = {"--model": "m", "--risk": TOXIC, "--output": str(tmp_path)}
    values[option] = b"\xff"
    args = [part for pair in values.items() for part in pair]
    done = subprocess.run([*CLI, "screen", "--base-url", "http://127.0.0.1:9", *args], capture_output=True,
                          timeout=60, env=ENV)
    assert done.returncode == 2, done.stderr
    assert done.stderr.decode().strip() == f"velora-mra: error: {option}: not UTF-8 text"


@pytest.mark.parametrize("skip", [None, ["--no-check-model"], "check_model = false"])
def test_the_model_check_is_skipped_by_option_or_setting_and_told_once(tmp_path, skip):
    from openai_loopback import EchoServer

    config = tmp_path / "screen.toml"
    config.write_text(skip if isinstance(skip, str) else "")
    with EchoServer(model="m", models=["/models/m.gguf"]) as server:
        done = screen_echo(server, "--config", config, "--output", tmp_path, *(skip if isinstance(skip, list) else []))
    if skip:
        assert done.returncode == 0, done.stderr
        return
    assert done.returncode == 2 and done.stderr.count("--no-check-model skips this check") == 1, done.stderr
    assert "check_model=False" not in done.stderr and not results_of(tmp_path).exists()


@pytest.fixture
def keyed_reference_model():
    """A reference model that wants an API key (not the one the screenings here send)."""
    from conftest import reference_model_binary

    server = subprocess.Popen([reference_model_binary(), "--host", "127.0.0.1", "--port", "0", "--api-key-env",
                               "REFERENCE_KEY"], env={**os.environ, "REFERENCE_KEY": "s3cret"},
                              stdout=subprocess.PIPE, text=True)
    yield server.stdout.readline().removeprefix("listening on ").strip()
    server.terminate()
    server.wait(timeout=10)
    server.stdout.close()


@pytest.mark.parametrize("target, fault", [
    ("http://127.0.0.1:9", "/v1/models failed"),         # nothing listens there
    ("{reference}/wrong/v1", "answered HTTP 404"),        # a wrong path
    ("{echo}", "Model 'other' is not served"),            # a model it does not serve
    ("{keyed}", "answered HTTP 401: the API key was refused"),
])
def test_a_bad_target_is_a_usage_error_before_anything_is_screened(reference_model, keyed_reference_model, tmp_path,
                                                                   target, fault):
    from openai_loopback import EchoServer

    with EchoServer(model="m") as server:
        url = target.format(echo=server.url, reference=reference_model, keyed=keyed_reference_model)
        done = run("screen", "--base-url", url, "--model", "other", "--risk", TOXIC, "--output", tmp_path)
    assert done.returncode == 2 and fault in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1
    assert not server.generation_requests() and not results_of(tmp_path).exists()


@pytest.mark.parametrize("where, value", [("option", None), ("option", ""), ("setting", None)])
def test_a_named_api_key_variable_must_hold_a_key(tmp_path, where, value):
    from openai_loopback import EchoServer

    config = tmp_path / "screen.toml"
    config.write_text('api_key_env = "TEAM_KEY"\n' if where == "setting" else "")
    named = ["--api-key-env", "TEAM_KEY"] if where == "option" else []
    with EchoServer(model="m") as server:
        done = screen_echo(server, "--config", config, *named, "--output", tmp_path,
                           env={} if value is None else {"TEAM_KEY": value})
        assert not server.requests
    assert done.returncode == 2, done.stderr
    assert f"names TEAM_KEY, which is {'empty' if value == '' else 'not set'}" in done.stderr


def test_the_project_id_is_sent_with_every_request(tmp_path):
    from openai_loopback import EchoServer

    with EchoServer(model="m") as server:
        done = screen_echo(server, "--project-id", "proj-7", "--output", tmp_path)
    assert done.returncode == 0, done.stderr
    assert {r["headers"].get("nimbra-project-id") for r in server.requests} == {"proj-7"}


def test_the_cap_holds_for_cards_loaded_by_recipe(tmp_path):
    from openai_loopback import EchoServer

    with EchoServer(model="m") as server:
        done = screen_echo(server, "--output", tmp_path, risk="hallucination", cap=3)
    assert len(server.generation_requests()) == 3, done.stderr  # truthfulqa's recipe alone asks for 100


def test_a_quiet_screening_names_the_card_of_each_truncation_and_no_risk(reference_model, tmp_path):
    done = run("screen", "--base-url", reference_model, "--model", "velora/reference-model", "--risk", TOXIC,
               "--max-sample-size", 2, "--max-tokens", 1, "--quiet", "--output", tmp_path)
    assert done.returncode == 0, done.stderr
    cut = [line for line in done.stderr.splitlines() if "cut by the length limit" in line]
    assert cut and all("Card cards." in line for line in cut), done.stderr
    assert len(set(cut)) == len(cut) and "Processing" not in done.stdout


def test_a_failed_risk_says_why_in_the_summary(tmp_path):
    from openai_loopback import EchoServer

    refusal = (400, {}, {"error": {"message": "context too long"}})
    with EchoServer(model="m", fault=lambda *_: refusal) as server:
        done = screen_echo(server, "--output", tmp_path)
    assert done.returncode == 3, done.stderr
    assert f"{TOXIC}: FAILED to evaluate: card {TOXIC_CARD}: POST {server.url}/v1/chat/completions answered " \
           "HTTP 400" in done.stdout and "context too long" in done.stdout


def test_the_judge_is_recorded_and_named_in_both_reports(demo):
    output, _ = demo
    settings = json.loads(results_of(output).read_text())["header"]["settings"]
    assert (settings["judge_provider"], settings["judge_model"]) == ("nimbra-sdk", "velora/reference-model")
    named = "velora/reference-model (provider nimbra-sdk)"
    assert named in next(output.glob("*.html")).read_text()
    assert named in " ".join(" ".join(p.extract_text() for p in PdfReader(next(output.glob("*.pdf"))).pages).split())


def test_bad_judge_settings_are_usage_errors_before_the_model_is_asked(reference_model, tmp_path):
    from openai_loopback import EchoServer

    env = {"CORVEX_DEFAULT_PROVIDER": "nimbra-sdk", "QNR_URL": reference_model, "QNR_APIKEY": "k",
           "QNR_PROJECT_ID": "p", "CORVEX_JUDGE_TIMEOUT": "soon"}
    with EchoServer(model="m") as server:
        done = screen_echo(server, "--output", tmp_path, env=env, risk="jailbreaking")
    assert done.returncode == 2 and "CORVEX_JUDGE_TIMEOUT must be a positive number" in done.stderr, done.stderr
    assert not server.generation_requests() and not results_of(tmp_path).exists()


@pytest.mark.parametrize("gate, status, outcome", [("orange", 1, "failure"), ("orange --allow-unrated", 0, "skipped")])
def test_a_risk_without_cards_is_not_rated(demo, tmp_path, gate, status, outcome):
    path = edited_results(demo, tmp_path, lambda d: d.update(results={"prompt-leaking": {}}))
    junit = tmp_path / "mra.xml"
    done = run("report", path, "--output", tmp_path, "--html", "--fail-on", *gate.split(), "--junit", junit)
    assert done.returncode == status, done.stdout + done.stderr
    assert "prompt-leaking: not rated (no card of this risk dimension was evaluated)" in done.stdout
    case = next(ET.parse(junit).getroot().iter("testcase"))
    assert (case.get("name"), case[0].tag) == ("prompt-leaking", outcome)


def test_resume_screens_a_risk_that_holds_no_card(reference_model, tmp_path):
    args = ["screen", "--base-url", reference_model, "--model", "velora/reference-model", "--max-sample-size", 1,
            "--quiet", "--output", tmp_path, "--risk", "prompt-leaking"]
    assert run(*args).returncode == 0
    document = json.loads(results_of(tmp_path).read_text())
    document["results"]["prompt-leaking"] = {}
    results_of(tmp_path).write_text(json.dumps(document))
    resumed = run(*args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert "0 risk dimensions kept, 1 to screen" in resumed.stderr
    assert json.loads(results_of(tmp_path).read_text())["results"]["prompt-leaking"]


@pytest.mark.parametrize("content, problem", [
    (b"deep = " + b"[" * 5000 + b"]" * 5000 + b"\n", "nests too deeply"),
    (b'model = "caf\xe9"\n', "not UTF-8"),
])
def test_unreadable_settings_files_are_usage_errors_naming_the_file(tmp_path, content, problem):
    config = tmp_path / "screen.toml"
    config.write_bytes(content)
    done = run("screen", "--config", config)
    lines = done.stderr.splitlines()
    assert done.returncode == 2 and len(lines) == 1, done.stderr
    assert lines[0].startswith(f"velora-mra: error: {config}: ") and problem in lines[0]


def test_sigterm_while_publishing_rolls_back_like_ctrl_c(tls_files, tmp_path):
    from fake_console import ORRIN_APIKEY, ORRIN_USER, FakeConsole
    from openai_loopback import EchoServer

    console = FakeConsole(tls_files)
    try:
        console.add_model("granite-x", "MOD-1")
        console.write_faults[1] = "no-answer"  # the second write is done, its answer held back
        env = {**ENV, "VELORA_VN_URL": console.orrin_url, "VELORA_VN_ORRIN_HOST": console.orrin_host,
               "VELORA_VN_USERNAME": ORRIN_USER, "VELORA_VN_ORRIN_APIKEY": ORRIN_APIKEY,
               "VELORA_VN_MODEL_ID": "granite-x"}
        with EchoServer(model="m") as server:
            process = subprocess.Popen([*CLI, "screen", "--base-url", server.url, "--model", "m", "--risk",
                                        "prompt-leaking", "--max-sample-size", "1", "--output", tmp_path],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
            assert console.holding.wait(120), "the console never saw the held write"
            process.send_signal(signal.SIGTERM)
            _, stderr = process.communicate(timeout=120)
        assert console.metrics_of("MOD-1") == {}  # what was published is rolled back
    finally:
        console.close()
    assert process.returncode == 143 and "Traceback" not in stderr, stderr
    assert "velora-mra: terminated; no results were written" in stderr.splitlines()


def test_a_second_screening_into_a_busy_folder_is_refused(tmp_path):
    from openai_loopback import EchoServer

    slow = [True]
    with EchoServer(model="m", delay=lambda prompt: 10 if slow[0] else 0) as server:
        args = ["screen", "--base-url", server.url, "--model", "m", "--risk", TOXIC, "--max-sample-size", "1",
                "--quiet", "--output", tmp_path]
        first = subprocess.Popen([*CLI, *map(str, args)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env=ENV)
        deadline = time.monotonic() + 120
        while not server.requests and time.monotonic() < deadline:
            time.sleep(0.05)
        second = run(*args)
        assert second.returncode == 2, second.stderr
        assert f"another screening is writing into {tmp_path}" in second.stderr
        first.kill()  # a crash: its lock ends with it
        first.wait(timeout=30)
        slow[0] = False
        third = run(*args)
    assert third.returncode == 0, third.stderr
    assert json.loads(results_of(tmp_path).read_text())["header"]["model"] == "m"


def test_a_password_in_the_base_url_is_kept_nowhere(tmp_path):
    from openai_loopback import EchoServer

    with EchoServer(model="m") as server:
        base_url = server.url.replace("http://", "http://ops:pw-7f3e1a@")
        args = ["screen", "--base-url", base_url, "--model", "m", "--risk", "prompt-leaking", "--max-sample-size",
                "1", "--quiet", "--output", tmp_path, "--junit", tmp_path / "mra.xml"]
        done = run(*args)
        resumed = run(*args, "--resume")
    assert done.returncode == 0, done.stderr
    assert resumed.returncode == 0, resumed.stderr  # the same settings, though stored without the password
    written = "".join(path.read_text(errors="replace") for path in tmp_path.iterdir() if path.is_file())
    assert "pw-7f3e1a" not in written + done.stdout + done.stderr
    assert json.loads(results_of(tmp_path).read_text())["header"]["settings"]["base_url"] == server.url


def test_a_failed_risk_names_its_cause_in_junit_and_the_terminal_shows_no_control_sequence(tmp_path):
    from openai_loopback import EchoServer

    refused = (400, {}, b'{"error": {"message": "\x1b]0;owned\x07\x1b[2Jbad prompt"}}')
    with EchoServer(model="m", fault=lambda prompt, attempt, in_flight: refused) as server:
        done = run("screen", "--base-url", server.url, "--model", "m", "--risk", "prompt-leaking",
                   "--max-sample-size", "1", "--output", tmp_path, "--junit", tmp_path / "mra.xml")
    assert done.returncode == 3, done.stderr
    error = ET.parse(tmp_path / "mra.xml").getroot().find("testsuite/testcase/error").get("message")
    assert error.startswith("the risk dimension failed to evaluate: card cards.prompt_leakage"), error
    assert "bad prompt" in error
    header = json.loads(results_of(tmp_path).read_text())["header"]
    assert header["failure_causes"]["prompt-leaking"].startswith("card cards.prompt_leakage")
    assert "bad prompt" in done.stderr and "\x1b" not in done.stderr + done.stdout


def test_names_from_a_results_file_reach_the_terminal_escaped(demo, tmp_path):
    hostile = "\x1b]0;owned\x07\x1b[2J"

    def rename(document):
        document["header"]["model"] = "m" + hostile
        document["results"][TOXIC]["cards.x" + hostile] = document["results"][TOXIC][TOXIC_CARD]

    done = run("report", edited_results(demo, tmp_path, rename), "--output", tmp_path, "--html")
    assert done.returncode == 0, done.stderr
    assert "\x1b" not in done.stdout + done.stderr
    assert "m\\x1b]0;owned\\x07" in done.stdout and "cards.x\\x1b" in done.stdout


def test_a_corpus_names_formula_like_models_harmlessly(demo, tmp_path):
    import csv

    path = edited_results(demo, tmp_path, lambda d: d["header"].update(model='=HYPERLINK("http://x","y")'))
    corpus = tmp_path / "corpus.csv"
    built = run("corpus", "build", path, "-o", corpus)
    assert built.returncode == 0, built.stderr
    with open(corpus, newline="") as file:
        header = next(csv.reader(file))
    assert header[5] == "'=HYPERLINK(\"http://x\",\"y\")"
    assert 'Models: =HYPERLINK("http://x","y")' in run("corpus", "show", corpus).stdout  # read back as named


def listening(url):
    address = urlsplit(url)
    with socket.socket() as probe:
        return probe.connect_ex((address.hostname, address.port)) == 0


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGKILL])
def test_a_stopped_demo_leaves_no_reference_model_listening(tmp_path, stop):
    process = subprocess.Popen([*CLI, "demo", "--output", tmp_path], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, env=ENV)
    for line in process.stderr:
        if "listening on " in line:
            break
    url = line.rsplit(" ", 1)[-1].strip()
    assert listening(url), line
    process.send_signal(stop)
    process.wait(timeout=60)
    process.stderr.close()
    deadline = time.monotonic() + 10
    while listening(url) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not listening(url)
