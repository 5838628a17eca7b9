from typing import Any, Sequence

DEFAULT_SEED: int
JUDGE_PROVIDERS: list[str]

class CorvexError(Exception): ...

def load_dataset(
    recipe: str | None = None,
    *,
    card: str | None = None,
    max_test_instances: int | None = None,
    split: str = "test",
) -> list[dict[str, Any]]: ...
def evaluate(predictions: Sequence[str], data: Sequence[dict[str, Any]]) -> list[dict[str, Any]]: ...
def list_cards() -> list[str]: ...
def bootstrap_ci(
    scores: Sequence[float], resamples: int = 1000, seed: int = ..., confidence: float = 0.95
) -> tuple[float, float]: ...
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
