"""The velora-mra command: screen a model, report, build corpora, list risks, run the demo."""

from velora_metrics_plugin.cli.main import main

__all__ = ["main"]
