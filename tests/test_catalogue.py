"""load_dataset against a real HTTP server on 127.0.0.1 serving a catalogue folder."""

from __future__ import annotations

import functools
import http.server
import inspect
import io
import json
import socket
import threading
import time

import pandas as pd
import pytest
from sklearn.datasets import load_iris

from orvalis import load_dataset


class _CatalogueHandler(http.server.SimpleHTTPRequestHandler):
    """Serves the catalogue folder; a sibling file "<name>.status" turns the answer for <name>
    into that status code, "<name>.hang" makes the server go silent for that many seconds."""

    def do_GET(self):
        self.server.paths.append(self.path)
        local = self.translate_path(self.path)
        try:
            with open(local + ".hang") as fh:
                time.sleep(float(fh.read()))
                return
        except FileNotFoundError:
            pass
        try:
            with open(local + ".status") as fh:
                self.send_error(int(fh.read()))
                return
        except FileNotFoundError:
            pass
        super().do_GET()

    def guess_type(self, path):
        # no charset in the answer: the client must decode the text as UTF-8 itself
        return "text/plain"

    def log_message(self, *args):
        pass


@pytest.fixture
def catalogue(tmp_path, monkeypatch):
    """A served folder: returns (folder of /dataset/public/, base URL, list of requested paths)."""
    root = tmp_path / "www"
    public = root / "dataset" / "public"
    public.mkdir(parents=True)
    handler = functools.partial(_CatalogueHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.paths = []
    thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{server.server_address[1]}/dataset/public/"
    monkeypatch.setenv("ORVALIS_CATALOGUE_URL", base)
    monkeypatch.delenv("ORVALIS_CATALOGUE_TIMEOUT", raising=False)
    yield public, base, server.paths
    server.shutdown()
    server.server_close()


def _publish(public, name, meta, data=None, suffix="csv"):
    folder = public / name
    folder.mkdir()
    if meta is not None:
        text = meta if isinstance(meta, str) else json.dumps(meta, ensure_ascii=False)
        (folder / f"{name}.json").write_text(text, encoding="utf-8")
    if data is not None:
        (folder / f"{name}.{suffix}").write_text(data, encoding="utf-8")
    return folder


def _meta(**changes):
    meta = {"description": "鸢尾花数据集 (Fisher)", "data_type": "dataframe", "suffix": "csv"}
    meta.update(changes)
    return meta


def _iris_csv():
    frame = load_iris(as_frame=True).frame
    frame["species"] = pd.Categorical.from_codes(
        frame["target"], ["setosa", "versicolor", "vírginica"]
    )
    return frame.to_csv(index=False)


def test_full_download_requests_prints_and_text(catalogue, capsys):
    public, base, paths = catalogue
    csv = _iris_csv()
    _publish(public, "iris", _meta(), csv)

    obj = load_dataset("iris")

    assert paths == ["/dataset/public/iris/iris.json", "/dataset/public/iris/iris.csv"]
    assert capsys.readouterr().out == (
        f"starting request {base}iris/iris.json ...\nstarting request {base}iris/iris.csv ...\n"
    )
    assert (obj.prefix, obj.name) == (base, "iris")
    assert (obj.description, obj.data_type, obj.suffix) == (
        "鸢尾花数据集 (Fisher)",
        "dataframe",
        "csv",
    )
    pd.testing.assert_frame_equal(obj.data, pd.read_csv(io.StringIO(csv)))
    assert "vírginica" in set(obj.data["species"])  # decoded as UTF-8 whatever the server says

    expected = {
        "name": "iris",
        "url": base,
        "description": obj.description,
        "data_type": "dataframe",
        "data": obj.data,
    }
    assert str(obj) == str(expected)
    assert str(obj).startswith(f"{{'name': 'iris', 'url': '{base}'")
    assert repr(obj.data) in str(obj)

    # the methods can be called again on a loaded object
    pd.testing.assert_frame_equal(obj.get_dataframe(), obj.data)


def test_signatures_and_name_type(catalogue):
    assert str(inspect.signature(load_dataset)) == "(name)"
    for method in ("get_meta_data", "get_real_data", "get_dataframe"):
        assert str(inspect.signature(getattr(load_dataset, method))) == "(self)"
    with pytest.raises(
        TypeError, match=r"Argument 'name' has incorrect type \(expected str, got int\)"
    ):
        load_dataset(3)
    assert catalogue[2] == []


def test_base_url_default_and_override(catalogue, monkeypatch, capsys):
    public, base, paths = catalogue
    _publish(public, "tiny", _meta(), "a,b\n1,x\n")

    class NoDownload(load_dataset):
        def get_meta_data(self):
            pass

        def get_real_data(self):
            pass

    monkeypatch.delenv("ORVALIS_CATALOGUE_URL")
    default = NoDownload("tiny").prefix
    assert default.startswith("https://") and default.endswith("/dataset/public/")
    for blank in ("", "  "):
        monkeypatch.setenv("ORVALIS_CATALOGUE_URL", blank)
        assert NoDownload("tiny").prefix == default

    monkeypatch.setenv("ORVALIS_CATALOGUE_URL", base.rstrip("/"))  # a mirror given without slash
    obj = load_dataset("tiny")
    assert obj.prefix == base
    assert obj.data.to_dict("list") == {"a": [1], "b": ["x"]}
    assert paths == ["/dataset/public/tiny/tiny.json", "/dataset/public/tiny/tiny.csv"]


def test_metadata_404(catalogue, capsys):
    public, base, paths = catalogue
    _publish(public, "gone", None)
    url = f"{base}gone/gone.json"
    with pytest.raises(RuntimeError) as info:
        load_dataset("gone")
    assert capsys.readouterr().out == (
        f"starting request {url} ...\nError: Error: Unable to fetch data. Status code: 404\n"
    )
    assert "'gone'" in str(info.value) and url in str(info.value)
    assert str(info.value.__cause__) == "Error: Unable to fetch data. Status code: 404"
    assert paths == ["/dataset/public/gone/gone.json"]


def test_metadata_invalid_json(catalogue, capsys):
    public, base, _ = catalogue
    _publish(public, "bad", '{"description": "x", "data_type": ')
    with pytest.raises(RuntimeError, match=f"'bad'.*{base}bad/bad.json") as info:
        load_dataset("bad")
    assert isinstance(info.value.__cause__, json.JSONDecodeError)
    lines = capsys.readouterr().out.splitlines()
    assert lines == [f"starting request {base}bad/bad.json ...", f"Error: {info.value.__cause__}"]


def test_metadata_missing_key(catalogue):
    public, _, _ = catalogue
    _publish(public, "partial", {"description": "x", "data_type": "dataframe"})
    with pytest.raises(KeyError, match="suffix"):
        load_dataset("partial")


def test_data_500(catalogue, capsys):
    public, base, paths = catalogue
    folder = _publish(public, "broken", _meta(), "a\n1\n")
    (folder / "broken.csv.status").write_text("500")
    url = f"{base}broken/broken.csv"
    with pytest.raises(RuntimeError) as info:
        load_dataset("broken")
    assert capsys.readouterr().out == (
        f"starting request {base}broken/broken.json ...\n"
        f"starting request {url} ...\n"
        "Error: Unable to fetch data. Status code: 500\n"
    )
    assert "'broken'" in str(info.value) and url in str(info.value)
    assert paths == ["/dataset/public/broken/broken.json", "/dataset/public/broken/broken.csv"]


@pytest.mark.parametrize(
    "meta, message",
    [
        (_meta(data_type="image"), "opening files in image format is not supported currently"),
        (_meta(data_type=None), "opening files in None format is not supported currently"),
        (_meta(suffix="xlsx"), "opening files in xlsx suffix is not supported currently"),
    ],
    ids=["image-data-type", "null-data-type", "xlsx-suffix"],
)
def test_unsupported_data_type_or_suffix(catalogue, capsys, meta, message):
    public, base, paths = catalogue
    _publish(public, "other", meta, "a\n1\n", suffix=meta["suffix"])
    with pytest.raises(Exception) as info:
        load_dataset("other")
    assert type(info.value) is Exception
    assert str(info.value) == message
    assert paths == ["/dataset/public/other/other.json"]  # the data file is never asked for
    assert capsys.readouterr().out == f"starting request {base}other/other.json ...\n"


def test_silent_server_times_out_on_metadata(monkeypatch, capsys):
    # a listening socket that never accepts: the connection opens, no answer ever comes
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        base = f"http://127.0.0.1:{silent.getsockname()[1]}/dataset/public/"
        monkeypatch.setenv("ORVALIS_CATALOGUE_URL", base)
        monkeypatch.setenv("ORVALIS_CATALOGUE_TIMEOUT", "2,0.5")
        with pytest.raises(RuntimeError, match=f"'iris'.*{base}iris/iris.json") as info:
            load_dataset("iris")
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"Error: {info.value.__cause__}"
    assert "timed out" in out[0]
    assert len(out) == 1  # the metadata line is printed only once a request returns


def test_silent_server_times_out_on_data(catalogue, monkeypatch, capsys):
    public, base, _ = catalogue
    folder = _publish(public, "slow", _meta(), "a\n1\n")
    (folder / "slow.csv.hang").write_text("3")
    monkeypatch.setenv("ORVALIS_CATALOGUE_TIMEOUT", "0.5")
    with pytest.raises(RuntimeError, match=f"'slow'.*{base}slow/slow.csv"):
        load_dataset("slow")
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == [
        f"starting request {base}slow/slow.json ...",
        f"starting request {base}slow/slow.csv ...",
    ]
    assert lines[2].startswith("Error: ") and "timed out" in lines[2]


@pytest.mark.parametrize("value", ["0", "-1", "soon", "1,2,3", "1,"])
def test_bad_timeout_setting(catalogue, monkeypatch, value):
    monkeypatch.setenv("ORVALIS_CATALOGUE_TIMEOUT", value)
    with pytest.raises(ValueError, match="ORVALIS_CATALOGUE_TIMEOUT"):
        load_dataset("iris")
    assert catalogue[2] == []
