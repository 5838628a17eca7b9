"""python -m velora_metrics_plugin.cli"""

from velora_metrics_plugin.cli.main import main

if __name__ == "__main__":
    raise SystemExit(main())
