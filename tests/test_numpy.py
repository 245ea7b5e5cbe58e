"""Loading the NumPy C API: only on the first array, from either NumPy
generation, and again after a failure.  Each case runs in a fresh process,
since a loaded API stays loaded."""

import textwrap

import pytest

from conftest import run_python

PRELUDE = """
import sys, rawbuilder as rb
path = rb.orbitrap_image(66, scan_bytes=30000).put(3666, rb.peak_block(*rb.ramp(60), 12)).write({path!r})
"""
CAPSULE_ERROR = "Failed to access NumPy array API capsule: "


def run(tmp_path, body, **kwargs):
    prelude = PRELUDE.format(path=str(tmp_path / "orbitrap" / "n.raw"))
    result = run_python(prelude + textwrap.dedent(body), **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout.split("\n")


def test_import_does_not_load_numpy(tmp_path):
    pytest.importorskip("numpy")
    out = run(tmp_path, """
        import velmaro
        r = velmaro.RawFileReader(path)
        r.native_get_peaks(1); r.list_spectra()
        print("numpy" in sys.modules)
        r.get_peaks(1)
        print("numpy" in sys.modules)
    """)
    assert out[:2] == ["False", "True"]


@pytest.mark.parametrize("version,package", [("1.26.4", "numpy.core"), ("2.1.0", "numpy._core")])
def test_the_reported_major_version_picks_the_core_package(tmp_path, version, package):
    """Under either real NumPy: hiding the package that the reported version
    names makes the load fail with its name; putting the installed NumPy's
    own multiarray there makes it succeed."""
    pytest.importorskip("numpy")
    out = run(tmp_path, f"""
        import importlib, numpy, velmaro
        real = importlib.import_module("numpy._core.multiarray" if numpy.__version__ >= "2" else "numpy.core.multiarray")
        numpy.__version__ = {version!r}
        sys.modules["{package}.multiarray"] = None
        r = velmaro.RawFileReader(path)
        try:
            r.get_peaks(1)
        except BaseException as e:
            print(e)
        sys.modules["{package}.multiarray"] = real
        mz, intensity = r.get_peaks(1)
        print(mz.dtype, intensity.dtype, len(mz), mz[0])
    """)
    assert out[0] == CAPSULE_ERROR + f"ModuleNotFoundError: import of {package}.multiarray halted; None in sys.modules"
    assert out[1] == "float64 float32 60 100.0"


def test_missing_numpy_fails_each_call_until_it_is_there(tmp_path):
    pytest.importorskip("numpy")
    out = run(tmp_path, """
        import velmaro
        sys.modules["numpy"] = None
        r = velmaro.RawFileReader(path)
        for _ in range(2):
            try:
                r.get_peaks(1)
            except Exception:
                print("caught as Exception")
            except BaseException as e:
                print(type(e).__name__, e)
        print(len(r.native_get_peaks(1)[0]), len(r.list_spectra()))
        del sys.modules["numpy"]
        print(len(r.get_peaks(1)[0]))
    """)
    expected = "PanicException " + CAPSULE_ERROR + "ModuleNotFoundError: import of numpy halted; None in sys.modules"
    assert out[:4] == [expected, expected, "60 145", "60"]


def fake_numpy(tmp_path, init="", api="None"):
    """A stand-in numpy package on its own path."""
    root = tmp_path / "fake"
    for package in ["numpy", "numpy/lib", "numpy/core"]:
        (root / package).mkdir(parents=True)
    (root / "numpy/__init__.py").write_text('__version__ = "1.26.0"\n' + textwrap.dedent(init))
    (root / "numpy/lib/__init__.py").write_text(
        "class NumpyVersion:\n    def __init__(self, v):\n        self.major = int(v.split('.')[0])\n")
    (root / "numpy/core/__init__.py").write_text("")
    (root / "numpy/core/multiarray.py").write_text(f"_ARRAY_API = {api}\n")
    return str(root)


def test_api_attribute_must_be_a_capsule(tmp_path):
    fake = fake_numpy(tmp_path, api="5")
    out = run(tmp_path, f"""
        sys.path.insert(0, {fake!r})
        import velmaro
        try:
            velmaro.RawFileReader(path).get_peaks(1)
        except BaseException as e:
            print(e)
    """)
    assert out[0] == CAPSULE_ERROR + "TypeError: 'int' object cannot be converted to 'PyCapsule'"


def test_rebuild_during_a_call_is_refused(tmp_path):
    # The NumPy import runs Python code while get_peaks holds the reader.
    fake = fake_numpy(tmp_path, init="""
        import builtins
        try:
            builtins.reader.initialize_caches()
        except RuntimeError as e:
            print("refused:", e)
    """)
    out = run(tmp_path, f"""
        sys.path.insert(0, {fake!r})
        import builtins, velmaro
        builtins.reader = velmaro.RawFileReader(path)
        try:
            builtins.reader.get_peaks(1)
        except BaseException as e:
            print(type(e).__name__)
        builtins.reader.initialize_caches()
        print("rebuilt")
    """)
    assert out[:3] == ["refused: Already borrowed", "PanicException", "rebuilt"]


def test_everything_but_get_peaks_works_without_numpy(tmp_path):
    # Where NumPy is installed it is hidden; the run without NumPy checks the
    # same on a real absence.
    out = run(tmp_path, """
        try:
            import numpy
        except ImportError:
            pass
        else:
            sys.modules["numpy"] = None
        import velmaro
        r = velmaro.RawFileReader(path)
        print(r.version, r.num_scans, r.creation_date, r.get_rt(1), r.get_master_scan(1),
              len(r.native_get_peaks(1)[0]), len(r.list_spectra()), type(r.get_trailer_extra(1)).__name__,
              r.get_status_log_labels(), r.get_error_logs(), repr(r.get_instrument_method(0)))
        r.initialize_caches()
        try:
            r.get_peaks(1)
        except BaseException as e:
            print(type(e).__name__, str(e).startswith("Failed to access NumPy array API capsule: "))
    """)
    assert out[0].startswith("66 145 0 0.0 0 60 145 dict")
    assert out[1] == "PanicException True"
