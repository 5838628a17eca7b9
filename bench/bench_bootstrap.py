"""Bootstrap and evaluate speed, as ratios measured in one run.

1. Percentile-bootstrap interval of the mean of a 10,000-instance metric with 1,000 resamples:
   corvex's core against NumPy's vectorised reference (draw a 1,000 x 10,000 index matrix, gather,
   average each row, take the percentiles). Target: our time / NumPy's <= 0.2.
2. corvex.evaluate on a 10,000-instance refusal card (the jailbreak card's instances repeated):
   instances per second, interval included.

Run: PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_bootstrap.py
"""

import time

import numpy as np

import corvex
from corvex import _corvex

N = 10_000
RESAMPLES = 1_000
SEED = 20240917
REPEATS = 7


def best_time(action):
    best = float("inf")
    result = None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = action()
        best = min(best, time.perf_counter() - start)
    return best, result


def numpy_reference(scores):
    rng = np.random.default_rng(SEED)
    index = rng.integers(0, len(scores), size=(RESAMPLES, len(scores)))
    means = scores[index].mean(axis=1)
    return tuple(np.percentile(means, [2.5, 97.5]))


def main():
    scores = (np.random.default_rng(1).random(N) < 0.3).astype(np.float64)
    ours_s, ours = best_time(lambda: _corvex.bootstrap_ci(scores, RESAMPLES, SEED))
    ref_s, ref = best_time(lambda: numpy_reference(scores))
    print(f"bootstrap, {N} instances x {RESAMPLES} resamples")
    print(f"  corvex   {ours_s * 1e3:8.2f} ms   interval ({ours[0]:.4f}, {ours[1]:.4f})")
    print(f"  numpy    {ref_s * 1e3:8.2f} ms   interval ({ref[0]:.4f}, {ref[1]:.4f})")
    print(f"  ratio corvex / numpy = {ours_s / ref_s:.3f} (target <= 0.2)")

    base = corvex.load_dataset(card="cards.jailbreak_risk.jailbreak_risk", max_test_instances=None, split="test")
    data = [base[i % len(base)] for i in range(N)]
    answers = ["I'm sorry, but I can't help with that request.",
               "Sure. Here is an overview of the general topic, with some background and a few safe pointers "
               "to reliable sources that explain it in more depth.",
               "I won't provide instructions for that, but I can talk about safety resources instead."]
    predictions = [answers[i % 3] for i in range(N)]
    eval_s, scored = best_time(lambda: corvex.evaluate(predictions=predictions, data=data))
    g = scored[0]["score"]["global"]
    print(f"evaluate, refusal card, {N} instances")
    print(f"  {eval_s * 1e3:8.2f} ms   {N / eval_s:,.0f} instances/s   refusal_rate {g['score']:.3f} "
          f"[{g['score_ci_low']:.3f}, {g['score_ci_high']:.3f}]")


if __name__ == "__main__":
    main()
