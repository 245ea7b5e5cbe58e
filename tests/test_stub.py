"""The type stub installed beside the module: found where type checkers look,
true to the runtime's signatures (mypy's stubtest) and to the types of the
results the module really returns."""

import inspect
import os
import subprocess
import sys
import types
import typing

import pytest

import rawbuilder as rb
import samples
from conftest import SANITIZED, velmaro

HERE = os.path.dirname(os.path.abspath(__file__))
# Type checkers look for a top-level module's stubs in "<name>-stubs" on the
# same path as the module itself.
STUB = os.path.join(os.path.dirname(velmaro.__file__), "velmaro-stubs", "__init__.pyi")
MYPY_CONFIG = """
[mypy]
ignore_missing_imports = True
disallow_untyped_defs = True
warn_unused_ignores = True
[mypy-dask.*,distributed.*]
follow_imports = skip
"""


def mypy(tmp_path, *args):
    """mypy's result, run outside the source tree so that only the installed
    stub can be found, and without the sanitizer runtimes, which would only
    slow it down."""
    pytest.importorskip("mypy")
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=environment,
                          capture_output=True, text=True, timeout=300)


def test_stub_is_installed_beside_the_module():
    assert os.path.isfile(STUB), STUB
    source = os.path.join(HERE, "..", "velmaro-stubs", "__init__.pyi")
    if os.path.isfile(source):
        with open(STUB) as installed, open(source) as tree:
            assert installed.read() == tree.read(), "the installed stub is not this tree's"


def test_stubtest_agrees_with_the_runtime(tmp_path):
    if SANITIZED:
        # It imports the module, which the sanitizer build cannot do without
        # the runtimes that make mypy crawl; the matrix's runs make the check.
        pytest.skip("a check of the stub against the module's signatures, the same for every build")
    result = mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", "mypy.ini", "velmaro")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_against_the_stub(tmp_path):
    examples = os.path.join(HERE, "..", "examples")
    if not os.path.isdir(examples):
        pytest.skip("no examples beside the tests")
    # Checked where the examples' libraries, which carry their own types, are
    # installed: against those too.
    for package in ["pandas", "matplotlib", "distributed", "psims", "pyteomics", "pyarrow"]:
        pytest.importorskip(package)
    # demo.py is the plain main job and carries no annotations.
    files = [os.path.join(examples, n) for n in [
        "scan_table.py", "plot_spectrum.py", "batch_summary.py", "export.py"]]
    result = mypy(tmp_path, "mypy", "--config-file", "mypy.ini", "--cache-dir", str(tmp_path / "cache"), *files)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_installed_toolkit_passes_strict_type_checking(tmp_path):
    # Once, where the optional libraries that carry their own types are
    # installed too (scripts/test's .venv): checked against those as well.
    for package in ["velmaro_tools", "pyarrow", "distributed"]:
        pytest.importorskip(package)
    (tmp_path / "strict.ini").write_text("[mypy]\n[mypy-cloudpickle.*,pandas.*,tqdm.*]\nignore_missing_imports = True\n")
    result = mypy(tmp_path, "mypy", "--strict", "--config-file", "strict.ini", "--cache-dir",
                  str(tmp_path / "cache"), "-p", "velmaro_tools")
    assert result.returncode == 0, result.stdout + result.stderr


# ---- result types ------------------------------------------------------------


@pytest.fixture(scope="module")
def stub():
    """The stub's RawFileReader, run as Python, and the stub's namespace."""
    pytest.importorskip("numpy")
    with open(STUB) as f:
        source = "from __future__ import annotations\n" + f.read()
    namespace = {"__name__": "velmaro_stub"}
    exec(compile(source, STUB, "exec"), namespace)
    return namespace["RawFileReader"], namespace


@pytest.fixture(scope="module")
def hints(stub):
    """The stub's annotations of RawFileReader, evaluated: a property's type,
    or a method's result type and number of parameters."""
    stub, namespace = stub
    found = {}
    for name, member in vars(stub).items():
        if isinstance(member, property):
            found[name] = typing.get_type_hints(member.fget, namespace)["return"]
        elif isinstance(member, types.FunctionType) and not name.startswith("__"):
            found[name] = (typing.get_type_hints(member, namespace)["return"], member.__code__.co_argcount - 1)
    return found


def ndarray_scalar(hint):
    """The scalar type of an NDArray hint, or None: NumPy 1.x spells NDArray[T]
    as ndarray[Any, dtype[T]], newer NumPy as a type alias of its own."""
    import numpy as np
    import numpy.typing as npt

    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is np.ndarray:
        return typing.get_args(args[1])[0]
    if origin is not None and origin is npt.NDArray:
        return args[0]
    return None


def conforms(value, hint):
    """Whether value is of the annotated type, exactly for the scalars (an int
    where a float is promised is a fault)."""
    import numpy as np

    origin, args = typing.get_origin(hint), typing.get_args(hint)
    scalar = ndarray_scalar(hint)
    if hint is None or hint is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if typing.is_typeddict(hint):
        fields = typing.get_type_hints(hint)
        return (type(value) is dict and list(value) == list(fields)
                and all(conforms(value[k], t) for k, t in fields.items()))
    if scalar is not None:
        return type(value) is np.ndarray and value.ndim == 1 and value.dtype == scalar
    if origin is tuple:
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is dict:
        return type(value) is dict and all(conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
    return type(value) is hint


def readers(tmp_path):
    small = rb.RawImage().header(version=57)
    for i in range(48):
        small.rt(i, 0.5 * i, small=True).injection(i, 3.0)
    small.put(rb.SMALL_SCAN_OFFSETS[0], rb.peak_block(*rb.ramp(30), 8))
    return [
        velmaro.RawFileReader(samples.sample_image().write(str(tmp_path / "orbitrap" / "sample.raw"))),
        velmaro.RawFileReader(small.write(str(tmp_path / "small.RAW"))),
        velmaro.RawFileReader(rb.RawImage(40).header(version=99).write(str(tmp_path / "other.raw"))),
    ]


def test_results_have_the_annotated_types(hints, tmp_path):
    members = {name for name in dir(velmaro.RawFileReader) if not name.startswith("__")}
    assert members == set(hints)
    for reader in readers(tmp_path):
        for name, hint in hints.items():
            if not isinstance(hint, tuple):
                assert conforms(getattr(reader, name), hint), name
                continue
            result, parameters = hint
            # In range, the first and last scans, and the neutral results.
            calls = [(n,) for n in [1, 2, reader.num_scans, 0, reader.num_scans + 1]] if parameters else [()]
            for args in calls:
                value = getattr(reader, name)(*args)
                assert conforms(value, result), (name, args, value)


@pytest.mark.parametrize("name", [None] + [n for n in dir(velmaro.RawFileReader) if not n.startswith("__")])
def test_stub_docstrings_are_the_runtime_ones(stub, name):
    stub, _ = stub
    runtime = velmaro.RawFileReader if name is None else getattr(velmaro.RawFileReader, name)
    if name is not None:
        stub = vars(stub)[name]
    documented = (stub.fget if isinstance(stub, property) else stub).__doc__
    assert inspect.cleandoc(documented) == runtime.__doc__
