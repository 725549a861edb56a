"""The ``orvalis`` command line: predictions, folder reports and engineered features from the shell.

    orvalis predict RESULT DATA [-o OUT] [--proba] [--labels] [--dask ADDRESS | --workers N]
    orvalis info RESULT [--json]
    orvalis features RESULT DATA -o OUT
    orvalis --version

Exit status 0 on success, 1 when the work fails (one line on standard error; the traceback with
``--verbose``), 2 on a usage error. Output goes to OUT only (CSV on standard output without
``-o``); the result folder is only read. The heavy modules (pandas, the inference API, Dask) are
imported when a subcommand needs them, so ``--help`` and usage errors answer at once.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from typing import Any, Sequence

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2

OUTPUT_SUFFIXES = (".csv", ".parquet")
PARQUET_HINT = "pip install 'orvalis[parquet]'"


class CommandFailed(Exception):
    """A failure of the work that needs no traceback to be understood."""


# --- argument parsing -----------------------------------------------------------------------


def _output_path(text: str) -> str:
    if not text.lower().endswith(OUTPUT_SUFFIXES):
        raise argparse.ArgumentTypeError(f"OUT must end in .csv or .parquet, got {text!r}")
    return text


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


def _version() -> str:
    from orvalis import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(add_help=False)
    top.add_argument(
        "-v", "--verbose", action="store_true", help="print the traceback of a failure"
    )
    # a subcommand's own default must not undo a --verbose given before the subcommand
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=argparse.SUPPRESS,
        help="print the traceback of a failure",
    )

    parser = argparse.ArgumentParser(
        prog="orvalis",
        description="Predict with, describe, and preprocess data for the result folder of a "
        "tabular AutoML training run.",
        epilog="Exit status: 0 success, 1 the work failed, 2 usage error.",
        parents=[top],
    )
    parser.add_argument("--version", action="version", version=f"orvalis {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "predict",
        parents=[common],
        help="predict the rows of a data file",
        description="Predict every row of DATA with the model of RESULT: one output row per "
        "input row, in input order, with the identifier column first when the data has it.",
    )
    p.add_argument("result", metavar="RESULT", help="result folder of a training run")
    p.add_argument(
        "data",
        metavar="DATA",
        help="CSV, .xlsx or .npz file, or a folder of CSV files (with --dask/--workers: a CSV "
        "or parquet file, a folder of them, or a glob pattern)",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=_output_path,
        help="output file ending in .csv or .parquet (default: CSV on standard output)",
    )
    p.add_argument("--proba", action="store_true", help="one probability column per class")
    p.add_argument(
        "--labels",
        action="store_true",
        help="the target's original labels (decoded with the folder's encoder of the target)",
    )
    where = p.add_mutually_exclusive_group()
    where.add_argument(
        "--dask",
        metavar="SCHEDULER_ADDRESS",
        help="score on this Dask cluster, one batch per partition",
    )
    where.add_argument(
        "--workers",
        metavar="N",
        type=_positive_int,
        help="score on a local Dask cluster of N worker processes",
    )
    p.add_argument(
        "--group-complete",
        action="store_true",
        help="(Dask) move every group's rows into one partition first, in their order",
    )
    p.add_argument(
        "--statistics",
        metavar="FILE",
        help="frozen statistics (from `orvalis freeze`): every row is scored with them instead "
        "of the statistics of its batch",
    )
    p.add_argument(
        "--blocksize",
        metavar="SIZE",
        default="64MB",
        help="(Dask) bytes of CSV per partition, e.g. 16MB (default 64MB)",
    )

    z = sub.add_parser(
        "freeze",
        parents=[common],
        help="freeze the batch statistics of a reference table",
        description="Capture from REFERENCE, preprocessed as one batch, every quantity that "
        "preprocessing computes over the whole batch (standardisation, ranks, median fill, group "
        "statistics, ...), and save them to FILE; `predict --statistics FILE` then scores each row "
        "with them, whatever rows arrive with it.",
    )
    z.add_argument("result", metavar="RESULT", help="result folder of a training run")
    z.add_argument(
        "reference", metavar="REFERENCE", help="CSV, .xlsx or .npz file, or a folder of CSV files"
    )
    z.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="file to write the statistics to"
    )
    z.add_argument(
        "--extend",
        action="store_true",
        help="also keep REFERENCE's last rows as the history of the rolling windows, for "
        "scoring rows that follow it in time",
    )

    i = sub.add_parser(
        "info",
        parents=[common],
        help="describe a result folder",
        description="The task, encoders, engineered features and model configuration of RESULT.",
    )
    i.add_argument("result", metavar="RESULT", help="result folder of a training run")
    i.add_argument("--json", action="store_true", help="one JSON object instead of text")

    f = sub.add_parser(
        "features",
        parents=[common],
        help="write the preprocessed frame of a data file",
        description="Preprocess DATA exactly as the model's input is built and write the frame.",
    )
    f.add_argument("result", metavar="RESULT", help="result folder of a training run")
    f.add_argument(
        "data", metavar="DATA", help="CSV, .xlsx or .npz file, or a folder of CSV files"
    )
    f.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=_output_path,
        required=True,
        help="output file ending in .csv or .parquet",
    )
    f.add_argument(
        "--statistics",
        metavar="FILE",
        help="frozen statistics (from `orvalis freeze`) instead of those of the batch",
    )
    return parser


# --- progress on standard error -------------------------------------------------------------


class Progress:
    """Names the step under way on standard error, with its elapsed time, once a step has run
    for more than `after` seconds. Silent unless standard error is a terminal."""

    def __init__(self, enabled: bool, after: float = 2.0) -> None:
        self.enabled = enabled
        self.after = after
        self._text = ""
        self._start = time.monotonic()
        self._shown = False
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        if enabled:
            self._thread = threading.Thread(target=self._run, daemon=True)
            self._thread.start()

    def step(self, text: str) -> None:
        self._text, self._start = text, time.monotonic()

    def _run(self) -> None:
        while not self._stop.wait(0.5):
            elapsed = time.monotonic() - self._start
            if self._text and elapsed >= self.after:
                sys.stderr.write(f"\r\x1b[Korvalis: {self._text} ... {elapsed:.0f} s")
                sys.stderr.flush()
                self._shown = True

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self._shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


# --- standard output ------------------------------------------------------------------------


class _RealStdout:
    """While the work runs, whatever the libraries print (to sys.stdout or to file descriptor 1,
    as native code does) goes to standard error, so that CSV on standard output stays clean."""

    def __enter__(self) -> "_RealStdout":
        self.fd: int | None = None
        try:
            sys.stdout.flush()
            self.fd = os.dup(1)
            os.dup2(2, 1)
        except (OSError, ValueError, AttributeError):
            self.fd = None
        return self

    def open(self):
        fd = os.dup(self.fd) if self.fd is not None else os.dup(1)
        return os.fdopen(fd, "w", encoding="utf-8", newline="")

    def __exit__(self, *exc: object) -> None:
        if self.fd is not None:
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
            os.dup2(self.fd, 1)
            os.close(self.fd)


# --- reading, writing -----------------------------------------------------------------------


def read_table(path: str):
    """DATA as the inference API reads a path: .xlsx, .npz, a folder of CSV files, or CSV."""
    import pandas as pd

    try:
        if path.endswith("xlsx"):
            return pd.read_excel(path)
        if path.endswith("npz"):
            import numpy as np

            with np.load(path) as archive:
                return pd.DataFrame({key: archive[key] for key in archive.files})
        if os.path.isdir(path):
            import glob

            frames = [pd.read_csv(entry, encoding="utf-8") for entry in glob.glob(path + "/*")]
            return pd.concat(frames) if frames else pd.DataFrame()
        if path.endswith("csv"):
            return pd.read_csv(path, encoding="utf-8")
    except Exception as e:
        _note(e, f"while reading {path}")
        raise
    raise CommandFailed(
        f"cannot read {path!r}: DATA must be a file ending in csv, xlsx or npz, or a folder of "
        "CSV files"
    )


def require_parquet() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError as e:
        raise CommandFailed(f"writing .parquet needs pyarrow ({e}); install it: {PARQUET_HINT}")


def write_table(frame, out: str | None, stdout: _RealStdout) -> None:
    """Write `frame` to OUT (standard output without one). The table goes to a temporary file
    beside OUT, renamed into place once complete: an interrupted or failed run leaves OUT as it
    was (or absent), never half-written. A missing folder of OUT is created."""
    if out is None:
        with stdout.open() as stream:
            frame.to_csv(stream, index=False)
        return
    import tempfile

    partial = None
    try:
        folder = os.path.dirname(os.path.abspath(out))
        os.makedirs(folder, exist_ok=True)
        fd, partial = tempfile.mkstemp(
            dir=folder, prefix=f".{os.path.basename(out)}.", suffix=".part"
        )
        os.close(fd)
        if out.lower().endswith(".parquet"):
            _parquet_ready(frame).to_parquet(partial, index=False, engine="pyarrow")
        else:
            frame.to_csv(partial, index=False)
        os.chmod(partial, _new_file_mode(out))
        os.replace(partial, out)
    except BaseException as e:
        if partial is not None and os.path.exists(partial):
            os.remove(partial)
        _note(e, f"while writing {out}")
        raise


def _new_file_mode(path: str) -> int:
    """The permissions OUT gets: those of the file it replaces, else what open() would give."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _parquet_ready(frame):
    """`frame` with categorical columns whose categories mix types (the model's own input
    transformation gives codes beside a text for missing values) as text categories, which
    parquet can store; every other column as it is."""
    import pandas as pd

    mixed = [
        col
        for col, dtype in frame.dtypes.items()
        if isinstance(dtype, pd.CategoricalDtype)
        and len({type(c) for c in dtype.categories}) > 1
    ]
    if not mixed:
        return frame
    frame = frame.copy(deep=False)
    for col in mixed:
        frame[col] = frame[col].cat.rename_categories([str(c) for c in frame[col].cat.categories])
    return frame


def _note(e: BaseException, text: str) -> None:
    if hasattr(e, "add_note") and text not in getattr(e, "__notes__", ()):
        e.add_note(text)


def _raw_column(columns: Sequence[Any], name: str | None) -> Any:
    """The raw column that preprocessing turns into `name` (names stripped, blanks to '_')."""
    if name is None:
        return None
    for col in columns:
        if isinstance(col, str) and col.strip().replace(" ", "_") == name:
            return col
    return None


# --- the work -------------------------------------------------------------------------------


def _require_data(path: str) -> None:
    # before the folder is loaded, which takes seconds
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file or folder: {path!r}")


def _input_files(args) -> list[tuple[str, str]]:
    """(path, what it is) of every file the command reads: DATA (a file, the files of a folder,
    or those a glob pattern matches) and the files of the result folder."""
    import glob

    data = getattr(args, "data", None)
    files: list[tuple[str, str]] = []
    if data is not None:
        if os.path.isdir(data):
            entries = glob.glob(os.path.join(glob.escape(data), "*"))
            files += [(p, "a file of DATA") for p in entries]
        elif glob.has_magic(data) and not os.path.exists(data):
            files += [(p, "a file DATA matches") for p in glob.glob(data)]
        else:
            files.append((data, "DATA"))
    for name in ("statistics", "reference"):
        if getattr(args, name, None) is not None:
            files.append((getattr(args, name), name.upper() if name == "reference" else "FILE"))
    for root, _, names in os.walk(args.result):
        files += [(os.path.join(root, n), "a file of the result folder RESULT") for n in names]
    return files


def _refuse_output_among_inputs(args) -> None:
    """OUT must not be a file the command reads: writing it would replace the user's data (or
    the result folder's) with the output. Checked before anything is read."""
    out = getattr(args, "output", None)
    if out is None:
        return
    try:
        target = os.stat(out)
    except OSError:
        return  # not there yet: no input of ours
    for path, what in _input_files(args):
        try:
            same = os.path.samestat(target, os.stat(path))
        except OSError:
            continue
        if same:
            raise _Usage(
                f"OUT {out!r} is {what} ({path}); writing it would replace an input: "
                "choose another output file"
            )


def load_folder(path: str):
    # before the inference API is imported, which takes seconds
    if not os.path.isdir(path):
        raise CommandFailed(f"result folder {path!r} does not exist or is not a folder")
    if not os.path.isfile(os.path.join(path, "config.yaml")):
        raise CommandFailed(f"{path!r} is not a result folder: it has no config.yaml")
    from orvalis import marqolin

    try:
        return marqolin(path)
    except Exception as e:
        _note(e, f"while loading the result folder {path}")
        raise


def decode_labels(m, values):
    """Original labels of the target for the model's codes, through the folder's encoder of the
    target column. Values that are not integer codes are the labels already and stay as they are,
    as do the values of a target without an encoder."""
    import contextlib
    import io

    import numpy as np
    import pandas as pd

    values = np.asarray(values)
    target = m.target_name
    if target not in m.lec_record_dt:
        return values
    kind = values.dtype.kind
    integral = kind in "iub" or (
        kind == "f" and bool(np.isfinite(values).all()) and bool((values == np.round(values)).all())
    )
    if not integral:
        return values
    said = io.StringIO()
    with contextlib.redirect_stdout(said):
        decoded = m.labeldecode(pd.Series(values, name=target))
    if decoded is None:
        raise CommandFailed(
            f"cannot decode the predictions with the encoder of {target!r}: "
            + " ".join(said.getvalue().split())
        )
    return decoded.to_numpy()


def class_labels(m, n: int) -> list[Any]:
    """The class of each probability column: `marqolin.classes_` (the target's labels when the
    folder has its encoder), else the column numbers."""
    try:
        classes = list(m.classes_)
    except AttributeError:
        classes = []
    return classes if len(classes) == n else list(range(n))


def prediction_frame(m, ids, values, proba: bool, labels: bool):
    """The output table: the identifier column (when the data has one), then the predictions."""
    import pandas as pd

    columns: dict[str, Any] = {}
    if ids is not None:
        columns[m.id_index] = ids
    if proba:
        for k, cls in enumerate(class_labels(m, values.shape[1])):
            columns[f"proba_{cls}"] = values[:, k]
    else:
        columns[m.target_name] = decode_labels(m, values) if labels else values
    return pd.DataFrame(columns)


def run_predict(args, progress: Progress, stdout: _RealStdout) -> None:
    if args.group_complete and not (args.dask or args.workers):
        raise _Usage("--group-complete needs --dask or --workers")
    _refuse_output_among_inputs(args)
    if args.output and args.output.lower().endswith(".parquet"):
        require_parquet()
    if not (args.dask or args.workers):
        _require_data(args.data)
    if args.statistics is not None:
        _require_data(args.statistics)
    progress.step(f"loading {args.result}")
    m = load_folder(args.result)
    statistics = load_statistics(args.statistics) if args.statistics is not None else None
    if args.dask or args.workers:
        from orvalis import dask as odask

        progress.step(f"scoring {args.data} on Dask")
        ids, values = odask.score_files(
            m,
            args.result,
            args.data,
            proba=args.proba,
            address=args.dask,
            workers=args.workers,
            group_complete=args.group_complete,
            blocksize=args.blocksize,
            statistics=args.statistics,
        )
    else:
        progress.step(f"reading {args.data}")
        frame = read_table(args.data)
        id_col = _raw_column(frame.columns.tolist(), m.id_index)
        ids = frame[id_col].to_numpy(copy=True) if id_col is not None else None
        rows = len(frame)
        progress.step(f"predicting {rows:,} rows")
        method = m.predict_proba if args.proba else m.predict
        inputs = list(getattr(m.model, "feature_names_in_", []))
        cols = frame.columns.tolist()
        if len(inputs) == len(cols) and set(inputs) == set(cols):
            # a frame with exactly the model's input columns would be taken as preprocessed;
            # the path is always preprocessed, and DATA is a path
            values = method(args.data, statistics=statistics)
        else:
            values = method(frame, statistics=statistics)
        if len(values) != rows:
            raise CommandFailed(f"the model gave {len(values)} predictions for {rows} rows")
    progress.step("writing")
    write_table(prediction_frame(m, ids, values, args.proba, args.labels), args.output, stdout)


def load_statistics(path: str):
    from orvalis import frozen_statistics

    try:
        return frozen_statistics.load(path)
    except Exception as e:
        _note(e, f"while reading the frozen statistics {path}")
        raise


def run_freeze(args, progress: Progress, stdout: _RealStdout) -> None:
    _refuse_output_among_inputs(args)
    _require_data(args.reference)
    progress.step(f"loading {args.result}")
    m = load_folder(args.result)
    progress.step(f"freezing the statistics of {args.reference}")
    stats = m.freeze_statistics(args.reference)
    if args.extend:
        progress.step("keeping the window history")
        stats = stats.extended(args.reference)
    progress.step("writing")
    try:
        stats.save(args.output)
    except Exception as e:
        _note(e, f"while writing {args.output}")
        raise
    histories = sum(len(frames) for frames in stats._history.values())
    with stdout.open() as stream:
        print(
            f"{args.output}: {len(stats)} quantities, {histories} window histories, "
            f"{os.path.getsize(args.output):,} bytes",
            file=stream,
        )


def run_features(args, progress: Progress, stdout: _RealStdout) -> None:
    _refuse_output_among_inputs(args)
    if args.output.lower().endswith(".parquet"):
        require_parquet()
    _require_data(args.data)
    if args.statistics is not None:
        _require_data(args.statistics)
    progress.step(f"loading {args.result}")
    m = load_folder(args.result)
    statistics = load_statistics(args.statistics) if args.statistics is not None else None
    progress.step(f"reading {args.data}")
    frame = read_table(args.data)
    progress.step(f"preprocessing {len(frame):,} rows")
    X = m.preprocess(frame, statistics=statistics)
    progress.step("writing")
    write_table(X, args.output, stdout)


def folder_info(m, path: str) -> dict[str, Any]:
    """Everything `orvalis info` reports, as plain JSON-ready values."""
    from orvalis import brevant

    encoders = {}
    for key, value in m.lec_record_dt.items():
        classes = getattr(value, "classes_", None)
        if classes is None or not hasattr(value, "inverse_transform"):
            continue
        classes = list(classes)
        token = getattr(value, "oov_token", None)
        if token is not None and classes and classes[-1] == token:
            classes = classes[:-1]  # the out-of-vocabulary token is no training class
        encoders[key] = len(classes)
    features = []
    names = list(m.adv_features)
    table = brevant.feature2table(names)
    for name, (ident, latex) in zip(names, table[["id", "latex"]].itertuples(index=False)):
        features.append({"id": int(ident), "name": name, "formula": latex})
    try:
        model = m.obtain_model_configuration()
    except AttributeError:
        # a plain estimator instead of a model search: its class and parameters
        get_params = getattr(m.model, "get_params", None)
        model = {
            "model_type": type(m.model).__name__,
            "model_params": get_params() if get_params else {},
            "task": m.task,
        }
    return {
        "result": os.path.abspath(path),
        "task": {
            "target": m.target_name,
            "task_type": m.task,
            "split_type": m.split_type,
            "test_share": m.test_size,
            "group_column": m.group_id,
            "time_column": m.time_index,
            "identifier_column": m.id_index,
            "ignored_features": list(m.ignore_features or []),
            "model_search": bool(m.automl_running),
        },
        "encoders": encoders,
        "engineered_features": features,
        "model": _plain(model),
    }


def _plain(value: Any) -> Any:
    """`value` with NumPy scalars and other odd leaves turned into JSON values."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    item = getattr(value, "item", None)
    if callable(item):
        try:
            return _plain(item())
        except (TypeError, ValueError):
            pass
    return repr(value)


def format_info(info: dict[str, Any]) -> str:
    task = info["task"]

    def show(value: Any) -> str:
        if value is None:
            return "-"
        if isinstance(value, list):
            return ", ".join(map(str, value)) if value else "-"
        return str(value)

    lines = [f"result folder: {info['result']}", "", "task"]
    rows = [
        ("target", task["target"]),
        ("task type", task["task_type"]),
        ("split type", task["split_type"]),
        ("test share", task["test_share"]),
        ("group column", task["group_column"]),
        ("time column", task["time_column"]),
        ("identifier column", task["identifier_column"]),
        ("ignored features", task["ignored_features"]),
        ("model search", "yes" if task["model_search"] else "no (plain estimator)"),
    ]
    lines += [f"  {key + ':':<20}{show(value)}" for key, value in rows]
    lines += ["", f"encoders ({len(info['encoders'])})"]
    lines += [f"  {col:<20}{n} classes" for col, n in info["encoders"].items()] or ["  -"]
    feats = info["engineered_features"]
    lines += ["", f"engineered features ({len(feats)})"]
    width = max((len(f["name"]) for f in feats), default=0)
    lines += [f"  {f['id']:>2}  {f['name']:<{width}}  {f['formula']}" for f in feats] or ["  -"]
    model = info["model"]
    lines += ["", "model", f"  {'type:':<20}{model.get('model_type')}"]
    lines += [f"  {'task:':<20}{model.get('task')}"]
    params = model.get("model_params") or {}
    lines += [f"  {'parameters:':<20}-" if not params else "  parameters:"]
    lines += [f"    {key:<24}{value}" for key, value in params.items()]
    return "\n".join(lines) + "\n"


def run_info(args, progress: Progress, stdout: _RealStdout) -> None:
    import json

    progress.step(f"loading {args.result}")
    info = folder_info(load_folder(args.result), args.result)
    text = json.dumps(info, ensure_ascii=False, indent=2) + "\n" if args.json else format_info(info)
    with stdout.open() as stream:
        stream.write(text)


class _Usage(Exception):
    """An argument combination that argparse cannot check by itself."""


COMMANDS = {
    "predict": run_predict,
    "freeze": run_freeze,
    "info": run_info,
    "features": run_features,
}


def _one_line(e: BaseException) -> str:
    # a KeyError's text is the repr of its key; a message given as the key reads as it is
    said = e.args[0] if isinstance(e, KeyError) and len(e.args) == 1 else e
    parts = [" ".join(str(said).split())]
    parts += [" ".join(str(n).split()) for n in getattr(e, "__notes__", ()) or ()]
    text = "; ".join(p for p in parts if p)
    if isinstance(e, CommandFailed):
        return text
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        progress = Progress(enabled=_is_tty(sys.stderr))
    except RuntimeError:  # no thread can be started: no progress
        progress = Progress(enabled=False)
    try:
        with _RealStdout() as stdout:
            COMMANDS[args.command](args, progress, stdout)
    except _Usage as e:
        progress.close()
        parser.error(str(e))  # exits with status 2
    except BrokenPipeError:
        progress.close()
        # the reader of standard output went away (`| head`): nothing more to say
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_FAILURE
    except KeyboardInterrupt:
        progress.close()
        print("orvalis: interrupted", file=sys.stderr)
        return 130
    except Exception as e:
        progress.close()
        if args.verbose:
            import traceback

            traceback.print_exception(e, file=sys.stderr)
        print(f"orvalis {args.command}: error: {_one_line(e)}", file=sys.stderr)
        return EXIT_FAILURE
    progress.close()
    return EXIT_OK


def _is_tty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


if __name__ == "__main__":
    sys.exit(main())
