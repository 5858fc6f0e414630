"""The distribution: an sdist that builds the abi3 wheel on its own, a wheel
whose extension uses nothing outside the Python 3.11 stable ABI, and complete
project metadata.

The build runs once per session (about half a minute): the sdist is made from
this checkout, unpacked into an empty directory and the wheel is built from
that directory alone, in build's isolated environment, as a user's
`pip install greekmill-*.tar.gz` would.
"""

from __future__ import annotations

import email.parser
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
PROJECT = PYPROJECT["project"]
DIST_NAME = f"{PROJECT['name']}-{PROJECT['version']}"
EXTENSION = "greekmill_python.abi3.so"
STUB = "greekmill_python-stubs/__init__.pyi"
# The greekmill package: its Python files, its type marker and its array engine.
PACKAGE_DIR = ROOT / "src" / "greekmill"
NATIVE = "greekmill/_native.abi3.so"
PACKAGE = {f"greekmill/{p.name}" for p in PACKAGE_DIR.iterdir()
           if p.suffix == ".py" or p.name == "py.typed"} | {NATIVE}
# Each extension with the one function it exports.
EXTENSIONS = {EXTENSION: "PyInit_greekmill_python", NATIVE: "PyInit__native"}
# Version encoded as Py_LIMITED_API expects it: 3.11 is the ABI the wheel is tagged for.
LIMITED_API_3_11 = "0x030B0000"

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="the ELF symbol checks need Linux"
)


def run(*args: str | Path, cwd: Path | None = None) -> str:
    done = subprocess.run(
        [str(a) for a in args], cwd=cwd, capture_output=True, text=True, check=False
    )
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    (sdist,) = out.glob("*.tar.gz")

    unpacked = tmp_path_factory.mktemp("sdist")
    with tarfile.open(sdist) as archive:
        archive.extractall(unpacked, filter="data")
    wheel_out = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "build", "--wheel", "--outdir", wheel_out, unpacked / DIST_NAME)
    (wheel,) = wheel_out.glob("*.whl")

    extracted = tmp_path_factory.mktemp("wheel-contents")
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(extracted)
    return {"sdist": sdist, "wheel": wheel, "contents": extracted}


def wheel_metadata(contents: Path, name: str) -> email.message.Message:
    text = (contents / f"{DIST_NAME}.dist-info" / name).read_text(encoding="utf-8")
    return email.parser.Parser().parsestr(text)


def test_sdist_holds_the_sources_and_no_build_output(dist: dict[str, Path]) -> None:
    with tarfile.open(dist["sdist"]) as archive:
        names = {n.removeprefix(f"{DIST_NAME}/") for n in archive.getnames()}
    required = {
        "pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", STUB,
        "core/option.hpp", "core/black_scholes.cpp", "core/bjerksund_stensland.cpp",
        "module/module.cpp", "module/wrappers.hpp", "native/native.cpp",
        "src/greekmill/__init__.py", "core/batch/operations.cpp",
    }
    assert required <= names
    assert not [n for n in names if n.startswith("build/") or n.endswith((".o", ".so"))]


def test_wheel_is_tagged_cp311_abi3(dist: dict[str, Path]) -> None:
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert dist["wheel"].name == f"{DIST_NAME}-cp311-abi3-{platform}.whl"
    wheel = wheel_metadata(dist["contents"], "WHEEL")
    assert wheel.get_all("Tag") == [f"cp311-abi3-{platform}"]
    assert wheel["Root-Is-Purelib"] == "false"


def test_auditwheel_gives_a_manylinux_tag_and_changes_no_file(
    dist: dict[str, Path], tmp_path: Path
) -> None:
    # The extensions need only the C and C++ runtimes every manylinux system
    # has: the repair renames the wheel and grafts nothing into it.
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    done = subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-w", str(tmp_path),
                           str(dist["wheel"])], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    (repaired,) = tmp_path.glob("*.whl")
    machine = platform.machine()
    tag = re.fullmatch(rf"{DIST_NAME}-cp311-abi3-manylinux_2_(\d+)_{machine}\.whl", repaired.name)
    assert tag, repaired.name
    glibc_minor = int(os.confstr("CS_GNU_LIBC_VERSION").split(".")[1])
    assert int(tag[1]) <= glibc_minor
    with zipfile.ZipFile(dist["wheel"]) as built, zipfile.ZipFile(repaired) as fixed:
        def files(archive: zipfile.ZipFile) -> list[str]:
            return sorted(n for n in archive.namelist()
                          if ".dist-info/" not in n and not n.endswith("/"))
        payload = files(built)
        assert files(fixed) == payload
        assert all(built.read(n) == fixed.read(n) for n in payload)


def test_wheel_ships_the_extension_and_its_stubs(dist: dict[str, Path]) -> None:
    with zipfile.ZipFile(dist["wheel"]) as archive:
        payload = {n for n in archive.namelist() if ".dist-info/" not in n}
    assert payload == {EXTENSION, STUB} | PACKAGE


def test_wheel_metadata_is_complete(dist: dict[str, Path]) -> None:
    meta = wheel_metadata(dist["contents"], "METADATA")
    assert meta["Name"] == PROJECT["name"]
    assert meta["Version"] == PROJECT["version"]
    assert meta["Summary"] == PROJECT["description"]
    assert meta["Requires-Python"] == ">=3.11"
    assert meta["License"] == "MIT" or meta["License-Expression"] == "MIT"
    classifiers = set(meta.get_all("Classifier"))
    assert {"Typing :: Typed", "Programming Language :: Python :: 3.11"} <= classifiers
    assert meta["Description-Content-Type"] == "text/markdown"
    assert "## Quick start" in meta.get_payload()


def limited_api_symbols() -> set[str]:
    """Every function and data name that Python.h declares as exported from the
    interpreter when compiled for the 3.11 limited API.

    The headers of the interpreter under test are the source: with
    Py_LIMITED_API set they declare exactly the stable-ABI entry points of that
    version, each through PyAPI_FUNC or PyAPI_DATA, which the preprocessor turns
    into a declaration carrying the default-visibility attribute.  Static
    inline helpers do not carry it, so they are not taken.
    """
    include = sysconfig.get_paths()["include"]
    source = f"#define Py_LIMITED_API {LIMITED_API_3_11}\n#include <Python.h>\n"
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("g++")
    assert compiler, "no C compiler to preprocess Python.h"
    preprocessed = subprocess.run(
        [compiler, "-E", "-P", "-x", "c", f"-I{include}", "-"],
        input=source, capture_output=True, text=True, check=True,
    ).stdout
    marker = re.compile(r'__attribute__\s*\(\(\s*visibility\s*\(\s*"default"\s*\)\s*\)\)')
    attribute = re.compile(r"__attribute__\s*\(\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)\)")
    names: set[str] = set()
    for declaration in preprocessed.split(";"):
        if not marker.search(declaration):
            continue
        declaration = attribute.sub(" ", declaration)
        head = declaration.split("(", 1)[0]  # a function name stands before its "("
        identifiers = re.findall(r"[A-Za-z_]\w*", head)
        if identifiers and identifiers[-1].startswith(("Py", "_Py")):
            names.add(identifiers[-1])
    return names


def dynamic_symbols(library: Path, *, undefined: bool) -> set[str]:
    option = "--undefined-only" if undefined else "--defined-only"
    out = run("nm", "-D", option, library)
    # Lines read "<address> <type> <name>[@version]"; undefined ones lack the address.
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def test_limited_api_symbol_list_is_sound() -> None:
    symbols = limited_api_symbols()
    # Names the module relies on, a few stable-ABI data symbols, and names that
    # the 3.11 limited API leaves out (fast calls, the unstable interpreter API).
    assert {"PyModule_Create2", "PyCMethod_New", "PyType_FromSpec", "PyFloat_AsDouble",
            "_Py_Dealloc", "PyExc_TypeError", "_Py_NoneStruct", "PyBaseObject_Type"} <= symbols
    assert not {"PyObject_Vectorcall", "_PyArg_ParseTupleAndKeywordsFast",
                "PyUnstable_Code_New", "PyFloat_AS_DOUBLE", "Py_INCREF"} & symbols
    assert len(symbols) > 600


@pytest.mark.parametrize("extension", EXTENSIONS)
def test_extension_imports_nothing_outside_the_stable_abi(dist: dict[str, Path],
                                                          extension: str) -> None:
    library = dist["contents"] / extension
    imported = {n for n in dynamic_symbols(library, undefined=True) if n.startswith(("Py", "_Py"))}
    assert "PyFloat_FromDouble" in imported  # the filter sees the interpreter's symbols
    assert imported - limited_api_symbols() == set()


@pytest.mark.parametrize("extension", EXTENSIONS)
def test_extension_exports_only_its_init_function(dist: dict[str, Path], extension: str) -> None:
    exported = dynamic_symbols(dist["contents"] / extension, undefined=False)
    assert {n for n in exported if not n.startswith("_")} == {EXTENSIONS[extension]}


@pytest.mark.parametrize("extension", EXTENSIONS)
def test_extension_does_not_link_libpython(dist: dict[str, Path], extension: str) -> None:
    dynamic = run("readelf", "-d", dist["contents"] / extension)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed, "readelf listed no NEEDED entries"
    assert not [lib for lib in needed if "python" in lib]


def test_wheel_installs_and_imports_in_a_clean_venv(
    dist: dict[str, Path], tmp_path: Path
) -> None:
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", dist["wheel"])
    probe = (
        "import pathlib, sysconfig, greekmill_python as gm\n"
        "site = pathlib.Path(sysconfig.get_paths()['platlib'])\n"
        "print(pathlib.Path(gm.__file__).parent == site)\n"
        f"print((site / {STUB!r}).is_file())\n"
        "print(repr(gm.am_price(100.0, 100.0, 0.5, 0.05, 0.2, 0.0, 'put')))\n"
    )
    # Run outside the checkout so nothing but the installed wheel can be imported.
    in_site, has_stub, value = run(python, "-c", probe, cwd=tmp_path).split()
    assert (in_site, has_stub) == ("True", "True")
    # The at-the-money put with no yield: the Black-Scholes put value.
    assert float(value) == pytest.approx(4.41971978051, abs=1e-10)


def test_wheel_builders_test_what_exists() -> None:
    # The wheels of other platforms are tested by cibuildwheel on runners this
    # project's CI does not have: a renamed test file or an extra that no
    # longer exists would fail only there.
    config = PYPROJECT["tool"]["cibuildwheel"]
    files = re.findall(r"\{project\}/(\S+)", config["test-command"])
    assert files and all((ROOT / f).is_file() for f in files), files
    required = {re.split(r"[<>=\[ ]", r)[0] for r in config["test-requires"]}
    test_extra = {re.split(r"[<>=\[ ]", r)[0] for r in PROJECT["optional-dependencies"]["test"]}
    assert required <= test_extra, required - test_extra
