"""Cost of a full PDF report beyond WeasyPrint itself.

A report of all 8 risk dimensions and every scored card (25) is written with
PdfGenerator.download_pdf; the same HTML and stylesheet are then converted by WeasyPrint alone.
Both are timed in the same run, interleaved, and the ratio of the medians is printed
(target: at most 1.15), with the absolute times.

    PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_report.py [--runs N]
"""

import argparse
import copy
import json
import os
import statistics
import sys
import tempfile
import time

EXCLUDED = {"cards.safety.goadset", "cards.data_leakage.empty_data_leakage_card", "cards.safety.simple_safety_tests",
            "cards.toxigen", "cards.pop_qa", "cards.ethos_binary", "cards.prompt_leakage.glue_qnli_with_system_prompt"}


def results(package_dir, report_forge):
    with open(os.path.join(package_dir, "catalogue", "risk_catalogue.json")) as handle:
        catalogue = json.load(handle)
    corpus = report_forge.read_corpus_file(
        os.path.join(package_dir, "resources", "22_cards_benchmark_results-25-75-corpus.csv"))
    scored, summary = {}, {}
    for index, risk in enumerate(catalogue["risks"]):
        scored[risk["id"]], summary[risk["id"]] = {}, {}
        for position, card in enumerate(c for c in risk["cards"] if c not in EXCLUDED):
            _, lower, upper, _ = corpus[card]
            value = [lower - 0.05, (lower + upper) / 2, upper + 0.05][(index + position) % 3]
            scored[risk["id"]][card] = {"score_name": "rate", "score": f"{value:.3f} +/-  0.021", "n": 40}
            summary[risk["id"]][card] = {"score": round(value, 3)}
    return scored, summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    import weasyprint

    import velora_metrics_plugin.mra as mra
    from velora_metrics_plugin.mra import report_forge

    package_dir = mra.__path__[0]
    css = os.path.join(package_dir, "templates", "styles.css")
    scored, summary = results(package_dir, report_forge)
    cards = sum(len(c) for c in summary.values())
    details = {"Foundation Model Name": "meta-llama/llama-3-1-8b-instruct",
               "Governance console (Varnel) Model ID": "<Not Provided>", "Project ID": "<Not Provided>",
               "Report generated on": time.strftime("%B %d, %Y"),
               "utc_date": time.strftime("%m/%d/%Y %H:%M:%S UTC", time.gmtime())}
    generator = report_forge.PdfGenerator()

    # The HTML that download_pdf hands to WeasyPrint, taken from a first (warm-up) report.
    captured = {}
    real_html = weasyprint.HTML

    def recording_html(*a, **k):
        captured.setdefault("html", k.get("string"))
        return real_html(*a, **k)

    with tempfile.TemporaryDirectory() as out:
        weasyprint.HTML = recording_html
        try:
            generator.download_pdf(out, copy.deepcopy(scored), details, copy.deepcopy(summary))
        finally:
            weasyprint.HTML = real_html
        html = captured["html"]
        target = os.path.join(out, "weasyprint-only.pdf")
        real_html(string=html, base_url=".").write_pdf(
            target, stylesheets=[weasyprint.CSS(filename=css)], presentational_hints=True)

        ours, alone = [], []
        for _ in range(args.runs):
            a, b = copy.deepcopy(scored), copy.deepcopy(summary)
            start = time.perf_counter()
            generator.download_pdf(out, a, details, b)
            ours.append(time.perf_counter() - start)

            start = time.perf_counter()
            real_html(string=html, base_url=".").write_pdf(
                target, stylesheets=[weasyprint.CSS(filename=css)], presentational_hints=True)
            alone.append(time.perf_counter() - start)

    ours_median, alone_median = statistics.median(ours), statistics.median(alone)
    print(f"report: {len(summary)} risks, {cards} cards, {len(html)} characters of HTML; {args.runs} runs each")
    print(f"download_pdf      median {ours_median * 1000:8.1f} ms  (min {min(ours) * 1000:.1f})")
    print(f"WeasyPrint alone  median {alone_median * 1000:8.1f} ms  (min {min(alone) * 1000:.1f})")
    print(f"ratio download_pdf / WeasyPrint alone: {ours_median / alone_median:.3f} (target <= 1.15)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
