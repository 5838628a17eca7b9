from typing import List, Mapping, Optional, Sequence, Union

DEFAULT_TIMEOUT: float
PROJECT_HEADER: str
USERNAME_HEADER: str
INSTANCE_HEADER: str
URL_VARIABLE: str

class NimbraClientError(Exception): ...
class CannotSetProjectOrSpace(NimbraClientError): ...
class ModelNotServed(NimbraClientError): ...
class ServiceRequestError(NimbraClientError): ...

class ModelInference:
    def __init__(
        self,
        model_id: str,
        credentials: Mapping[str, Optional[str]],
        project_id: Optional[str] = None,
        *,
        timeout: float = 120.0,
        max_retries: int = 2,
        verify: Union[bool, str] = True,
        max_tokens: Optional[int] = 256,
        temperature: Optional[float] = None,
        seed: Optional[int] = None,
        check_model: bool = True,
    ) -> None: ...
    def generate_text(self, prompt: str) -> str: ...
    def generate_texts(self, prompts: Sequence[str]) -> List[str]: ...
    @property
    def model_id(self) -> str: ...
    @property
    def base_url(self) -> str: ...
