#!/usr/bin/env bash
# Installs what this machine lacks to build and run the package, then builds and installs it
# into ./.venv. Safe to run again: it only installs what is missing and rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian.sh

DEBIAN_PACKAGES=(g++ cmake pkg-config libcurl4-openssl-dev nlohmann-json3-dev libgtest-dev
                 libcpp-httplib-dev libssl-dev libsqlite3-dev
                 libpango-1.0-0 libpangoft2-1.0-0 libharfbuzz-subset0 fonts-dejavu-core openssl)
install_missing_debian_packages "${DEBIAN_PACKAGES[@]}"

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "Creating the virtual environment .venv"
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0,<4" cmake ninja pytest
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# The package is rebuilt only when a file that goes into it changed since the last install: the
# stamp holds a digest of those files' contents (and of the build settings that differ in CI).
stamp=.venv/.velora-build-stamp
digest=$( { find src cmake -type f -print0 | sort -z | xargs -0 sha1sum
            sha1sum CMakeLists.txt pyproject.toml; echo "${VELORA_WARNINGS_AS_ERRORS:-OFF}"; } | sha1sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ]; then
  echo "velora-metrics-plugin in .venv is current"
else
  echo "Building and installing velora-metrics-plugin into .venv"
  rm -f "$stamp"
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
  echo "$digest" >"$stamp"
fi
