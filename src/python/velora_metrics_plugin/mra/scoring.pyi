"""Ready-made scoring functions for EvaluateFMRisk: openai_compatible() answers prompts through any
OpenAI-compatible server."""

import os
from typing import Callable, Literal, Optional, Sequence, TypedDict, Union

import pandas

from velora_metrics_plugin.common.utils.metrics_logger import MetricLogger

logger: MetricLogger

class Progress(TypedDict):
    done: int
    total: int
    rate: float
    cache_hits: int
    retries: int
    truncated: int

class Stats(Progress):
    sent: int
    seconds: float

class ServiceError(Exception):
    """A request to the model service failed, or its answer does not have the API's shape."""

class OpenAICompatibleScoring:
    def __call__(self, data: pandas.DataFrame) -> pandas.DataFrame: ...
    def check(self, *, skip_with: Optional[str] = None) -> None: ...
    @property
    def last_stats(self) -> Stats: ...
    @property
    def stats(self) -> Stats: ...

def openai_compatible(
    base_url: str,
    model: str,
    *,
    api: str = "chat",
    api_key: Optional[str] = None,
    concurrency: Union[int, Literal["auto"]] = 16,
    max_tokens: Optional[int] = 512,
    temperature: Optional[float] = 0.0,
    seed: Optional[int] = None,
    stop: Union[str, Sequence[str], None] = None,
    system_prompt: Optional[str] = None,
    timeout: float = 120.0,
    max_retries: int = 5,
    headers: Optional[dict[str, str]] = None,
    verify: Union[bool, str, os.PathLike[str]] = True,
    cache: Union[str, os.PathLike[str], None] = None,
    progress: Optional[Callable[[Progress], object]] = None,
    check_model: bool = True,
    max_response_bytes: int = 16777216,
    max_concurrency: int = 64,
) -> OpenAICompatibleScoring:
    """concurrency: requests in flight at once, or "auto": start small, widen while answers keep their
    latency, narrow on 429s, 5xx answers, time-outs and rising latency, never above max_concurrency."""
