"""corvex: the evaluation library. Benchmark cards (catalog/cards/*.json) with their test datasets,
loaded by load_dataset and scored by evaluate; all of it is implemented in the _corvex extension."""

from ._corvex import CorvexError, evaluate, list_cards, load_dataset
from . import error_utils

__all__ = ["CorvexError", "evaluate", "list_cards", "load_dataset", "error_utils"]
