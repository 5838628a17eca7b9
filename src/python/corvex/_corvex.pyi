from typing import Any, Sequence

DEFAULT_SEED: int
JUDGE_PROVIDERS: list[str]

class CorvexError(Exception):
    """Unknown card or recipe, a damaged card or dataset file (not UTF-8, not JSON, wrong types,
    missing keys, no records, too large), inputs that do not fit the card, or a card whose main
    score cannot be computed ("no decision could be read from any answer")."""

def load_dataset(
    recipe: str | None = None,
    *,
    card: str | None = None,
    max_test_instances: int | None = None,
    split: str = "test",
) -> list[dict[str, Any]]:
    """The card's instances in file order; CorvexError naming the file and the problem when the
    card or dataset file is damaged."""

def evaluate(predictions: Sequence[str], data: Sequence[dict[str, Any]]) -> list[dict[str, Any]]:
    """Scored copies of the instances. score["global"] holds every metric with its interval, the
    score entries, "num_of_instances" (answers read and scored) and "num_of_unreadable_answers"
    (answers whose option, yes/no decision or judge verdict could not be read; 0 for families
    that read every answer; the two add up to the instances). A main score that cannot be
    computed raises CorvexError instead of returning NaN."""

def list_cards() -> list[str]: ...
def _judge_of(cards: Sequence[str]) -> dict[str, str] | None: ...
def bootstrap_ci(
    scores: Sequence[float], resamples: int = 1000, seed: int = ..., confidence: float = 0.95
) -> tuple[float, float]:
    """Percentile-bootstrap interval of the mean; (nan, nan) when scores hold a NaN. resamples
    must lie in 1..100000 (CorvexError)."""

def _sigv4_sign(
    method: str,
    url: str,
    headers: Sequence[tuple[str, str]],
    body: bytes,
    region: str,
    service: str,
    access_key_id: str,
    secret_access_key: str,
    session_token: str | None,
    request_time: str,
) -> dict[str, Any]: ...
