"""The release builder and the cleaner. Both run when imported, so every test runs them in a
child interpreter whose working folder is a temporary tree; this process never imports them."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SRC = REPO / "src"
RELEASE_VARIABLES = ("ORVALIS_RELEASE_ENV_ROOT", "ORVALIS_RELEASE_ENVS", "ORVALIS_RELEASE_PYTHON")


def run_tool(module, cwd, after="", **env):
    """`python -c "import orvalis.<module>"` in cwd; `after` runs once the import is done."""
    base = {k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES}
    base["PYTHONPATH"] = str(SRC)
    code = f"import orvalis.{module} as tool\n" + textwrap.dedent(after)
    return subprocess.run(
        [sys.executable, "-c", code], cwd=cwd, env={**base, **env}, capture_output=True, text=True
    )


def make_tree(root: Path, files):
    for name in files:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(name)


# What makes a folder this package's source folder for the tools: its build script and a
# pyproject.toml naming the package. Elsewhere the tools refuse to run.
MARKERS = ("pyproject.toml", "setup.py")


def source_folder(root: Path) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    (root / "pyproject.toml").write_text('[project]\nname = "orvalis"\nversion = "0.1.0"\n')
    if not (root / "setup.py").exists():
        (root / "setup.py").write_text("# the package's build script\n")
    return root


def listing(root: Path):
    """Every path below root, without the source-folder markers."""
    return sorted(
        p.relative_to(root).as_posix() for p in root.rglob("*") if p.relative_to(root).as_posix()
        not in MARKERS
    )


# --- the cleaner --------------------------------------------------------------------------------


def test_cleaner_removes_c_files_and_build_folders(tmp_path):
    source_folder(tmp_path)
    make_tree(
        tmp_path,
        [
            "top.c", "pkg/mod.c", "pkg/deep/er/gen.c", "build/temp/ext.c", "build/lib/x.so",
            "dist/orvalis-0.1.0.tar.gz", "orvalis.egg-info/PKG-INFO", "releases/old.whl",
            "pkg/upper.C", "pkg/keep.cpp", "pkg/keep.cc", "pkg/notes.c.txt", "pkg/header.h",
        ],
    )  # fmt: skip
    (tmp_path / "folder.c").mkdir()  # a folder is not a file, whatever its name

    result = run_tool(
        "vollix", tmp_path, "print(sorted(n for n in vars(tool) if not n.startswith('__')), tool.f)"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    deleted = {"./top.c", "./pkg/mod.c", "./pkg/deep/er/gen.c", "./build/temp/ext.c"}
    assert sorted(lines[:-1]) == sorted("Deleted: " + p for p in deleted)
    assert lines[-1] == (
        "['delete_files', 'f', 'glob', 'os', 'remove_files', 'shutil', 'vollix_files'] dist"
    )
    assert listing(tmp_path) == [
        "folder.c", "pkg", "pkg/deep", "pkg/deep/er", "pkg/header.h", "pkg/keep.cc", "pkg/keep.cpp",
        "pkg/notes.c.txt", "pkg/upper.C", "releases", "releases/old.whl",
    ]  # fmt: skip

    again = run_tool("vollix", tmp_path)
    assert (again.returncode, again.stdout, again.stderr) == (0, "", "")
    assert listing(tmp_path)[-1] == "releases/old.whl"


def test_cleaner_functions_and_errors(tmp_path):
    source_folder(tmp_path)
    make_tree(tmp_path, ["a/x.c", "a/y.cpp"])
    result = run_tool(
        "vollix",
        tmp_path,
        """
        import inspect, os
        print(inspect.signature(tool.vollix_files), inspect.signature(tool.delete_files))
        print(tool.remove_files)
        os.makedirs("z/q.c/r")
        print(tool.vollix_files("z"), tool.delete_files("z/q.c"), tool.delete_files("nowhere"))
        print(sorted(os.listdir("z")))
        """,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Deleted: ./a/x.c",
        "(directory) (path)",
        "['build', 'orvalis.egg-info', 'dist']",
        "None None None",
        "[]",
    ]

    # "build" exists but is a file: the script stops with the interpreter's own error
    make_tree(tmp_path, ["build", "dist/keep.txt", "b/x.c"])
    failed = run_tool("vollix", tmp_path)
    assert failed.returncode == 1
    assert failed.stderr.strip().splitlines()[-1].startswith("NotADirectoryError:")
    assert failed.stdout == "Deleted: ./b/x.c\n"
    assert (tmp_path / "dist" / "keep.txt").exists()  # steps after the failure never ran


# --- the builder's loop, with a build script written by the test ------------------------------

FAKE_BUILD = """
import json, os, sys
state = json.load(open("state.json")) if os.path.exists("state.json") else {"builds": []}
plan = [
    ["orvalis-0.1.0.tar.gz", "orvalis-0.1.0-cp38-cp38-linux_x86_64.whl", "other-9-any.whl"],
    ["orvalis-0.1.0.tar.gz", "build/temp/generated.c"],
    None,
]
step = len(state["builds"])
environment = os.path.basename(os.path.dirname(os.path.dirname(sys.executable)))
left_over = sorted(p for p in ("build", "dist") if os.path.exists(p))
state["builds"].append({"argv": sys.argv[1:], "interpreter": environment, "left_over": left_over})
json.dump(state, open("state.json", "w"))
if plan[step] is None:
    sys.exit(3)
for name in plan[step]:
    path = name if name.startswith("build/") else os.path.join("dist", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "w").write(name)
"""


def test_builder_collects_first_wheel_and_cleans_between_builds(tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    (project / "setup.py").write_text(FAKE_BUILD)
    source_folder(project)
    make_tree(project, ["releases/orvalis-0.0.9-cp37-none-any.whl", "src/ext.c", "src/keep.cpp"])
    root = tmp_path / "env root"  # a space in the path: the command must still find it
    for name in ("e38", "e39", "e310"):
        (root / name / "bin").mkdir(parents=True)
        os.symlink(sys.executable, root / name / "bin" / "python")

    result = run_tool(
        "tessaro",
        project,
        """
        for name in ("py_envs", "env", "files", "file", "whl_dst_path", "save_path", "f",
                     "remove_files"):
            print(name, "=", repr(getattr(tool, name)))
        """,
        ORVALIS_RELEASE_ENV_ROOT=str(root),
        ORVALIS_RELEASE_ENVS="e38, e39,e310",
        ORVALIS_RELEASE_PYTHON="bin/python",
    )
    assert result.returncode == 0, result.stderr
    dist = project / "dist"
    releases = project / "releases"
    lines = result.stdout.splitlines()

    # first build: entries printed in the search's order up to the first wheel, which is moved
    first = lines[: next(i for i, line in enumerate(lines) if line.endswith(".whl")) + 2]
    collected, destination = first[-2], first[-1]
    assert Path(collected).parent == dist
    assert destination == str(releases / Path(collected).name)
    assert all(line.startswith(str(dist)) and not line.endswith(".whl") for line in first[:-2])
    rest = lines[len(first) :]
    assert rest[0] == "Deleted: ./src/ext.c"
    # second build: no wheel; its generated .c is cleaned with the build folder
    assert rest[1:3] == [str(dist / "orvalis-0.1.0.tar.gz"), "Deleted: ./build/temp/generated.c"]
    # the failed third build leaves nothing to print; the attributes keep their last values
    assert rest[3:] == [
        "py_envs = ['e38', 'e39', 'e310']",
        "env = 'e310'",
        "files = []",
        f"file = {str(dist / 'orvalis-0.1.0.tar.gz')!r}",
        f"whl_dst_path = {destination!r}",
        f"save_path = {str(releases)!r}",
        "f = 'dist'",
        "remove_files = ['build', 'orvalis.egg-info', 'dist']",
    ]

    wheels = sorted(p.name for p in releases.iterdir())
    assert wheels == sorted(["orvalis-0.0.9-cp37-none-any.whl", Path(collected).name])
    assert not dist.exists() and not (project / "build").exists()
    assert (project / "src" / "keep.cpp").exists()

    import json

    builds = json.loads((project / "state.json").read_text())["builds"]
    assert [b["argv"] for b in builds] == [["sdist", "bdist_wheel"]] * 3
    assert [b["interpreter"] for b in builds] == ["e38", "e39", "e310"]
    assert [b["left_over"] for b in builds] == [[], [], []]  # cleaned before every next build


def test_builder_defaults(tmp_path):
    source_folder(tmp_path)
    result = run_tool(
        "tessaro",
        tmp_path,
        "import os; print(tool.env_root, tool.env_python, tool.py_envs,"
        f" sorted(set(os.listdir('.')) - set({MARKERS!r})))",
    )
    assert result.returncode == 0, result.stderr
    envs = ["v38vexa", "v39vexa", "v310vexa", "v311vexa"]
    assert result.stdout.splitlines() == [
        f"D:/software/miniconda/envs/ python.exe {envs} ['releases']"
    ]
    # the four builds were attempted with the build machine's interpreters, in order
    tried = [line for line in result.stderr.splitlines() if "D:/software/miniconda/envs/" in line]
    assert [next(e for e in envs if f"/{e}/" in line) for line in tried] == envs
    assert all("python.exe" in line for line in tried)


# --- the guard: nowhere but in the source folder ---------------------------------------------

NOT_SOURCE_FOLDERS = {
    "empty": {},
    "setup-only": {"setup.py": "# a build script\n"},
    "pyproject-only": {"pyproject.toml": '[project]\nname = "orvalis"\n'},
    "other-project": {"setup.py": "", "pyproject.toml": '[project]\nname = "my-project"\n'},
    "no-project-table": {"setup.py": "", "pyproject.toml": '[tool.orvalis]\nname = "orvalis"\n'},
    "broken-pyproject": {"setup.py": "", "pyproject.toml": '[project\nname = "orvalis"\n'},
    "pyproject-folder": {"setup.py": "", "pyproject.toml/x": ""},
}


@pytest.mark.parametrize("tool", ["vollix", "tessaro"])
@pytest.mark.parametrize("kind", NOT_SOURCE_FOLDERS)
def test_tools_refuse_outside_the_source_folder(tmp_path, tool, kind):
    for name, text in {
        **NOT_SOURCE_FOLDERS[kind], "my_project.c": "int main;", "build/a.o": "", "dist/x.whl": ""
    }.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    root = tmp_path / "env"  # a build script that would leave a sign of having run
    result = run_tool(tool, tmp_path, ORVALIS_RELEASE_ENV_ROOT=str(root))
    assert result.returncode == 1
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith(f"ImportError: orvalis.{tool} ")
    assert repr(str(tmp_path)) in last and "nothing was deleted or built" in last
    assert "setup.py" in last and "pyproject.toml naming orvalis" in last
    assert result.stdout == ""
    assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*")) == before


def test_editor_completion_deletes_nothing(tmp_path):
    """An editor completing `orvalis.vollix.` imports the module in the user's project folder."""
    (tmp_path / "my_project.c").write_text("int main(void) { return 0; }\n")
    (tmp_path / "build").mkdir()
    code = textwrap.dedent(
        """
        import jedi
        source = "import orvalis.vollix\\norvalis.vollix."
        for name in ("vollix", "tessaro"):
            text = source.replace("vollix", name)
            print([c.name for c in jedi.Script(text).complete(2, len(text.splitlines()[1]))])
        """
    )
    env = {k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES}
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        env={**env, "PYTHONPATH": str(SRC)},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "my_project.c").read_text() == "int main(void) { return 0; }\n"
    assert (tmp_path / "build").is_dir()
    assert not (tmp_path / "releases").exists()


# --- a real release build of this package ------------------------------------------------------

WORK = REPO / "build" / "release-test"  # kept between runs: the CMake build compiles only changes


def _copy_sources(target: Path):
    files = (
        subprocess.run(
            ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
            cwd=REPO,
            capture_output=True,
            check=True,
        )
        .stdout.decode()
        .split("\0")
    )
    if target.exists():
        shutil.rmtree(target)
    for name in filter(None, files):
        source = REPO / name
        if source.is_file() and not name.endswith(".so"):
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / name)  # same times: nothing unchanged is recompiled
    if not (target / "README.md").exists():  # the package metadata names a README
        (target / "README.md").write_text("# orvalis\n")


def _virtual_environment(path: Path) -> Path:
    """A real virtual environment that also sees this interpreter's packages (build tools and
    run-time dependencies), so that nothing needs downloading."""
    python = path / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(path)], check=True)
        site = subprocess.run(
            [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        Path(site, "shared-dependencies.pth").write_text(sysconfig.get_path("purelib") + "\n")
    return python


@pytest.mark.slow
def test_builder_builds_an_installable_wheel(tmp_path):
    source = WORK / "source"
    _copy_sources(source)
    _virtual_environment(WORK / "envs" / "py311")
    make_tree(source, ["releases/keep.txt"])

    result = run_tool(
        "tessaro",
        source,
        ORVALIS_RELEASE_ENV_ROOT=str(WORK / "envs"),
        ORVALIS_RELEASE_ENVS="py311",
        ORVALIS_RELEASE_PYTHON="bin/python",
        ORVALIS_BUILD_DIR=str(WORK / "cmake"),
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    releases = source / "releases"
    wheels = sorted(releases.glob("orvalis-*.whl"))
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert [w.name for w in wheels] == [f"orvalis-0.1.0-cp311-cp311-{platform}.whl"]
    assert (releases / "keep.txt").exists()
    printed = result.stdout.splitlines()
    assert str(wheels[0]) in printed
    assert str(source / "dist" / wheels[0].name) in printed
    for folder in ("build", "dist", "orvalis.egg-info"):
        assert not (source / folder).exists()
    # the wheel carries its license and the dependencies pip resolves
    import zipfile

    from test_distribution import check_metadata

    with zipfile.ZipFile(wheels[0]) as wheel:
        info = "orvalis-0.1.0.dist-info"
        check_metadata(wheel.read(f"{info}/METADATA").decode())
        assert wheel.read(f"{info}/licenses/LICENSE") == (REPO / "LICENSE").read_bytes()

    # install the collected wheel into a fresh environment and use it from there
    fresh = _virtual_environment(tmp_path / "fresh")
    install = subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "--python",
            str(fresh),
            "install",
            "--no-index",
            "--quiet",
            str(wheels[0]),
        ],
        capture_output=True,
        text=True,
    )
    assert install.returncode == 0, install.stderr
    check = (
        "import orvalis\n"
        "from orvalis import brevant\n"
        "print(orvalis.__file__)\n"
        "print(brevant.split_features('add###a|||multiply###b|||c$$$$$$'))\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    used = subprocess.run(
        [str(fresh), "-c", check], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert used.returncode == 0, used.stderr
    location, features = used.stdout.splitlines()
    assert Path(location).is_relative_to(tmp_path / "fresh")
    import brevant

    assert features == str(brevant.split_features("add###a|||multiply###b|||c$$$$$$"))
