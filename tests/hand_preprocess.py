"""The preprocessing of a result folder written out step by step with pandas, independent of
marqolin: the reference its predictions are compared with."""

from __future__ import annotations

import copy
import json
import os
import pickle

import pandas as pd
import yaml


def load(folder: str):
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    record_path = os.path.join(folder, "autofe", "labelencoder.pkl")
    record = {}
    if os.path.exists(record_path):
        with open(record_path, "rb") as f:
            record = pickle.load(f)
    with open(os.path.join(folder, "autofe", "result"), encoding="utf-8") as f:
        features = json.load(f)["combination_features"]
    with open(os.path.join(folder, "automl", "result"), "rb") as f:
        model = pickle.load(f)
    return cfg, record, features, model


def features_by_hand(
    folder: str, raw: pd.DataFrame, codes: str = "object"
) -> tuple[pd.DataFrame, object, dict]:
    """Raw rows -> the model's input columns (label dropped), the model, the configuration.

    `codes` is the dtype the training table's label codes had: "object" (codes written into the
    text column) or "int64" (a column of integer codes)."""
    import brevant
    from module.common import task_config

    cfg, record, features, model = load(folder)
    feat = cfg["Feature"]
    target, time_index = feat["TargetName"], feat.get("TimeIndex")
    df = raw.copy()
    df.columns = [c.strip() for c in df.columns]
    for col in list(df.columns):
        if col in record and col != time_index and df[col].dtype == object:
            text = df[col].fillna("na").astype(str)
            df[col] = pd.Series(record[col].transform(text), index=df.index, dtype=codes)
    df.columns = [c.replace(" ", "_") for c in df.columns]
    with task_config.active(cfg):
        df = brevant.name2feature(df, list(features), copy.deepcopy(record))
    drop = [
        c
        for c in [feat.get("id_index"), target, *(feat.get("IgnoreFeature") or [])]
        if c in df.columns and c not in (time_index, feat.get("GroupIndex"))
    ]
    df = df.drop(columns=drop)
    if time_index is not None:
        df[time_index] = pd.to_datetime(df[time_index])
    return df, model, cfg


def predict_by_hand(
    folder: str, raw: pd.DataFrame, method: str = "predict", codes: str = "object"
):
    df, model, cfg = features_by_hand(folder, raw, codes)
    if not cfg["AutoML"].get("Running"):
        df = df[list(model.feature_names_in_)]
    return getattr(model, method)(df)
