"""Inference SDK: generate text with a model served over the common completions API.

    from velora_nimbra_ai.foundation_models import ModelInference
    model = ModelInference(model_id="...", credentials={"apikey": "...", "url": "https://..."},
                           project_id="...")
    model.generate_text("Hello")
"""

from velora_nimbra_ai import errors, foundation_models

__all__ = ["errors", "foundation_models"]
