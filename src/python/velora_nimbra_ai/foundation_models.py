"""Foundation-model inference: ModelInference."""

from velora_nimbra_ai._nimbra import DEFAULT_TIMEOUT, ModelInference

__all__ = ["DEFAULT_TIMEOUT", "ModelInference"]
