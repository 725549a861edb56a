"""Reading data files and folders, and preprocessing raw tables as training did."""

from __future__ import annotations

import shutil

import numpy as np
import pandas as pd
import pytest
import yaml
from hand_preprocess import features_by_hand

from orvalis import marqolin


@pytest.fixture(scope="module")
def plain(sample_folders):
    return marqolin(sample_folders["penguins_plain"].path)


@pytest.fixture
def three_rows():
    return pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})


class TestLoadDataFromFile:
    def test_csv_and_a_name_ending_in_csv_without_dot(self, plain, tmp_path, three_rows):
        for name in ("t.csv", "tablecsv"):
            three_rows.to_csv(tmp_path / name, index=False)
            pd.testing.assert_frame_equal(
                plain._load_data_from_file(str(tmp_path / name)), three_rows
            )

    def test_xlsx(self, plain, tmp_path, three_rows):
        three_rows.to_excel(tmp_path / "t.xlsx", index=False)
        pd.testing.assert_frame_equal(
            plain._load_data_from_file(str(tmp_path / "t.xlsx")), three_rows
        )

    def test_npz_arrays_become_named_columns(self, plain, tmp_path):
        np.savez(tmp_path / "t.npz", a=np.arange(3), b=np.array(["x", "y", "z"]))
        got = plain._load_data_from_file(str(tmp_path / "t.npz"))
        assert got.columns.tolist() == ["a", "b"]
        assert got["a"].tolist() == [0, 1, 2] and got["b"].tolist() == ["x", "y", "z"]

    def test_folder_keeps_each_files_row_labels_and_reads_every_entry(
        self, plain, tmp_path, three_rows
    ):
        (tmp_path / "d").mkdir()
        three_rows.to_csv(tmp_path / "d" / "one.csv", index=False)
        three_rows.to_csv(tmp_path / "d" / "two.csv", index=False)
        got = plain._load_data_from_file(str(tmp_path / "d"))
        assert len(got) == 6 and got.index.tolist() == [0, 1, 2, 0, 1, 2]
        assert got.dtypes.tolist() == three_rows.dtypes.tolist()
        three_rows.to_csv(tmp_path / "d" / "notes.txt", index=False)  # read as CSV too
        assert len(plain._load_data_from_file(str(tmp_path / "d"))) == 9

    @pytest.mark.parametrize("name", ["t.XLSX", "t.txt", "t.CSV", "t.parquet"])
    def test_refused_suffixes(self, plain, tmp_path, three_rows, name):
        three_rows.to_csv(tmp_path / name, index=False)
        with pytest.raises(ValueError, match="xlsx"):
            plain._load_data_from_file(str(tmp_path / name))

    def test_missing_file_and_wrong_type(self, plain, tmp_path, three_rows):
        with pytest.raises(FileNotFoundError):
            plain._load_data_from_file(str(tmp_path / "none.csv"))
        with pytest.raises(TypeError, match="input_file_path"):
            plain._load_data_from_file(three_rows)

    def test_result_is_a_copy(self, plain, tmp_path, three_rows):
        three_rows.to_csv(tmp_path / "t.csv", index=False)
        first = plain._load_data_from_file(str(tmp_path / "t.csv"))
        first.loc[0, "a"] = 99
        assert plain._load_data_from_file(str(tmp_path / "t.csv")).loc[0, "a"] == 1


class TestNames:
    def test_blanks_become_underscores_on_the_same_object(self, plain):
        df = pd.DataFrame(columns=["first name", "a  b", "x"])
        assert plain._normalize_column_names(df) is df
        assert df.columns.tolist() == ["first_name", "a__b", "x"]

    def test_non_text_names_fail(self, plain):
        with pytest.raises(AttributeError):
            plain._normalize_column_names(pd.DataFrame({0: [1]}))
        with pytest.raises(AttributeError):
            plain._process_data(pd.DataFrame({0: [1]}))


class TestProcessData:
    def test_names_codes_and_unseen_values(self, sample_folders):
        folder = sample_folders["penguins_plain"]
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        raw = raw.rename(columns={"island": " island ", "bill_length_mm": "bill length_mm"})
        raw.loc[0, " island "] = "Atlantis"
        raw.loc[1, "sex"] = np.nan
        islands = raw[" island "].copy()
        df = m._process_data(raw)
        assert "island" in df.columns and "bill_length_mm" in df.columns
        island, sex = m.lec_record_dt["island"], m.lec_record_dt["sex"]
        n_islands = list(island.classes_).index("OOV")
        assert df.loc[0, "island"] == n_islands  # unseen: the out-of-vocabulary code
        assert df.loc[1, "sex"] == list(sex.classes_).index("na")
        assert "year" not in df.columns  # ignored
        assert df["island"].tolist()[1:] == list(island.transform(islands.iloc[1:].astype(str)))
        assert df is raw  # renamed and encoded in place

    def test_time_column_is_not_encoded_but_other_datetimes_are(self, sample_folders):
        from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

        folder = sample_folders["grunfeld"]
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        stamp = LabelEncoderWithOOV()
        stamp.fit(raw["year"].astype(str))
        m.lec_record_dt["year"] = stamp  # an encoder for the time column is never used
        when = pd.to_datetime(raw["year"])
        raw["when"] = when
        enc = LabelEncoderWithOOV()
        enc.fit(when.astype(str))
        m.lec_record_dt["when"] = enc
        df = m._process_data(raw)
        assert str(df["year"].dtype) == "datetime64[ns]"
        assert df["year"].tolist() == when.tolist()
        assert df["when"].tolist() == list(enc.transform(when.astype(str)))

    def test_ignored_group_and_time_columns_stay(self, sample_folders):
        folder = sample_folders["grunfeld"]
        m = marqolin(folder.path)
        m.ignore_features = ["firm", "year", "capital", "absent"]
        df = m._process_data(pd.read_csv(folder.holdout))
        assert "firm" in df.columns and "year" in df.columns and "capital" not in df.columns

    def test_identifier_column_dropped_after_renaming(self, sample_folders):
        folder = sample_folders["breast_cancer"]
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        assert "sample id" in raw.columns
        df = m._process_data(raw)
        assert "sample_id" not in df.columns and "mean_radius" in df.columns
        assert "divide###mean_area|||mean_perimeter$$$" in df.columns

    @pytest.mark.parametrize("name", ["penguins", "breast_cancer", "grunfeld", "penguins_plain"])
    def test_engineered_columns_equal_the_hand_computation(self, sample_folders, name):
        folder = sample_folders[name]
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        df = m._process_data(raw.copy()).drop(columns=[folder.target])
        want, _, _ = features_by_hand(folder.path, raw)
        assert df.columns.tolist() == want.columns.tolist()
        for feature in m.adv_features:
            np.testing.assert_allclose(df[feature].astype(float), want[feature].astype(float))


class TestPreprocess:
    def test_assertion_for_other_inputs(self, plain):
        for bad in (42, None, [1], np.zeros((2, 2))):
            with pytest.raises(AssertionError, match="请输入数据集路径 或 pd.DataFrame"):
                plain.preprocess(bad)

    def test_plain_path_label_kept_or_dropped(self, sample_folders):
        folder = sample_folders["penguins_plain"]
        m = marqolin(folder.path)
        assert folder.target not in m.preprocess(folder.holdout).columns
        with_y = m.preprocess(folder.holdout, return_y=True)
        assert folder.target in with_y.columns
        no_label = pd.read_csv(folder.holdout).drop(columns=[folder.target])
        assert folder.target not in m.preprocess(no_label, return_y=True).columns

    def test_search_path_applies_the_models_transformation(self, sample_folders):
        folder = sample_folders["penguins"]
        m = marqolin(folder.path)
        raw = pd.read_csv(folder.holdout)
        X = m.preprocess(raw.copy())
        assert X.columns.tolist() == list(m.model.feature_names_in_)
        assert str(X["island"].dtype) == "category"
        with_y = m.preprocess(raw.copy(), return_y=True)
        assert with_y.columns.tolist() == list(m.model.feature_names_in_) + [folder.target]
        assert with_y.index.tolist() == list(range(len(raw)))
        codes = m.lec_record_dt["species"].transform(raw["species"].astype(str))
        assert with_y[folder.target].tolist() == list(codes)
        without = m.preprocess(raw.drop(columns=[folder.target]), return_y=True)
        assert folder.target not in without.columns

    def test_caller_frame_is_modified_in_place(self, plain, sample_folders):
        raw = pd.read_csv(sample_folders["penguins_plain"].holdout)
        plain.preprocess(raw)
        assert raw["island"].map(type).eq(int).all()


def _grouped_copy(folder, tmp_path, group):
    dst = tmp_path / f"group-{group}"
    shutil.copytree(folder.path, dst)
    cfg_path = dst / "config.yaml"
    cfg = yaml.safe_load(cfg_path.read_text())
    cfg["Feature"]["GroupIndex"] = group
    cfg_path.write_text(yaml.safe_dump(cfg))
    return str(dst)


class TestOwnTaskConfiguration:
    def test_feature_building_sees_the_objects_own_group_column(
        self, sample_folders, tmp_path, monkeypatch
    ):
        import orvalis.orvalis as module
        from module.common.task_config import TaskConfig

        folder = sample_folders["grunfeld"]
        first = marqolin(_grouped_copy(folder, tmp_path, "firm"))
        second = marqolin(_grouped_copy(folder, tmp_path, "capital"))
        assert TaskConfig().cfg["Feature"]["GroupIndex"] == "capital"  # loaded last
        seen = []
        real = module.name2feature

        def spy(df, names, record):
            seen.append(TaskConfig().cfg["Feature"]["GroupIndex"])
            return real(df, names, record)

        monkeypatch.setattr(module, "name2feature", spy)
        first.predict(folder.holdout)
        second.predict(folder.holdout)
        first.preprocess(folder.holdout)
        assert seen == ["firm", "capital", "firm"]
        assert TaskConfig().cfg["Feature"]["GroupIndex"] == "capital"

        def failing(df, names, record):
            raise RuntimeError("boom")

        monkeypatch.setattr(module, "name2feature", failing)
        with pytest.raises(RuntimeError, match="boom"):
            first.preprocess(folder.holdout)
        assert TaskConfig().cfg["Feature"]["GroupIndex"] == "capital"  # scope left on error

    def test_grouped_rolling_features_follow_their_own_folder(
        self, brevant, sample_folders, tmp_path
    ):
        folder = sample_folders["grunfeld"]
        assert "ts_mean###value|||3$$$" in marqolin(folder.path).adv_features
        grouped = marqolin(_grouped_copy(folder, tmp_path, "firm"))
        alone = grouped.preprocess(folder.holdout)
        ungrouped = marqolin(_grouped_copy(folder, tmp_path, None))
        again = grouped.preprocess(folder.holdout)
        pd.testing.assert_frame_equal(alone, again)
        raw = pd.read_csv(folder.holdout)
        want = (
            raw.groupby("firm")["value"]
            .rolling(3)
            .mean()
            .reset_index(level=0, drop=True)
            .sort_index()
        )
        # the group statistics built after it fill the window's missing rows with the median
        got = grouped._process_data(raw.copy())["ts_mean###value|||3$$$"]
        np.testing.assert_allclose(got.to_numpy(), want.fillna(want.median()).to_numpy())
        flat = ungrouped._process_data(raw.copy())["ts_mean###value|||3$$$"]
        plain = raw["value"].rolling(3).mean()
        np.testing.assert_allclose(flat.to_numpy(), plain.fillna(plain.median()).to_numpy())
