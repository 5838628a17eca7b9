"""Speed of the OpenAI-compatible scoring function (velora_metrics_plugin.mra.scoring.openai_compatible).

Against the reference model on loopback, in one run, every ratio printed:
  1. The server answers after --delay ms (200): --prompts (400) distinct prompts through our scoring
     function at concurrency 16, against a bare asyncio loop (httpx, 16 requests in flight) sending
     the same bodies; target ratio <= 1.1. The default scoring function (one prompt at a time) on
     --default-prompts (40) of them, per prompt, against ours; target >= 12x.
  2. The server answers at once: --fast-prompts (2000) through our scoring function against a bare
     sequential libcurl loop (bench/bare_curl_loop.cpp) sending the same bodies; target <= 1.2.
  3. The same screening twice with a response cache: requests the second run sent (server log) and
     its wall time.
Rounds alternate between the paths so that load from elsewhere falls on both; best rounds count.

    PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_openai_scoring.py [--rounds R]

Needs httpx (pip install httpx) for the asyncio yardstick.
"""

import argparse
import asyncio
import json
import os
import pathlib
import tempfile
import time

import httpx
import pandas as pd

from bench_scoring_function import bare_curl_binary, start_server
from velora_metrics_plugin.mra.scoring import openai_compatible
from velora_metrics_plugin.mra.screen_model_hazard import EvaluateFMRisk

MODEL = "velora/reference-model"
SUBJECTS = ["the history of tea", "autumn leaves", "bridges in winter", "how tides work", "a quiet harbour town"]


def prompts(count):
    return [f"Write two sentences about {SUBJECTS[i % len(SUBJECTS)]} (note {i})." for i in range(count)]


def chat_body(prompt):
    """Byte for byte what our scoring function sends with its default settings."""
    return json.dumps({"model": MODEL, "messages": [{"role": "user", "content": prompt}], "max_tokens": 512,
                       "temperature": 0.0}, separators=(",", ":"), ensure_ascii=False)


def ours(url, texts, **settings):
    scoring = openai_compatible(url, MODEL, concurrency=16, **settings)
    start = time.perf_counter()
    answers = scoring(pd.DataFrame({"source": texts}))
    elapsed = time.perf_counter() - start
    assert len(answers) == len(texts)
    return elapsed, scoring


def bare_asyncio(url, texts, width=16):
    async def run():
        limits = httpx.Limits(max_connections=width, max_keepalive_connections=width)
        gate = asyncio.Semaphore(width)
        async with httpx.AsyncClient(limits=limits, timeout=120) as client:
            async def one(body):
                async with gate:
                    answer = await client.post(url + "/v1/chat/completions", content=body,
                                               headers={"Content-Type": "application/json"})
                    answer.raise_for_status()
                    return answer.json()["choices"][0]["message"]["content"]

            return await asyncio.gather(*(one(chat_body(t)) for t in texts))

    start = time.perf_counter()
    assert len(asyncio.run(run())) == len(texts)
    return time.perf_counter() - start


def default_function(url, texts):
    credentials = {"nimbra_ai_endpoint_url": url, "nimbra_ai_model_id": MODEL}
    evaluator = EvaluateFMRisk(credentials, MODEL, ["harmful-output"], None, None)
    start = time.perf_counter()
    evaluator.default_scoring_function(pd.DataFrame({"source": texts}))
    return time.perf_counter() - start


def bare_curl(binary, url, bodies_file, count):
    import subprocess

    done = subprocess.run([binary, url + "/v1/chat/completions", bodies_file, str(count),
                           "Content-Type: application/json", "Accept: application/json"],
                          check=True, capture_output=True, text=True)
    return float(done.stdout.split()[1]) * count


def stop(server):
    server.terminate()
    server.wait(timeout=10)
    server.stdout.close()


def delayed_part(args):
    texts = prompts(args.prompts)
    server, url = start_server("--delay", str(args.delay))
    try:
        ours_times, bare_times = [], []
        for _ in range(args.rounds):
            bare_times.append(bare_asyncio(url, texts))
            ours_times.append(ours(url, texts)[0])
        default_per_prompt = default_function(url, texts[:args.default_prompts]) / args.default_prompts
    finally:
        stop(server)
    best_ours, best_bare = min(ours_times), min(bare_times)
    print(f"1. delay {args.delay} ms, {args.prompts} prompts, concurrency 16, best of {args.rounds}:")
    print(f"   ours {best_ours:.3f} s, bare asyncio+httpx {best_bare:.3f} s: "
          f"ratio ours / bare {best_ours / best_bare:.3f} (target <= 1.1)")
    print(f"   default scoring function {default_per_prompt * 1000:.1f} ms per prompt "
          f"({args.default_prompts} prompts), ours {best_ours / args.prompts * 1000:.1f} ms: "
          f"ours {default_per_prompt * args.prompts / best_ours:.1f}x faster (target >= 12)")


def fast_part(args, workdir):
    texts = prompts(args.fast_prompts)
    bodies_file = str(pathlib.Path(workdir) / "bodies.jsonl")
    pathlib.Path(bodies_file).write_text("".join(chat_body(t) + "\n" for t in texts))
    binary = bare_curl_binary(workdir)
    server, url = start_server()
    try:
        ours(url, texts[:200]), bare_curl(binary, url, bodies_file, 200)  # warm-up
        ours_times, bare_times = [], []
        for _ in range(args.rounds):
            bare_times.append(bare_curl(binary, url, bodies_file, len(texts)))
            ours_times.append(ours(url, texts)[0])
    finally:
        stop(server)
    best_ours, best_bare = min(ours_times), min(bare_times)
    print(f"2. no delay, {args.fast_prompts} prompts, best of {args.rounds}:")
    print(f"   ours {best_ours:.3f} s, bare sequential libcurl {best_bare:.3f} s: "
          f"ratio ours / bare {best_ours / best_bare:.3f} (target <= 1.2)")


def cached_part(args, workdir):
    texts = prompts(args.prompts)
    cache = str(pathlib.Path(workdir) / "answers.sqlite")
    log = pathlib.Path(workdir) / "requests.log"
    with open(log, "w") as requests_log:
        server, url = start_server("--delay", str(args.delay), "--log-requests", stderr=requests_log)
        try:
            first, _ = ours(url, texts, cache=cache)
            after_first = len(log.read_text().splitlines())
            second, scoring = ours(url, texts, cache=cache)
            sent_second = len(log.read_text().splitlines()) - after_first
        finally:
            stop(server)
    print(f"3. cache, {args.prompts} prompts at delay {args.delay} ms: first run {first:.3f} s "
          f"({after_first} requests), second run {second * 1000:.1f} ms with {sent_second} requests sent "
          f"({scoring.last_stats['cache_hits']} cache hits)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=int, default=200, help="server delay in ms for parts 1 and 3")
    parser.add_argument("--prompts", type=int, default=400)
    parser.add_argument("--default-prompts", type=int, default=40)
    parser.add_argument("--fast-prompts", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    os.environ.setdefault("CORVEX_DEFAULT_PROVIDER", "nimbra-sdk")  # the evaluator checks its judge settings
    with tempfile.TemporaryDirectory() as workdir:
        delayed_part(args)
        fast_part(args, workdir)
        cached_part(args, workdir)


if __name__ == "__main__":
    main()
