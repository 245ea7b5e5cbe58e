"""velmaro_tools.Run: files of every layout under any name read exactly as
the module reads them under a path that names their layout; files that
cannot be read fail as RunError of the right kind, without the module's
diagnostic where the failure can be foreseen."""

import os
import pathlib
import pickle
import random
import struct
import subprocess
import sys
import warnings

import pytest

import rawbuilder as rb
import samples
from conftest import velmaro

np = pytest.importorskip("numpy")
vt = pytest.importorskip("velmaro_tools")

NAMES = ["run.raw", "HeLa_QE_01.raw", "sample small.RAW", "orbitrap_run.raw", "Orbitrap/small.RAW.raw",
         "orbitrap/small.RAW", "ünïcode.raw"]
RIGHT = {"orbitrap": "orbitrap/run.raw", "small": "x/small.RAW", "both": "orbitrap/small.RAW"}


def same_floats(a, b):
    return struct.pack(f"<{len(a)}d", *a) == struct.pack(f"<{len(b)}d", *b)


def assert_reads_as(run, reference):
    """Everything the run gives equals the module's answer at the right path."""
    assert (run.version, run.num_scans, len(run)) == (reference.version, reference.num_scans, reference.num_scans)
    assert run.reader.list_spectra() == reference.list_spectra()
    assert int(run.creation_time.timestamp()) == int(reference.creation_date)
    rows = reference.list_spectra()
    spectra = list(run)
    assert [s.scan for s in spectra] == list(range(1, reference.num_scans + 1))
    for s, row in zip(spectra, rows):
        mz, intensity = reference.get_peaks(s.scan)
        if mz.size == 1:
            assert s.mz.size == s.intensity.size == 0
        else:
            assert s.mz.tobytes() == mz.tobytes() and s.intensity.tobytes() == intensity.tobytes()
        assert (s.mz.dtype, s.intensity.dtype) == (np.float64, np.float32)
        extra = reference.get_trailer_extra(s.scan)
        assert run.trailer(s.scan) == extra
        level = extra.get("MS Order") if run.reader.version == 66 and "orbitrap" in RIGHT.get(run.layout, "") \
            else None
        assert s.ms_level == (level if level is not None else 2 if row["master_scan"] > 0 else 1)
        assert same_floats([s.rt], [row["rt"]])
        assert s.precursor_mz == (row["monomz"] or None) and s.charge == (row["charge"] or None)
        assert s.master_scan == (row["master_scan"] if row["master_scan"] > 0 else None)
    assert [s.scan for s in run.spectra(ms_level=2)] == [s.scan for s in spectra if s.ms_level == 2]
    assert run.status_log_labels() == reference.get_status_log_labels()
    assert run.error_log() == reference.get_error_logs()
    assert run.instrument_method() == reference.get_instrument_method(0)


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("layout", ["orbitrap", "small", "both"])
def test_any_name_reads_as_the_layout_the_data_shows(tmp_path, layout, seed):
    rng = random.Random(f"{layout}{seed}")
    image = samples.random_acquisition(rng, layout)
    reference = velmaro.RawFileReader(image.write(str(tmp_path / RIGHT[layout])))
    name = rng.choice(NAMES)
    path = image.write(str(tmp_path / "runs" / name))
    given = rng.choice([str, pathlib.Path, os.fsencode])(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # plain evidence: no LayoutWarning
        with vt.Run(given) as run:
            assert (run.path, run.layout) == (path, layout)
            assert_reads_as(run, reference)
    assert run.closed


def test_the_sample_renamed_reads_as_the_module_reads_it_in_its_layout(tmp_path, monkeypatch):
    reference = velmaro.RawFileReader(samples.sample_image().write(str(tmp_path / "orbitrap" / "run.raw")))
    samples.sample_image().write(str(tmp_path / "HeLa_QE_01.raw"))
    monkeypatch.chdir(tmp_path)
    run = vt.Run("HeLa_QE_01.raw")  # relative: made absolute once
    monkeypatch.chdir("/")
    assert run.path == str(tmp_path / "HeLa_QE_01.raw")
    assert_reads_as(run, reference)
    assert "retention times at 6464174: 145 distinct" in run.layout_reason
    # The other process opens the file again, in the layout chosen here.
    again = pickle.loads(pickle.dumps(run))
    assert (again.path, again.layout, again.layout_reason) == (run.path, "orbitrap", "forced")
    assert_reads_as(again, reference)
    # A name the module cannot take (not UTF-8), and scan numbers of NumPy's.
    odd = os.fsencode(tmp_path) + b"/caf\xe9.raw"
    samples.sample_image().write(odd)
    with vt.Run(odd) as run:
        assert run.path == os.fsdecode(odd) and run.layout == "orbitrap"
        assert run.spectrum(np.int64(2)).mz.tobytes() == reference.get_peaks(2)[0].tobytes()


def test_a_forced_layout_reads_as_the_module_does_at_such_a_path(tmp_path):
    sample = samples.sample_image().write(str(tmp_path / "orbitrap" / "run.raw"))
    for layout, right in [("plain", "plain.raw"), ("small", "small.RAW"), ("both", "orbitrap.small.RAW")]:
        reference = velmaro.RawFileReader(samples.sample_image().write(str(tmp_path / layout / right)))
        with vt.Run(sample, layout) as run:
            assert_reads_as(run, reference)
    with pytest.raises(ValueError, match="layout must be"):
        vt.Run(sample, "Orbitrap")


def test_links_live_as_long_as_the_run(tmp_path, monkeypatch):
    # A temporary folder of the test's own: other processes use the shared one.
    temp = tmp_path / "t"
    temp.mkdir()
    monkeypatch.setattr(vt.run.tempfile, "tempdir", str(temp))
    monkeypatch.setattr(vt.run, "_home_of", None)

    def links():
        return [name for _, _, names in os.walk(temp) for name in names if name != ".lock"]

    sample = samples.sample_image().write(str(tmp_path / "HeLa.raw"))
    run = vt.Run(sample)
    assert len(links()) == 1 and run.reader.get_rt(2) != 0.0
    run.close()
    assert links() == []
    with pytest.raises(ValueError, match="closed"):
        run.spectrum(1)
    # A file whose own name gives its layout needs no link.
    vt.Run(samples.sample_image().write(str(tmp_path / "orbitrap" / "run.raw")))
    assert links() == []


HOLDER = """
import os, signal, sys
import velmaro_tools as vt
run = vt.Run(sys.argv[1])
print(run.layout, flush=True)
if sys.argv[2] == "kill":
    os.kill(os.getpid(), signal.SIGKILL)
elif sys.argv[2] == "exit":
    os._exit(0)
elif sys.argv[2] == "wait":
    sys.stdin.readline()
    print(repr(run.spectrum(2).rt), flush=True)
"""


def test_folders_left_by_processes_that_could_not_clean_up_are_swept(tmp_path):
    sample = samples.sample_image().write(str(tmp_path / "HeLa.raw"))
    temp = tmp_path / "t"
    temp.mkdir()

    def start(how):
        return subprocess.Popen([sys.executable, "-c", HOLDER, sample, how], env={**os.environ, "TMPDIR": str(temp)},
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    living = start("wait")
    assert living.stdout.readline() == "orbitrap\n"
    mine = os.listdir(temp)
    # Each process removes what the dead left, not what the living hold, and
    # its own folder when it exits as a process should.
    for how in ["kill", "exit"]:
        start(how).wait(timeout=60)
        assert len(os.listdir(temp)) == 2
    assert start("").communicate(timeout=60)[0] == "orbitrap\n"
    assert os.listdir(temp) == mine
    assert living.communicate("\n", timeout=60)[0] == f"{vt.Run(sample).spectrum(2).rt!r}\n"
    assert os.listdir(temp) == []


def orbitrap_cut(tmp_path, length):
    data = open(samples.sample_image().write(str(tmp_path / "whole.raw")), "rb").read()
    path = tmp_path / f"cut{length}.raw"
    path.write_bytes(data[:length])
    return str(path)


def unreadable(tmp_path, kind):
    """A path that fails as `kind`, with what the message says."""
    if kind == "missing":
        return str(tmp_path / "missing.raw"), "No such file or directory (os error 2)"
    if kind == "dangling link":
        os.symlink(tmp_path / "gone", tmp_path / "gone.raw")
        return str(tmp_path / "gone.raw"), "No such file or directory (os error 2)"
    if kind == "directory":
        os.mkdir(tmp_path / "folder.raw")
        return str(tmp_path / "folder.raw"), "a directory, not a regular file"
    if kind == "device":
        return "/dev/zero", "a device, not a regular file"
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo.raw")
        return str(tmp_path / "fifo.raw"), "a FIFO, not a regular file"
    if kind == "empty":
        (tmp_path / "empty.raw").write_bytes(b"")
        return str(tmp_path / "empty.raw"), "the file is empty"
    if kind == "text":
        (tmp_path / "README.raw").write_text("# velmaro\n" * 500)
        return str(tmp_path / "README.raw"), "text, not a binary acquisition header"
    if kind == "random":
        (tmp_path / "random.raw").write_bytes(random.Random(7).randbytes(100000))
        return str(tmp_path / "random.raw"), "implausible header: format version"
    if kind == "future":
        return rb.RawImage(40).header(version=66, filetime=2 ** 62).write(str(tmp_path / "future.raw")), \
            "implausible header: creation time"
    if kind == "header cut":
        (tmp_path / "cut.raw").write_bytes(b"\0" * 39)
        return str(tmp_path / "cut.raw"), "the file ends at byte 39, inside the 40-byte header"
    length = int(kind.split()[1])
    return orbitrap_cut(tmp_path, length), f"the file ends at byte {length}"


@pytest.mark.parametrize("kind,expected", [
    ("missing", "missing"), ("dangling link", "missing"), ("directory", "not a file"), ("device", "not a file"),
    ("fifo", "not a file"), ("empty", "not an acquisition"), ("text", "not an acquisition"),
    ("random", "not an acquisition"), ("future", "not an acquisition"), ("header cut", "truncated"),
    ("cut 3000", "truncated"), ("cut 3000000", "truncated"), ("cut 6476845", "truncated"),
])
def test_failures_are_run_errors_of_their_kind_and_foreseen(tmp_path, capfd, kind, expected):
    path, message = unreadable(tmp_path, kind)
    with pytest.raises(vt.RunError) as caught:
        vt.Run(path)
    error = caught.value
    assert (error.path, error.kind) == (path, expected) and error.kind in vt.KINDS
    assert error.message.startswith(message) and str(error) == f"{path}: {expected}: {error.message}"
    assert error.__context__ is None
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), again.args, str(again)) == (vt.RunError, error.args, str(error))
    # Foreseen: the module's diagnostic of an internal failure never shows.
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("kind", ["text", "random", "future"])
def test_not_strict_opens_what_does_not_look_like_an_acquisition(tmp_path, kind):
    path, _ = unreadable(tmp_path, kind)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vt.LayoutWarning)
        run = vt.Run(path, strict=False)
    assert run.version == velmaro.RawFileReader(path).version


def test_a_forced_orbitrap_layout_on_a_short_file_is_truncated_not_a_panic(tmp_path, capfd):
    path = orbitrap_cut(tmp_path, 3000000)
    with pytest.raises(vt.RunError, match="before the orbitrap layout's scan table, which needs 6476846"):
        vt.Run(path, layout="orbitrap")
    assert capfd.readouterr().err == ""
    assert vt.Run(path, layout="plain").layout == "plain"


def as_nobody(function):
    """function() in a forked child that has dropped root's rights (CI runs
    as root, who may read anything): what it returns, or the exception's
    class name and text."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the watchdog's thread does not matter here
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            os.close(read)
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            try:
                answer = repr(function())
            except BaseException as e:
                answer = f"{type(e).__name__}: {e}"
            os.write(write, answer.encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        answer = f.read()
    os.waitpid(pid, 0)
    return answer


@pytest.mark.skipif(os.getuid() != 0, reason="needs root to drop to another user")
def test_unreadable_as_a_user_without_the_right(tmp_path):
    path = samples.sample_image().write(str(tmp_path / "orbitrap" / "run.raw"))
    os.chmod(tmp_path, 0o755)
    os.chmod(tmp_path / "orbitrap", 0o755)
    os.chmod(path, 0)
    assert as_nobody(lambda: vt.Run(path)) == f"RunError: {path}: permission: Permission denied (os error 13)"
    os.chmod(tmp_path / "orbitrap", 0o700)  # no way into its folder either
    assert as_nobody(lambda: vt.Run(path)) == f"RunError: {path}: permission: Permission denied (os error 13)"


def test_uncertain_evidence_warns(tmp_path):
    # Retention times in both the small and the orbitrap tables, nothing else.
    image = rb.orbitrap_image(66)
    for i in range(145):
        image.rt(i, 1.0 + i).rt(i, 1.0 + i, small=True)
    path = image.write(str(tmp_path / "both.raw"))
    with pytest.warns(vt.LayoutWarning, match="read in the orbitrap layout .* but the small layout scores 145"):
        assert vt.Run(path).layout == "orbitrap"


def test_scan_table_holds_every_scan(tmp_path):
    pd = pytest.importorskip("pandas")
    path = samples.sample_image().write(str(tmp_path / "run.raw"))
    run = vt.Run(path)
    table = run.scan_table()
    assert isinstance(table, pd.DataFrame) and list(table.index) == list(range(1, 146))
    for s in run:
        row = table.loc[s.scan]
        assert (row["ms_level"], row["rt"], row["peaks"]) == (s.ms_level, s.rt, s.mz.size)
        assert row["tic"] == pytest.approx(float(s.intensity.sum(dtype=np.float64)))
        assert row["base_peak_intensity"] == (s.intensity.max() if s.mz.size else 0.0)
