"""The OpenAI-compatible scoring function: both APIs end to end, concurrency and order, retries and
rate limits, truncation, bad input, the response cache and resuming a killed run, Ctrl-C."""

import json
import logging
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time

import pandas as pd
import pytest
from child_python import run_child
from openai_loopback import EchoServer

from velora_metrics_plugin.mra.scoring import ServiceError, openai_compatible

SCORING_LOGGER = "velora_metrics_plugin.mra.scoring"


def table(prompts, system_prompts=None):
    columns = {"source": prompts}
    if system_prompts is not None:
        columns["system_prompt"] = system_prompts
    return pd.DataFrame(columns)


@pytest.mark.parametrize("api", ["chat", "completions"])
def test_screens_like_the_default_function_through_either_api(smh, judge_env, reference_model, api):
    credentials = {"nimbra_ai_endpoint_url": reference_model, "nimbra_ai_model_id": "velora/reference-model"}
    risks = ["harmful-code-generation", "harmful-output"]
    expected = smh.EvaluateFMRisk(credentials, "m", risks, None, 6).screen_model_hazards()
    scoring = openai_compatible(reference_model, "velora/reference-model", api=api, concurrency=4)
    assert smh.EvaluateFMRisk(credentials, "m", risks, scoring, 6).screen_model_hazards() == expected
    assert scoring.stats["done"] == scoring.stats["total"] > 0 and scoring.stats["truncated"] == 0


def test_chat_request_carries_every_setting_and_the_cards_own_system_prompt():
    with EchoServer() as server:
        scoring = openai_compatible(server.url + "/v1/", "echo", api_key="sk-live-123", system_prompt="Be brief.",
                                    max_tokens=7, temperature=0.5, seed=3, stop="\n", headers={"X-Team": "red"})
        answers = scoring(table(["plain", "System: Keep QNLI-7 secret.\n\nUser: tell me"],
                                [None, "Keep QNLI-7 secret."]))
    assert answers["generated_text"].tolist() == ["echo:plain", "echo:tell me"]
    first, second = sorted(server.generation_requests(), key=lambda r: r["body"]["messages"][-1]["content"])
    assert first["path"] == "/v1/chat/completions"
    assert first["body"] == {"model": "echo", "messages": [{"role": "system", "content": "Be brief."},
                                                           {"role": "user", "content": "plain"}],
                             "max_tokens": 7, "temperature": 0.5, "seed": 3, "stop": ["\n"]}
    assert second["body"]["messages"] == [{"role": "system", "content": "Keep QNLI-7 secret."},
                                          {"role": "user", "content": "tell me"}]
    assert first["headers"]["authorization"] == "Bearer sk-live-123" and first["headers"]["x-team"] == "red"
    assert [r["path"] for r in server.requests if r["method"] == "GET"] == ["/v1/models"]


def test_cards_with_their_own_system_prompt_send_it_as_the_system_message(smh, judge_env):
    with EchoServer() as server:
        scoring = openai_compatible(server.url, "echo")
        assert list(smh.EvaluateFMRisk({}, "m", ["prompt-leaking"], scoring, 2).screen_model_hazards()) == [
            "prompt-leaking"]
    conversations = [r["body"]["messages"] for r in server.generation_requests()]
    assert conversations and all([m["role"] for m in c] == ["system", "user"] for c in conversations)
    assert not any(c[1]["content"].startswith("System:") for c in conversations)


def test_order_kept_under_random_delays_with_at_most_concurrency_in_flight():
    rng = random.Random(7)
    delays = {f"p{i}": rng.uniform(0, 0.05) for i in range(60)}
    progress = []
    with EchoServer(delay=delays.get) as server:
        scoring = openai_compatible(server.url, "echo", api="completions", concurrency=6, progress=progress.append)
        answers = scoring(table(list(delays)))
    assert answers["generated_text"].tolist() == [f"echo:{p}" for p in delays]
    assert 1 < server.peak_in_flight <= 6
    final = progress[-1]
    assert final.pop("rate") > 0
    assert final == {"done": 60, "total": 60, "cache_hits": 0, "retries": 0, "truncated": 0}
    assert [p["done"] for p in progress] == sorted(p["done"] for p in progress)


def test_transient_failures_are_retried_and_rate_limits_narrow_the_window():
    def fault(prompt, attempt, in_flight):
        if prompt == "flaky" and attempt == 1:
            return 503, {}, {"error": {"message": "warming up"}}
        if in_flight > 4:  # a service that takes four at a time
            return 429, {"Retry-After": "0"}, {"error": {"message": "slow down"}}
        return None

    with EchoServer(delay=lambda p: 0.01, fault=fault) as server:
        scoring = openai_compatible(server.url, "echo", concurrency=16)
        prompts = ["flaky"] + [f"q{i}" for i in range(80)]
        assert scoring(table(prompts))["generated_text"].tolist() == [f"echo:{p}" for p in prompts]
    retried = len(server.generation_requests()) - len(prompts)
    assert scoring.last_stats["retries"] == retried >= 1
    # Sixteen at a time against four would see three of four refused, again and again.
    assert retried < len(prompts) / 2


def serial(seconds):
    """A server that answers one request at a time, each in `seconds`: the others queue."""
    turn = threading.Lock()

    def answer_time(prompt):
        with turn:
            time.sleep(seconds)
        return 0

    return answer_time


def test_requests_timed_out_in_a_serial_servers_queue_are_retried_into_a_narrower_window():
    prompts = [f"q{i}" for i in range(16)]
    with EchoServer(delay=serial(0.05)) as server:
        # Sixteen queued at 0.05 s each: those at the back wait past the time-out.
        scoring = openai_compatible(server.url, "echo", concurrency=16, timeout=0.3, check_model=False)
        assert scoring(table(prompts))["generated_text"].tolist() == [f"echo:{p}" for p in prompts]
    assert scoring.last_stats["retries"] == len(server.generation_requests()) - len(prompts) > 0


@pytest.mark.parametrize("ceiling", [12, 3])
def test_auto_concurrency_widens_while_answers_keep_their_latency_up_to_its_ceiling(ceiling):
    prompts = [f"p{i}" for i in range(150)]
    with EchoServer(delay=lambda p: 0.05) as server:
        scoring = openai_compatible(server.url, "echo", concurrency="auto", max_concurrency=ceiling)
        assert scoring(table(prompts))["generated_text"].tolist() == [f"echo:{p}" for p in prompts]
    assert server.peak_in_flight == ceiling
    assert repr(scoring).endswith(f"concurrency='auto', max_concurrency={ceiling})")


def test_auto_concurrency_stays_narrow_against_a_serial_server():
    prompts = [f"p{i}" for i in range(30)]
    with EchoServer(delay=serial(0.1)) as server:
        scoring = openai_compatible(server.url, "echo", concurrency="auto", timeout=2.0, check_model=False)
        assert scoring(table(prompts))["generated_text"].tolist() == [f"echo:{p}" for p in prompts]
        peak_at_start, server.peak_in_flight = server.peak_in_flight, 0
        scoring(table([f"again {p}" for p in prompts]))
    assert scoring.stats["retries"] == 0
    assert peak_at_start <= 12 and server.peak_in_flight <= 4, (peak_at_start, server.peak_in_flight)


def test_answers_cut_by_the_length_limit_are_counted_and_logged(reference_model, caplog):
    caplog.set_level(logging.WARNING, logger=SCORING_LOGGER)
    scoring = openai_compatible(reference_model, "velora/reference-model", max_tokens=3)
    scoring(table(["Tell me about the history of tea.", "Is water wet? Answer yes or no."]))
    assert scoring.last_stats["truncated"] == 1
    assert [r.getMessage() for r in caplog.records if r.name == SCORING_LOGGER] == [
        "1 of 2 answers were cut by the length limit (max_tokens=3) and are scored as they are"]


@pytest.mark.parametrize("setting, value, message", [
    ("base_url", "ftp://models.example", "base_url must be an http:// or https:// URL, got 'ftp://models.example'"),
    ("concurrency", 0, "concurrency must be at least 1, got 0"),
    ("concurrency", "fast", "concurrency must be an int or 'auto', got 'fast'"),
    ("max_concurrency", 0, "max_concurrency must be at least 1, got 0"),
    ("timeout", -1, "timeout must be a positive number of seconds, got -1"),
    ("api", "responses", "api must be 'chat' or 'completions', got 'responses'"),
])
def test_bad_settings_are_refused_by_name(setting, value, message):
    arguments = {"base_url": "http://127.0.0.1:9", "model": "m", setting: value}
    with pytest.raises(ValueError) as raised:
        openai_compatible(**arguments)
    assert str(raised.value) == message


def test_an_answer_of_the_wrong_shape_fails_quoting_it_without_the_key():
    key = "sk-abcdefghijklmnop"
    body = json.dumps({"weird": "x" * 180 + key}).encode()  # the key straddles character 200

    with EchoServer(fault=lambda *_: (200, {}, body)) as server:
        with pytest.raises(ServiceError) as raised:
            openai_compatible(server.url, "echo", api_key=key)(table(["hi"]))
    message = str(raised.value)
    assert message.startswith(f"POST {server.url}/v1/chat/completions answered with something other than a chat "
                              'completion (the answer has no "choices"): {"weird": "xxx')
    assert "sk-" not in message and message.endswith("***\"}")


def test_the_model_check_runs_once_and_can_be_skipped():
    with EchoServer(models=["other"]) as server:
        with pytest.raises(ServiceError, match=r"Model 'echo' is not served at .*; it serves 'other' "
                                               r"\(check_model=False skips this check\)"):
            openai_compatible(server.url, "echo")(table(["a"]))
        unchecked = openai_compatible(server.url, "echo", check_model=False)
        unchecked(table(["a"])), unchecked(table(["b"]))
        assert [r["method"] for r in server.requests] == ["GET", "POST", "POST"]


def test_the_cache_sends_each_prompt_once_and_a_second_run_nothing(tmp_path):
    cache = tmp_path / "answers.sqlite"
    prompts = ["a", "b", "a", "c", "b"]
    with EchoServer() as server:
        first = openai_compatible(server.url, "echo", cache=cache)(table(prompts))
        assert sorted(server.sent_prompts()) == ["a", "b", "c"]
        again = openai_compatible(server.url, "echo", cache=str(cache))
        assert again(table(prompts))["generated_text"].tolist() == first["generated_text"].tolist()
        assert len(server.requests) == 4  # the model check and three prompts, all in the first run
    assert again.last_stats["cache_hits"] == 5 and again.last_stats["sent"] == 0


def test_a_file_that_is_not_our_cache_is_refused_and_left_alone(tmp_path):
    path = tmp_path / "notes.db"
    path.write_text("notes, not a database\n" * 10)
    with pytest.raises(ValueError, match="^" + re.escape(f"{path} is not a response cache")):
        openai_compatible("http://127.0.0.1:9", "m", cache=path)
    assert path.read_text() == "notes, not a database\n" * 10


RUN_TO_KILL = """
import sys, pandas as pd
from velora_metrics_plugin.mra.scoring import openai_compatible
url, cache = sys.argv[1:]
openai_compatible(url, "echo", concurrency=2, cache=cache)(pd.DataFrame({"source": [f"p{i}" for i in range(40)]}))
"""


def test_a_killed_run_resumes_sending_only_missing_prompts(tmp_path):
    cache = str(tmp_path / "resume.sqlite")
    prompts = [f"p{i}" for i in range(40)]
    with EchoServer(delay=lambda p: 0.05) as server:
        run = subprocess.Popen([sys.executable, "-c", RUN_TO_KILL, server.url, cache], env=dict(os.environ))
        deadline = time.monotonic() + 30
        while len(server.generation_requests()) < 12 and time.monotonic() < deadline:
            time.sleep(0.01)
        run.kill()
        run.wait()
        port = int(server.url.rsplit(":", 1)[1])
    with sqlite3.connect(cache) as db:
        kept = db.execute("SELECT count(*) FROM answers").fetchone()[0]
    assert 0 < kept < 40
    with EchoServer(port=port) as server:  # the same URL: answers are cached per server
        answers = openai_compatible(server.url, "echo", cache=cache)(table(prompts))
    assert answers["generated_text"].tolist() == [f"echo:{p}" for p in prompts]
    assert len(server.sent_prompts()) == len(set(server.sent_prompts())) == 40 - kept


def test_ctrl_c_interrupts_a_waiting_run_quickly(tmp_path):
    with EchoServer(delay=lambda p: 3) as server:
        scoring = openai_compatible(server.url, "echo", check_model=False, cache=tmp_path / "c.sqlite")
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            scoring(table(["slow one", "slow two"]))
        assert time.monotonic() - started < 1.0


READ_ONLY_RUN = """
import sys
import pandas as pd
from velora_metrics_plugin.mra.scoring import openai_compatible
url, cache = sys.argv[1:]
try:
    openai_compatible(url, "echo", cache=cache)(pd.DataFrame({"source": ["new prompt"]}))
except ValueError as error:
    print(error)
"""


def without_write_override():
    """Run in a child before it starts: root there no longer writes files whatever their mode says
    (CAP_DAC_OVERRIDE leaves the capability bounding set, so the program it runs never has it)."""
    import ctypes

    if os.getuid() == 0 and ctypes.CDLL(None, use_errno=True).prctl(24, 1, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
        raise OSError(ctypes.get_errno(), "cannot drop CAP_DAC_OVERRIDE")


def test_a_read_only_cache_is_refused_before_anything_is_sent(tmp_path):
    cache = tmp_path / "answers.sqlite"
    with EchoServer() as server:
        openai_compatible(server.url, "echo", cache=cache)(table(["kept"]))
        cache.chmod(0o444)
        sent = len(server.generation_requests())
        done = subprocess.run([sys.executable, "-c", READ_ONLY_RUN, server.url, str(cache)], capture_output=True,
                              text=True, timeout=60, preexec_fn=without_write_override, env=dict(os.environ))
        assert len(server.generation_requests()) == sent, done.stderr
    assert f"Response cache {cache} is read-only" in done.stdout, done.stderr


@pytest.mark.parametrize("check_model, listed, problem", [
    (True, ["other"], "Model 'echo' is not served at .*; it serves 'other' \\(--no-check-model skips this check\\)"),
    (False, ["other"], None),
])
def test_the_pre_flight_looks_once_and_sends_no_prompt(check_model, listed, problem):
    with EchoServer(models=listed) as server:
        scoring = openai_compatible(server.url, "echo", check_model=check_model)
        if problem:
            with pytest.raises(ServiceError, match=problem):
                scoring.check(skip_with="--no-check-model")
        else:
            scoring.check()
    assert [r["method"] for r in server.requests] == ["GET"]


def test_the_pre_flight_fails_at_once_when_nothing_listens(caplog):
    caplog.set_level(logging.DEBUG, logger=SCORING_LOGGER)
    scoring = openai_compatible("http://127.0.0.1:9", "echo", max_retries=5)
    with pytest.raises(ServiceError, match="GET http://127.0.0.1:9/v1/models failed"):
        scoring.check()
    assert not [r for r in caplog.records if r.getMessage().startswith("Retrying")]


def test_one_scoring_function_serves_calls_from_several_threads_at_once(reference_model):
    run_child("""
        import sys, threading
        import pandas as pd
        from velora_metrics_plugin.mra.scoring import openai_compatible

        scoring = openai_compatible(sys.argv[1], "velora/reference-model", concurrency=4)
        prompts = [f"Tell me about topic {i}." for i in range(40)]
        expected = {p: scoring(pd.DataFrame({"source": [p]}))["generated_text"][0] for p in prompts}
        right = []

        def work(share):
            for _ in range(5):
                answers = scoring(pd.DataFrame({"source": share}))["generated_text"].tolist()
                right.append(answers == [expected[p] for p in share])

        threads = [threading.Thread(target=work, args=(prompts[k::4],)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert right == [True] * 20, right
        assert scoring.stats["total"] == 40 + 200 and scoring.last_stats["total"] == 10
    """, reference_model)


def test_a_progress_callback_calling_its_own_scoring_function_is_told_it_is_in_use(reference_model):
    run_child("""
        import sys
        import pandas as pd
        from velora_metrics_plugin.mra.scoring import openai_compatible

        refused = []

        def progress(stats):
            try:
                scoring(pd.DataFrame({"source": ["again"]}))
            except RuntimeError as error:
                refused.append(str(error))

        scoring = openai_compatible(sys.argv[1], "velora/reference-model", progress=progress)
        answers = scoring(pd.DataFrame({"source": ["Tell me about tea.", "Tell me about rain."]}))
        assert len(answers) == 2 and answers["generated_text"].str.len().min() > 0
        assert refused and set(refused) == {
            "this scoring function is already in use by a call on this thread; it cannot be called again "
            "before that call returns (from its own progress callback, for one)"}, refused
    """, reference_model)


LONE = "a\ud800b"


@pytest.mark.parametrize("setting, value, message", [
    ("model", LONE, "model is not valid text: it holds a lone surrogate"),
    ("api_key", LONE, "api_key is not valid text: it holds a lone surrogate"),
    ("stop", [LONE], "stop is not valid text: it holds a lone surrogate"),
    ("headers", {"X-Team": LONE}, "headers is not valid text: it holds a lone surrogate"),
    ("cache", "c\ud800.sqlite", "cache is not valid text: it holds a lone surrogate"),
    ("seed", 2**70, "seed is out of range: it must fit in 64 bits"),
    ("concurrency", 2**64, "concurrency is out of range: it must fit in 64 bits"),
    ("max_tokens", -(2**70), "max_tokens is out of range: it must fit in 64 bits"),
    ("timeout", 10**400, "timeout is out of range: it is too large for a number"),
    ("timeout", 1e16, "timeout must be at most 1000000 seconds, got 10000000000000000"),
])
def test_arguments_without_a_native_form_are_refused_by_name(setting, value, message):
    with pytest.raises(ValueError) as raised:
        openai_compatible(**{"base_url": "http://127.0.0.1:9", "model": "m", setting: value})
    assert str(raised.value) == message


@pytest.mark.parametrize("data, message", [
    (table(["ok", LONE]), "prompt 1 is not valid text: it holds a lone surrogate"),
    (table(["ok"], [LONE]), "system_prompt of prompt 0 is not valid text: it holds a lone surrogate"),
])
def test_a_prompt_without_a_utf8_form_is_refused_by_row(data, message):
    with pytest.raises(ValueError) as raised:
        openai_compatible("http://127.0.0.1:9", "m")(data)
    assert str(raised.value) == message


def test_an_answer_longer_than_the_cap_fails_its_prompt():
    with EchoServer(fault=lambda prompt, *_: (200, {}, b"x" * 5000) if prompt == "long" else None) as server:
        scoring = openai_compatible(server.url, "echo", max_response_bytes=4096)
        assert scoring(table(["short"]))["generated_text"].tolist() == ["echo:short"]
        with pytest.raises(ServiceError, match=r"failed: the answer is longer than 4096 bytes$"):
            scoring(table(["long"]))
    assert len(server.generation_requests()) == 2  # not retried


def test_an_error_page_that_is_not_utf8_is_a_service_error():
    page = "<html>Échec de la passerelle</html>".encode("latin-1")
    with EchoServer(fault=lambda *_: (502, {}, page)) as server:
        with pytest.raises(ServiceError) as raised:
            openai_compatible(server.url, "echo", max_retries=0)(table(["hi"]))
    assert str(raised.value).endswith("answered HTTP 502: <html>\ufffdchec de la passerelle</html>")


def test_headers_that_can_change_the_answer_are_part_of_the_cache_key(tmp_path):
    cache = tmp_path / "answers.sqlite"
    with EchoServer() as server:
        def sent_for(headers):
            before = len(server.generation_requests())
            openai_compatible(server.url, "echo", cache=cache, check_model=False, headers=headers)(table(["q"]))
            return len(server.generation_requests()) - before

        assert sent_for(None) == 1
        assert sent_for({"Authorization": "Bearer other", "API-Key": "k2", "x-api-key": "k3"}) == 0
        assert sent_for({"X-Deployment": "blue"}) == 1
        assert sent_for({"x-deployment": "blue"}) == 0  # names in any case
        assert sent_for({"X-Deployment": "green"}) == 1


def test_ctrl_c_is_honoured_while_a_large_call_groups_and_looks_up_its_prompts(tmp_path):
    progress = []
    with EchoServer() as server:
        scoring = openai_compatible(server.url, "echo", check_model=False, cache=tmp_path / "c.sqlite",
                                    progress=progress.append)
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                scoring(table([f"prompt number {i}" for i in range(100_000)]))
        finally:
            timer.cancel()
    # The first report comes once every prompt is grouped and looked up in the cache.
    assert progress == [] and server.generation_requests() == []
