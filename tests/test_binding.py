"""How Python meets the module: import, the type, argument binding and
conversion, and the exceptions it raises."""

import sys

import pytest

import rawbuilder as rb
from conftest import run_python, velmaro

RawFileReader = velmaro.RawFileReader

ONE_ARGUMENT = {
    "get_rt": "scan_number",
    "get_injection_time": "scan_number",
    "get_master_scan": "scan_number",
    "get_charge_state": "scan_number",
    "get_monoisotopic_mz": "scan_number",
    "get_trailer_extra": "scan_number",
    "get_instrument_method": "_index",
    "get_peaks": "scan_num",
    "native_get_peaks": "scan_num",
}
NO_ARGUMENT = ["initialize_caches", "get_status_log_labels", "get_error_logs", "list_spectra"]


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("velmaro")
    try:
        import velmaro as again

        assert again is first
    finally:
        sys.modules["velmaro"] = first
    assert first.__all__ == ["RawFileReader"]
    assert first.__doc__ == ""


def test_type_names_and_documentation(reader):
    assert RawFileReader.__module__ == "builtins"
    assert RawFileReader.__qualname__ == "RawFileReader"
    assert RawFileReader.__text_signature__ == "(path)"
    assert RawFileReader.__doc__ == "High-performance native reader for Thermo Fisher .raw files."
    assert repr(reader).startswith("<builtins.RawFileReader object at ")


@pytest.mark.parametrize("name", list(ONE_ARGUMENT) + NO_ARGUMENT)
def test_text_signatures_come_from_the_docstrings(name):
    method = getattr(RawFileReader, name)
    parameter = ONE_ARGUMENT.get(name)
    assert method.__text_signature__ == ("($self, %s)" % parameter if parameter else "($self)")
    assert not method.__doc__.startswith(name)


def test_type_cannot_be_subclassed_or_extended(reader):
    with pytest.raises(TypeError):
        type("Sub", (RawFileReader,), {})
    for attribute in ["version", "num_scans", "creation_date", "extra"]:
        with pytest.raises(AttributeError):
            setattr(reader, attribute, 1)
    assert not hasattr(reader, "__dict__")


@pytest.mark.parametrize("name,parameter", ONE_ARGUMENT.items())
@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "{f} missing 1 required positional argument: '{p}'"),
        ((1, 2), {}, "{f} takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "{f} takes 1 positional arguments but 3 were given"),
        ((1,), {"{p}": 1}, "{f} got multiple values for argument '{p}'"),
        ((), {"scan": 1}, "{f} got an unexpected keyword argument 'scan'"),
        ((), {"scan": 1, "{p}": 1}, "{f} got an unexpected keyword argument 'scan'"),
        ((), {"{p}": 1, "scan": 1}, "{f} got an unexpected keyword argument 'scan'"),
    ],
)
def test_binding_errors(reader, name, parameter, args, kwargs, message):
    kwargs = {k.format(p=parameter): v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        getattr(reader, name)(*args, **kwargs)
    assert str(caught.value) == message.format(f="RawFileReader.%s()" % name, p=parameter)


@pytest.mark.parametrize("name", NO_ARGUMENT)
def test_methods_without_parameters_reject_arguments(reader, name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(reader, name)(1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        try:
            raise ValueError("inner")
        except ValueError as inner:
            raise TypeError("no index here") from inner


@pytest.mark.parametrize("value,expected", [(True, 0.5), (False, 0.0), (Index(5), 4.5), (48, 47.5), (4294967295, 0.0)])
def test_integer_conversion_accepts(write, value, expected):
    image = rb.RawImage().header(version=57)
    for i in range(48):
        image.rt(i, i + 0.5, small=True)
    reader = RawFileReader(write(image, "small.RAW"))
    assert reader.get_rt(value) == expected
    assert reader.get_rt(scan_number=value) == expected


@pytest.mark.parametrize(
    "value,error,message",
    [
        (1.0, TypeError, "argument 'scan_number': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'scan_number': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'scan_number': 'NoneType' object cannot be interpreted as an integer"),
        (BadIndex(), TypeError, "argument 'scan_number': no index here"),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (2**63 - 1, OverflowError, "out of range integral type conversion attempted"),
        (-(2**63), OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
        (Index(-1), OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_integer_conversion_rejects(reader, value, error, message):
    with pytest.raises(error) as caught:
        reader.get_rt(value)
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_renamed_type_error_keeps_the_cause(reader):
    with pytest.raises(TypeError) as caught:
        reader.get_rt(BadIndex())
    assert isinstance(caught.value.__cause__, ValueError)


@pytest.mark.parametrize(
    "args,kwargs,error,message",
    [
        ((5,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((b"/tmp/x",), {}, TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((), {}, TypeError, "RawFileReader.__new__() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, TypeError, "RawFileReader.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"path": "b"}, TypeError, "RawFileReader.__new__() got multiple values for argument 'path'"),
        ((), {"file": "a"}, TypeError, "RawFileReader.__new__() got an unexpected keyword argument 'file'"),
        (("/nonexistent/file.raw",), {}, FileNotFoundError, "No such file or directory (os error 2)"),
        (("/tmp\0x",), {}, OSError, "file name contained an unexpected NUL byte"),
    ],
)
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        RawFileReader(*args, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert caught.value.args == (message,)
    if isinstance(caught.value, OSError):
        assert caught.value.errno is None and caught.value.filename is None


def test_constructor_rejects_path_objects_and_surrogates(tmp_path):
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be converted"):
        RawFileReader(tmp_path)
    with pytest.raises(UnicodeEncodeError):
        RawFileReader("\udc80.raw")


def test_constructor_takes_a_str_subclass_and_keyword(write):
    class Path(str):
        pass

    path = write(rb.RawImage(40).header(version=66))
    assert RawFileReader(Path(path)).num_scans == 145
    assert RawFileReader(path=path).version == 66


def test_panic_exception(write, capfd):
    path = write(rb.RawImage(6000000).header(version=57), "orbitrap/short.raw")
    caught = []
    for _ in range(2):
        try:
            try:
                RawFileReader(path)
            except Exception:  # it must not be caught here
                pytest.fail("PanicException was caught as an Exception")
        except BaseException as e:
            caught.append(e)
    first, second = caught
    panic = type(first)
    assert type(second) is panic
    assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert len(panic.__doc__) == 235 and panic.__doc__[0] == panic.__doc__[-1] == "\n"
    assert first.args == ("range start index 6464170 out of range for slice of length 6000000",)
    assert "range start index 6464170" in capfd.readouterr().err


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="uses the 3.11 subinterpreter module")
def test_second_interpreter_cannot_import():
    result = run_python(
        "import velmaro, _xxsubinterpreters as sub\n"
        "interp = sub.create()\n"
        "try:\n"
        "    sub.run_string(interp, 'import velmaro')\n"
        "except Exception as e:\n"
        "    print('refused:', e)\n"
    )
    assert "ImportError" in result.stdout, result.stderr
    assert "subinterpreters" in result.stdout
