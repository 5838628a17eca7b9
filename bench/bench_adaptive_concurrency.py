"""How close concurrency="auto" comes to the best fixed width, without being told it.

Against the reference model on loopback, each answer held back by D (--delay), in one run:
  1. A server that answers --width (64) at once, D = --delay-ms (200): --prompts (1000) distinct
     prompts through openai_compatible(concurrency="auto") (ceiling 64, the default); the ideal is
     prompts / width x D. Target ratio <= 1.2. For comparison, the same at the fixed width that
     fits this server (what a user who knew it would set).
  2. A server that answers one at a time, D = --serial-delay-ms (20; 200 would make this part take
     over three minutes): the same prompts; the ideal is prompts x D. Target ratio <= 1.2 and no
     retries (so no time-outs), under a time-out of --serial-timeout (0.3 s), shorter than the
     16 x D that requests wait in the queue at a fixed width of 16. For comparison, the same with
     concurrency=16 (its time-outs are retried into a narrower window; the retries are printed).
The ratios are printed with the retries of each call.

    PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_adaptive_concurrency.py
"""

import argparse
import time

import pandas as pd

from bench_scoring_function import start_server
from velora_metrics_plugin.mra.scoring import openai_compatible

MODEL = "velora/reference-model"


def prompts(count):
    return [f"Write two sentences about harbour towns (note {i})." for i in range(count)]


def screen(width, delay_ms, count, timeout, concurrency="auto"):
    """Seconds and final figures of one call against a server of `width` slots."""
    server, url = start_server("--delay", str(delay_ms), "--parallel", str(width))
    try:
        scoring = openai_compatible(url, MODEL, concurrency=concurrency, timeout=timeout)
        started = time.perf_counter()
        answers = scoring(pd.DataFrame({"source": prompts(count)}))
        elapsed = time.perf_counter() - started
    finally:
        server.terminate()
        server.wait(timeout=10)
    assert len(answers) == count
    return elapsed, scoring.last_stats


def report(title, elapsed, ideal, stats, target=None):
    ratio = elapsed / ideal
    line = f"{title}: {elapsed:.2f} s against an ideal {ideal:.2f} s: ratio {ratio:.3f}"
    if target is None:
        print(f"{line}, retries {stats['retries']}")
        return
    verdict = "ok" if ratio <= target and stats["retries"] == 0 else "MISSED"
    print(f"{line} (target <= {target}), retries {stats['retries']} [{verdict}]")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prompts", type=int, default=1000)
    parser.add_argument("--width", type=int, default=64)
    parser.add_argument("--delay-ms", type=int, default=200)
    parser.add_argument("--serial-delay-ms", type=int, default=20)
    parser.add_argument("--serial-timeout", type=float, default=0.3)
    args = parser.parse_args()

    delay = args.delay_ms / 1000
    elapsed, stats = screen(args.width, args.delay_ms, args.prompts, 120.0)
    report(f"auto, {args.width} at once, D = {args.delay_ms} ms", elapsed, args.prompts / args.width * delay, stats,
           1.2)
    elapsed, stats = screen(args.width, args.delay_ms, args.prompts, 120.0, concurrency=args.width)
    report(f"{args.width} fixed, {args.width} at once, D = {args.delay_ms} ms", elapsed,
           args.prompts / args.width * delay, stats)

    serial_ideal = args.prompts * args.serial_delay_ms / 1000
    elapsed, stats = screen(1, args.serial_delay_ms, args.prompts, args.serial_timeout)
    report(f"auto, 1 at once, D = {args.serial_delay_ms} ms", elapsed, serial_ideal, stats, 1.2)
    elapsed, stats = screen(1, args.serial_delay_ms, args.prompts, args.serial_timeout, concurrency=16)
    report(f"16 fixed, 1 at once, D = {args.serial_delay_ms} ms", elapsed, serial_ideal, stats)


if __name__ == "__main__":
    main()
