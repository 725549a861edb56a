import os
from typing import Any, Optional, Tuple, Union

import numpy as np
import pandas as pd

_Path = Union[str, os.PathLike[str]]

class marqolin:
    path: str
    labelencoder_dt_path: str
    autofe_result_path: str
    automl_result_path: str
    save_path: str
    model_path: str
    target_name: str
    feature_name: Any
    task: str
    training_data: Optional[pd.DataFrame]
    id_index: Optional[str]
    time_index: Optional[str]
    ignore_features: list[str]
    group_id: Optional[str]
    split_type: str
    seed: Any
    autofe_running: Any
    automl_running: Any
    test_size: float
    lec_record_dt: dict[str, Any]
    adv_features: list[str]
    model: Any
    @property
    def classes_(self) -> np.ndarray: ...
    def __init__(self, path: _Path) -> None: ...
    def _load_data_from_file(self, input_file_path: str) -> pd.DataFrame: ...
    def _normalize_column_names(self, df: pd.DataFrame) -> pd.DataFrame: ...
    def _process_data(self, ori_df: pd.DataFrame) -> pd.DataFrame: ...
    def preprocess(
        self,
        input: Union[_Path, pd.DataFrame],
        return_y: bool = False,
        *,
        statistics: Optional[frozen_statistics] = None,
    ) -> pd.DataFrame: ...
    def predict(
        self,
        test_path: Union[_Path, pd.DataFrame, np.ndarray],
        *,
        statistics: Optional[frozen_statistics] = None,
    ) -> np.ndarray: ...
    def predict_proba(
        self,
        test_path: Union[_Path, pd.DataFrame, np.ndarray],
        *,
        statistics: Optional[frozen_statistics] = None,
    ) -> np.ndarray: ...
    def freeze_statistics(
        self, reference: Union[_Path, pd.DataFrame, np.ndarray]
    ) -> frozen_statistics: ...
    def labelencode(
        self, X: Union[pd.DataFrame, pd.Series], feature_name: Optional[str] = None
    ) -> Optional[pd.Series]: ...
    def labeldecode(
        self, X: Union[pd.DataFrame, pd.Series], feature_name: Optional[str] = None
    ) -> Optional[pd.Series]: ...
    def get_train_validation_data(
        self, path: Optional[_Path] = None
    ) -> Tuple[pd.DataFrame, pd.DataFrame, pd.Series, pd.Series]: ...
    def _split_train_test(
        self, X: pd.DataFrame, y: pd.Series, split_type: str
    ) -> Tuple[pd.DataFrame, pd.DataFrame, pd.Series, pd.Series]: ...
    def _validation_data(self) -> Tuple[pd.DataFrame, pd.Series]: ...
    def obtain_model_configuration(self) -> dict[str, Any]: ...
    def plot_box(
        self, X: pd.DataFrame, y: Any, feature_name: str, target_name: str, path: Optional[_Path] = None
    ) -> None: ...
    def plot_kde(self, X: pd.DataFrame, feature_name: str, path: Optional[_Path] = None) -> None: ...
    def plot_trend_comparison(
        self, X: pd.DataFrame, feature_name: str, target_name: str, path: Optional[_Path] = None
    ) -> None: ...
    def plot_roc_curve(
        self,
        y_true: Union[pd.Series, np.ndarray],
        y_score: Union[pd.Series, np.ndarray],
        n_classes: Optional[int] = None,
        roc_type: str = "both",
        path: Optional[_Path] = None,
    ) -> None: ...
    def plot_confusion_matrix(
        self,
        y_true: Union[pd.Series, np.ndarray],
        y_pred: Union[pd.Series, np.ndarray],
        normalize: bool = False,
        title: Optional[str] = None,
        cmap: Any = ...,
        path: Optional[_Path] = None,
    ) -> None: ...
    def plot_regression_scatter(
        self,
        y_true: Union[pd.Series, np.ndarray],
        y_pred: Union[pd.Series, np.ndarray],
        model_name: str = "Model",
        path: Optional[_Path] = None,
    ) -> None: ...

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

class frozen_statistics:
    fingerprint: str
    folder: str
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __len__(self) -> int: ...
    def save(self, path: _Path) -> None: ...
    @staticmethod
    def load(path: _Path) -> frozen_statistics: ...
    def extended(
        self, rows: Union[str, os.PathLike[str], pd.DataFrame, np.ndarray]
    ) -> frozen_statistics: ...
