#!/usr/bin/env bash
# Enforces what the project has decided: the committed .clang-format over the C++ sources, and the
# shipped .pyi stubs against the extension modules installed in .venv (mypy's stubtest).
#   scripts/check-style.sh [format|stubs]   (both when no argument is given)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

if [ "$what" = all ] || [ "$what" = format ]; then
  command -v clang-format >/dev/null || { echo "clang-format is missing (apt-get install clang-format)" >&2; exit 1; }
  echo "== clang-format check"
  git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp' 'fuzz/*.cpp' |
    xargs clang-format --dry-run -Werror
fi

if [ "$what" = all ] || [ "$what" = stubs ]; then
  echo "== stub check"
  modules=(velora_metrics_plugin.mra.screen_model_hazard velora_metrics_plugin.mra.report_forge
           velora_metrics_plugin.mra.scoring velora_metrics_plugin.mra.screening_job
           velora_metrics_plugin.mra.mra_api velora_metrics_plugin.common.utils.metrics_logger
           velora_metrics_plugin.common.utils.vn_url_mapping corvex._corvex velora_nimbra_ai._nimbra)
  # From a folder without the source tree on sys.path, so the installed modules are what is checked.
  cd scripts/stubtest
  ../../.venv/bin/python -m mypy.stubtest --mypy-config-file mypy.ini --allowlist allowlist.txt "${modules[@]}"
fi
