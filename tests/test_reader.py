"""The header probe, the properties and the scan caches."""

import errno
import json
import os
import pwd
import random
import shutil
import socket
import struct
import tempfile
import traceback
import warnings

import pytest

import model
import rawbuilder as rb
from conftest import PanicException, float_bits, replace_with_directory, replace_with_fifo, run_python, velmaro

RawFileReader = velmaro.RawFileReader


UNWRAP = "called `Option::unwrap()` on a `None` value"


def observed(reader):
    """The caches as the module shows them, shaped like model.build_caches."""
    scans = range(1, reader.num_scans + 1)
    return {
        "num_scans": reader.num_scans,
        "rt": float_bits(reader.get_rt(s) for s in scans),
        "injection_time": float_bits(reader.get_injection_time(s) for s in scans),
        "master_scan": [reader.get_master_scan(s) for s in scans],
        "charge": [reader.get_charge_state(s) for s in scans],
        "monomz": float_bits(reader.get_monoisotopic_mz(s) for s in scans),
    }


def modelled(image, path, version):
    caches = model.build_caches(image.read(), path, version)
    del caches["scan_offsets"]
    for key in ["rt", "injection_time", "monomz"]:
        caches[key] = float_bits(caches[key])
    return caches


@pytest.mark.parametrize(
    "at36,at12,version,scans",
    [
        (57, None, 57, 48),
        (66, 57, 66, 145),
        (0, 57, 57, 48),
        (0, 66, 66, 145),
        (0, 1234, 1234, 100),
        (65, 0xFFFFFFFF, 4294967295, 100),
        (0x39000000, 0, 0, 100),
    ],
)
def test_header_probe(write, at36, at12, version, scans):
    reader = RawFileReader(write(rb.RawImage(40).header(version=at36, fallback_version=at12)))
    assert (reader.version, reader.num_scans) == (version, scans)


@pytest.mark.parametrize(
    "filetime,text",
    [
        (0, "0"),
        (116444736000000000 - 1, "0"),
        (116444736000000000, "0"),
        (116444736019999999, "1"),
        (133000000000000000, "1655526400"),
        (2**64 - 1, "1833029933770"),
    ],
)
def test_creation_date(write, filetime, text):
    assert RawFileReader(write(rb.RawImage(40).header(filetime=filetime))).creation_date == text


@pytest.mark.parametrize("length", [0, 12, 24, 36, 39])
def test_file_shorter_than_the_header(write, length):
    path = write(rb.RawImage(length))
    with pytest.raises(OSError) as caught:
        RawFileReader(path)
    assert type(caught.value) is OSError and str(caught.value) == "failed to fill whole buffer"


def test_paths_that_are_not_regular_files(tmp_path):
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        RawFileReader(str(tmp_path))
    with pytest.raises(OSError, match=r"^failed to fill whole buffer$"):
        RawFileReader("/dev/null")
    # A device passes the header probe but has no contents to build from.
    with pytest.raises(PanicException, match="^called `Option::unwrap"):
        RawFileReader("/dev/zero")


def test_fifo_does_not_hang(tmp_path):
    fifo = str(tmp_path / "orbitrap.fifo")
    os.mkfifo(fifo)
    result = run_python(f"import velmaro\ntry:\n    velmaro.RawFileReader({fifo!r})\nexcept OSError as e:\n    print(e)",
                        timeout=20)
    assert result.stdout.strip() == "Illegal seek (os error 29)", result.stderr


# The OSError subclass of each error number, as the README gives them; any
# other number, and an error known by its message alone, gives OSError itself.
OS_ERROR_CLASSES = {
    errno.ENOENT: FileNotFoundError,
    errno.EPERM: PermissionError,
    errno.EACCES: PermissionError,
    errno.ECONNREFUSED: ConnectionRefusedError,
    errno.ECONNRESET: ConnectionResetError,
    errno.ECONNABORTED: ConnectionAbortedError,
    errno.EPIPE: BrokenPipeError,
    errno.EEXIST: FileExistsError,
    errno.EAGAIN: BlockingIOError,
    errno.ETIMEDOUT: TimeoutError,
    errno.EINTR: InterruptedError,
}

# Every way of failing to open a path or read its header that a file system
# offers without special hardware, and the error number each gives.
UNREADABLE = {
    "missing": errno.ENOENT,
    "in a missing directory": errno.ENOENT,
    "under a file": errno.ENOTDIR,
    "a link to itself": errno.ELOOP,
    "a name too long": errno.ENAMETOOLONG,
    "a directory": errno.EISDIR,
    "a FIFO": errno.ESPIPE,
    "a socket": errno.ENXIO,
    "a file its reader may not read": errno.EACCES,
    "in a directory its reader may not search": errno.EACCES,
}


def unreadable_paths(directory):
    """A path for each case of UNREADABLE, under `directory`, and a readable file."""
    readable = rb.RawImage(40).header(version=57).write(os.path.join(directory, "readable.raw"))
    locked = rb.RawImage(40).header(version=57).write(os.path.join(directory, "locked.raw"))
    closed_directory = os.path.join(directory, "closed")
    os.mkdir(closed_directory)
    rb.RawImage(40).header(version=57).write(os.path.join(closed_directory, "inside.raw"))
    fifo, loop, sock = (os.path.join(directory, name) for name in ["fifo.raw", "loop.raw", "socket.raw"])
    os.mkfifo(fifo)
    os.symlink(loop, loop)
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(sock)
    for path, mode in [(readable, 0o644), (fifo, 0o644), (locked, 0o000), (closed_directory, 0o600)]:
        os.chmod(path, mode)
    paths = {
        "missing": os.path.join(directory, "missing.raw"),
        "in a missing directory": os.path.join(directory, "gone", "x.raw"),
        "under a file": os.path.join(readable, "x.raw"),
        "a link to itself": loop,
        "a name too long": os.path.join(directory, "x" * 300),
        "a directory": directory,
        "a FIFO": fifo,
        "a socket": sock,
        "a file its reader may not read": locked,
        "in a directory its reader may not search": os.path.join(closed_directory, "inside.raw"),
    }
    return readable, paths


def constructor_outcomes(readable, paths):
    """What RawFileReader raised for each path (class, message, errno and
    filename), and whether the readable file opened."""
    outcomes = {}
    for name, path in paths.items():
        try:
            velmaro.RawFileReader(path)
            outcomes[name] = None
        except OSError as e:
            outcomes[name] = [type(e).__name__, str(e), e.errno, e.filename]
    return velmaro.RawFileReader(readable).version == 57, outcomes


def as_unprivileged_user(function, *args):
    """function(*args), JSON-encodable, run in a child process without root's
    rights over files: as nobody where the tests run as root, as CI's do."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # a fork beside the watchdog's thread
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            if os.geteuid() == 0:
                nobody = pwd.getpwnam("nobody")
                os.setgroups([])
                os.setgid(nobody.pw_gid)
                os.setuid(nobody.pw_uid)
            payload = json.dumps(function(*args)).encode()
            while payload:
                payload = payload[os.write(write_end, payload):]
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        result = pipe.read()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    return json.loads(result)


def test_each_open_failure_raises_its_os_error():
    # Under /tmp, which every user may search, not under the tests' own
    # temporary directory, which only its owner may.
    directory = tempfile.mkdtemp(prefix="velmaro-open-")
    try:
        os.chmod(directory, 0o755)
        readable, paths = unreadable_paths(directory)
        opened, outcomes = as_unprivileged_user(constructor_outcomes, readable, paths)
    finally:
        os.chmod(os.path.join(directory, "closed"), 0o700)
        shutil.rmtree(directory)
    assert opened, "the unprivileged reader could not read a readable file"
    expected = {name: [OS_ERROR_CLASSES.get(number, OSError).__name__, f"{os.strerror(number)} (os error {number})",
                       None, None] for name, number in UNREADABLE.items()}
    assert outcomes == expected


def random_tables(image, rng, version, small, orbitrap):
    """Random bytes over every table the builder may read."""
    n = rb.scan_count(version)

    def noise(offset, length):
        image.put(offset, rng.randbytes(length))

    if small:
        noise(rb.SMALL_RT_START, rb.SMALL_RT_STRIDE * n)
        noise(rb.INJECTION_START, rb.INJECTION_STRIDE * n)
    if orbitrap:
        noise(rb.ORBITRAP_RT_START - 4, rb.ORBITRAP_RT_STRIDE * n + 4)
        noise(rb.TRAILER_START, rb.TRAILER_STRIDE * n)
    return image


LAYOUT_CASES = [
    # (name, version, length or None for "all tables present")
    ("a/small.RAW", 57, None),
    ("a/small.RAW", 57, rb.INJECTION_START + rb.INJECTION_STRIDE * 20 + 39),
    ("a/small.RAW", 57, rb.SMALL_RT_START + rb.SMALL_RT_STRIDE * 7 + 8),
    ("a/small.RAW", 66, None),
    ("a/small.RAW", 1234, None),
    ("orbitrap/x.raw", 66, None),
    ("orbitrap/x.raw", 57, rb.orbitrap_min_length(57)),
    ("orbitrap/x.raw", 100, rb.TRAILER_START + rb.TRAILER_STRIDE * 30 + 75),
    ("orbitrap_small.RAW", 57, None),
    ("orbitrap_small.RAW", 66, rb.SMALL_RT_START + 1000),
    ("SMALL.RAW", 57, None),
    ("small.raw", 57, None),
    ("Orbitrap/x.raw", 66, None),
    ("plain.raw", 66, None),
]


@pytest.mark.parametrize("name,version,length", LAYOUT_CASES)
def test_layouts_match_the_model(write, name, version, length):
    rng = random.Random(f"{name}{version}{length}")
    image = random_tables(rb.RawImage(40).header(version=version), rng, version, True, True)
    if length is not None:
        image.length = length
    path = write(image, name)
    assert observed(RawFileReader(path)) == modelled(image, path, version)


def test_layout_details(write):
    image = rb.orbitrap_image(66).trailer(0, charge=0xFF, master=-1).trailer(1, master=7, charge=2, mono=445.5)
    reader = RawFileReader(write(image, "orbitrap/x.raw"))
    assert (reader.get_charge_state(1), reader.get_master_scan(1)) == (255, -1)
    assert (reader.get_charge_state(2), reader.get_master_scan(2), reader.get_monoisotopic_mz(2)) == (2, 7, 445.5)

    image = rb.RawImage(rb.INJECTION_START + rb.INJECTION_STRIDE * 3 + 40).header(version=57).injection(1, 12.5)
    reader = RawFileReader(write(image, "small.RAW"))
    assert [reader.get_master_scan(s) for s in range(1, 6)] == [-1, -1, -1, -1, 0]
    assert reader.get_injection_time(2) == 12.5


@pytest.mark.parametrize(
    "version,length,message",
    [
        (57, rb.orbitrap_min_length(57) - 1, "range end index 6468310 out of range for slice of length 6468309"),
        (57, 100, "range start index 6464170 out of range for slice of length 100"),
        (66, 6464172, "range end index 6464174 out of range for slice of length 6464172"),
        (66, 6464174 + 88 * 5 - 5, "range start index 6464610 out of range for slice of length 6464609"),
        (1234, rb.orbitrap_min_length(1234) - 1, "range end index 6472886 out of range for slice of length 6472885"),
    ],
)
def test_orbitrap_length_words_must_lie_inside_the_file(write, version, length, message):
    image = rb.RawImage(length).header(version=version)
    image.length = length
    with pytest.raises(PanicException) as caught:
        RawFileReader(write(image, "orbitrap.raw"))
    assert caught.value.args == (message,)


@pytest.mark.parametrize("seed", range(12))
def test_random_files_match_the_model(write, seed):
    rng = random.Random(seed)
    version = rng.choice([57, 66, 1, 0xFFFFFFFF])
    name = rng.choice(["small.RAW", "orbitrap", "orbitrap-small.RAW", "none", "Small.RAW"]) + ".raw"
    image = random_tables(rb.RawImage(40).header(version=version), rng, version, True, True)
    image.length = rng.choice([image.length, rng.randrange(40, image.length)])
    path = write(image, name)
    try:
        expected = modelled(image, path, version)
    except model.ModelPanic as panic:
        with pytest.raises(PanicException) as caught:
            RawFileReader(path)
        assert caught.value.args == (str(panic),)
    else:
        assert observed(RawFileReader(path)) == expected


def test_initialize_caches_rebuilds_from_the_file_on_disk(write):
    image = rb.orbitrap_image(66).rt(0, 1.5).trailer(0, master=3)
    path = write(image, "orbitrap/x.raw")
    reader = RawFileReader(path)
    before = observed(reader)
    assert reader.initialize_caches() is None
    assert observed(reader) == before

    write(image.rt(0, 2.5).trailer(0, master=4), "orbitrap/x.raw")
    reader.initialize_caches()
    assert (reader.get_rt(1), reader.get_master_scan(1)) == (2.5, 4)
    assert reader.version == 66


def truncate(path):
    os.truncate(path, 6464000)


@pytest.mark.parametrize(
    "change,message",
    [
        (os.remove, UNWRAP),
        (replace_with_directory, UNWRAP),
        (replace_with_fifo, UNWRAP),
        (truncate, "range start index 6464170 out of range for slice of length 6464000"),
    ],
)
def test_failed_rebuild_leaves_the_reader_unchanged(write, change, message):
    path = write(rb.orbitrap_image(66).rt(3, 9.25).trailer(3, charge=4), "orbitrap/x.raw")
    reader = RawFileReader(path)
    before = observed(reader)
    change(path)
    with pytest.raises(PanicException) as caught:
        reader.initialize_caches()
    assert caught.value.args == (message,)
    assert observed(reader) == before
    assert reader.get_rt(4) == 9.25


def test_relative_path_is_resolved_at_each_open(write, tmp_path, monkeypatch):
    path = write(rb.RawImage(40).header(version=57), "data/small.RAW")
    monkeypatch.chdir(os.path.dirname(path))
    reader = RawFileReader("small.RAW")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(PanicException, match="unwrap"):
        reader.initialize_caches()


def test_construction_reads_only_what_it_needs(write):
    # A whole-file read of 64 GiB would not finish; the ranges take microseconds.
    image = rb.orbitrap_image(66, length=64 << 30).trailer(144, charge=3)
    reader = RawFileReader(write(image, "orbitrap/huge.raw"))
    assert reader.get_charge_state(145) == 3


def test_values_are_kept_bit_for_bit(write):
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]
    image = rb.orbitrap_image(66).rt(0, float("-inf")).rt(1, -0.0).trailer(0, mono=nan, injection=float("nan"))
    reader = RawFileReader(write(image, "orbitrap/x.raw"))
    assert float_bits([reader.get_rt(1), reader.get_rt(2), reader.get_monoisotopic_mz(1)]) == float_bits(
        [float("-inf"), -0.0, nan])
    assert reader.get_injection_time(1) != reader.get_injection_time(1)
