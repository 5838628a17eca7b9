"""Errors of the inference SDK. Every one derives from NimbraClientError, itself an Exception."""

from velora_nimbra_ai._nimbra import (
    CannotSetProjectOrSpace,
    ModelNotServed,
    NimbraClientError,
    ServiceRequestError,
)

__all__ = ["CannotSetProjectOrSpace", "ModelNotServed", "NimbraClientError", "ServiceRequestError"]
