"""Risk catalogue: risk dimensions and the benchmark cards that measure them."""

from types import ModuleType

class CatalogueError(ValueError): ...

risk: ModuleType  # RISK_TALMAR_DICO: dict[str, dict]
risk_to_cards: ModuleType  # get_cards_for_risk(entry) -> list[str]; get_recipe_for_card(card) -> str | None
