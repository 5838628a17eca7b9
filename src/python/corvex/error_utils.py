"""The library's error type: raised for unknown cards and recipes, corrupt data files and inputs that
do not fit the card (wrong number of predictions, instances without "source", mixed cards)."""

from ._corvex import CorvexError

__all__ = ["CorvexError"]
