"""The whole job around one screening: run, store, rate for a gate, report, build corpora."""

import os
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import pandas

PathLike = Union[str, os.PathLike[str]]
Results = dict[str, dict[str, dict[str, Any]]]
ScoringFunction = Callable[[pandas.DataFrame], pandas.DataFrame]

library_version: str
RESULTS_FORMAT_VERSION: int
RESULTS_FILE_NAME: str
EXIT_PASSED: int
EXIT_GATE_FAILED: int
EXIT_USAGE: int
EXIT_INCOMPLETE: int
PROJECT_HEADER: str

class ResultsFileError(ValueError): ...
class SettingsError(ValueError): ...

def console_credentials() -> dict[str, str]: ...
def cards_run_for(risk: str) -> list[str]: ...
def screen(
    model: str,
    risks: Optional[Sequence[str]],
    scoring_function: Optional[ScoringFunction],
    *,
    max_sample_size: Optional[int] = None,
    credentials: Optional[dict[str, Any]] = None,
    on_card: Optional[Callable[[str, Optional[str], int, int, int], None]] = None,
    on_risk: Optional[Callable[[Results, list[str], list[str]], None]] = None,
    failure_reasons: Optional[dict[str, str]] = None,
    preflight: Optional[Callable[[], object]] = None,
) -> tuple[Results, list[str]]: ...
def judge_of(risks: Optional[Sequence[str]]) -> Optional[dict[str, str]]: ...
def write_results(
    path: PathLike,
    results: Results,
    *,
    model: str,
    settings: Optional[dict[str, Any]] = None,
    failed_risks: Sequence[str] = (),
) -> str: ...
def set_aside(path: PathLike) -> Optional[str]: ...
def read_results(path: PathLike) -> dict[str, Any]: ...
def assess(
    document: dict[str, Any],
    *,
    corpus: Optional[PathLike] = None,
    thresholds: Optional[tuple[float, float]] = None,
    fail_on: str = "off",
) -> dict[str, Any]: ...
def write_junit(assessment: dict[str, Any], path: PathLike) -> str: ...
def write_reports(
    document: dict[str, Any],
    output_folder: PathLike,
    *,
    formats: Sequence[str] = ("pdf", "html"),
    corpus: Optional[PathLike] = None,
    thresholds: Optional[tuple[float, float]] = None,
) -> list[str]: ...
def build_corpus(results_files: Iterable[PathLike], output: PathLike) -> dict[str, Any]: ...
def read_corpus(corpus: Optional[PathLike] = None) -> dict[str, Any]: ...
def risk_overview() -> list[dict[str, Any]]: ...
def check_settings_keys(keys: Sequence[str], known: Sequence[str], file_name: str) -> None: ...
def parse_thresholds(text: str) -> tuple[float, float]: ...
