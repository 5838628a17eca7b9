"""Time of calculate_score_with_margin and normalize_metrics_values on a results dictionary of
8 risks x 30 cards x 20 metrics, per card. Run with the package importable:

    .venv/bin/python bench/bench_result_shaping.py
"""

import random
import time

from velora_metrics_plugin.mra import screen_model_hazard as smh

RISKS, CARDS, METRICS = 8, 30, 20
REPEATS = 20


def card_metrics(rng):
    """(name, value) pairs as the evaluation library reports them: values with intervals, counts,
    per-instance scores."""
    pairs = [("score_name", "m0"), ("num_of_instances", 100), ("all_scores", [rng.random() for _ in range(100)])]
    for i in range(METRICS - 3):
        value = rng.random()
        pairs += [(f"m{i}", value), (f"m{i}_ci_low", value - 0.05), (f"m{i}_ci_high", value + 0.05)]
    pairs.append(("score", pairs[3][1]))
    return pairs


def best_of(function, repeats=REPEATS):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    rng = random.Random(3)
    raw = {f"risk-{r}": {f"cards.c{c}": card_metrics(rng) for c in range(CARDS)} for r in range(RISKS)}
    cards = RISKS * CARDS

    def normalize_all():
        return {risk: {card: dict(smh.normalize_metrics_values(pairs)) for card, pairs in per_card.items()}
                for risk, per_card in raw.items()}

    results = normalize_all()
    normalize = best_of(normalize_all)
    margins = best_of(lambda: smh.calculate_score_with_margin(results))
    print(f"cards: {cards} ({RISKS} risks x {CARDS} cards, about {METRICS} metrics and intervals each)")
    print(f"normalize_metrics_values:    {normalize * 1e3:8.2f} ms in all, {normalize / cards * 1e6:7.1f} us per card")
    print(f"calculate_score_with_margin: {margins * 1e3:8.2f} ms in all, {margins / cards * 1e6:7.1f} us per card")


if __name__ == "__main__":
    main()
