"""Screens a model served on an OpenAI-compatible completions endpoint and writes the results,
through the library directly (the velora-mra command does the same and more).

Point --endpoint at the bundled reference model (a deterministic stand-in, not a real model) or at
your own server, with --model-id, to screen a real one.
"""

import argparse
import json
import pathlib

from velora_metrics_plugin.mra.screen_model_hazard import EvaluateFMRisk

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--endpoint", required=True, help="base URL of the completions server")
parser.add_argument("--model-id", default="velora/reference-model")
parser.add_argument("--project-id", default="demo-project")
parser.add_argument("--api-key", default="not-needed-by-the-reference-model")
parser.add_argument("--risk", action="append", dest="risks", help="risk dimension (repeatable; default: all)")
parser.add_argument("--max-sample-size", type=int, default=None)
parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("screening-output"))
parser.add_argument("--report", action="store_true", help="also write the PDF report")
args = parser.parse_args()

credentials = {
    "nimbra_ai_endpoint_url": args.endpoint,
    "nimbra_ai_model_id": args.model_id,
    "nimbra_ai_project_id": args.project_id,
    "nimbra_ai_cloud_apikey": args.api_key,
}
evaluator = EvaluateFMRisk(credentials, args.model_id, args.risks, None, args.max_sample_size)
results = evaluator.screen_model_hazards()

print(json.dumps(results, indent=2))
args.output.mkdir(parents=True, exist_ok=True)
results_file = args.output / "screening-results.json"
results_file.write_text(json.dumps(results, indent=2) + "\n")
print(f"results written to {results_file}")
if args.report:
    print(f"report written to {evaluator.get_pdf_report(results, str(args.output), None)}")
