"""Cost of velora-mra's progress display on a screening.

A screening of about 2,000 prompts (every risk of the catalogue, twice over) against one reference
model server on loopback that answers at once (it judges the judged risks too), through the
command's own path (screening_job.screen with openai_compatible): once without a progress display
and once with the command's display drawing to a terminal (a rich console forced into terminal
mode, writing to /dev/null, so the drawing is done in full). Rounds alternate between the two, so
that load from elsewhere on the machine falls on both alike; the ratio of the best rounds is the
result (the medians are printed beside it). Target: at most 1.02.

    PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_cli_progress.py [--rounds R]
"""

import argparse
import os
import statistics
import sys
import time

from rich.console import Console

from velora_metrics_plugin.cli.progress import ProgressDisplay
from velora_metrics_plugin.cli.reference_model import running_reference_model
from velora_metrics_plugin.mra import screen_model_hazard, screening_job
from velora_metrics_plugin.mra.scoring import openai_compatible

MODEL = "velora/reference-model"


def timed_screening(endpoint, risks, with_display):
    """Seconds of one screening, and the number of prompts it answered."""
    prompts = []
    with open(os.devnull, "w") as sink:
        display = ProgressDisplay(with_display, console=Console(file=sink, force_terminal=True, width=120))
        with display:
            def on_card(risk, card, index, count, size):
                prompts.append(size)
                display.on_card(risk, card, index, count, size)

            scoring = openai_compatible(endpoint, MODEL, progress=display.on_prompts if with_display else None)
            started = time.perf_counter()
            _, failed = screening_job.screen(MODEL, risks, scoring, credentials={}, on_card=on_card)
            elapsed = time.perf_counter() - started
    assert not failed, failed
    return elapsed, sum(prompts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    times = {False: [], True: []}
    with running_reference_model() as endpoint:
        os.environ.update({"CORVEX_DEFAULT_PROVIDER": "nimbra-sdk", "QNR_URL": endpoint,
                           "QNR_APIKEY": "bench", "QNR_PROJECT_ID": "bench"})
        risks = screen_model_hazard.get_available_risks() * 2
        sys.stdout = open(os.devnull, "w")  # the evaluator's "Processing" lines
        try:
            _, prompts = timed_screening(endpoint, risks, False)  # warm-up: connections, imports, datasets
            for _ in range(args.rounds):
                for with_display in (False, True):
                    times[with_display].append(timed_screening(endpoint, risks, with_display)[0])
        finally:
            sys.stdout.close()
            sys.stdout = sys.__stdout__
    bare, shown = min(times[False]), min(times[True])
    print(f"screening of {prompts} prompts, {args.rounds} rounds each")
    print(f"without display: best {bare:.3f} s, median {statistics.median(times[False]):.3f} s")
    print(f"with display:    best {shown:.3f} s, median {statistics.median(times[True]):.3f} s")
    ratio = shown / bare
    print(f"ratio (best, with / without): {ratio:.3f}  (median ratio "
          f"{statistics.median(times[True]) / statistics.median(times[False]):.3f}); target <= 1.02")
    return 0 if ratio <= 1.02 else 1


if __name__ == "__main__":
    sys.exit(main())
