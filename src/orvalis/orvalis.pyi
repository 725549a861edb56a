from typing import Any

import pandas as pd

# --- load_dataset: sample-dataset catalogue client ------------------------------------------
class load_dataset:
    prefix: str
    name: str
    timeout: tuple[float, float]
    description: Any
    data_type: Any
    suffix: Any
    data: pd.DataFrame
    def __init__(self, name: str) -> None: ...
    def get_meta_data(self) -> None: ...
    def get_real_data(self) -> None: ...
    def get_dataframe(self) -> pd.DataFrame: ...

# --- end load_dataset -----------------------------------------------------------------------
