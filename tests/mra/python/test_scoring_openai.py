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
