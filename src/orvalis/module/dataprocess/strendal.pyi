from typing import Any

from sklearn.preprocessing import LabelEncoder

class LabelEncoderWithOOV(LabelEncoder):
    oov_token: Any
    def __init__(self, oov_token: Any = "OOV") -> None: ...
    def fit(self, y: Any) -> None: ...  # type: ignore[override]
    def transform(self, y: Any) -> Any: ...
