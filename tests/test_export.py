"""examples/export.py, its outputs read back by readers that are not their
writers: the mzML by pyteomics and pymzml (and checked against its schema),
the MGF by pyteomics, the Parquet by polars.  Every layout the reader knows,
with peaks and trailer values drawn at random, special floats included."""

import contextlib
import io
import math
import os
import random
import re
import struct
import subprocess
import sys

import pytest

import rawbuilder as rb
from conftest import velmaro

np = pytest.importorskip("numpy")
for _writer in ("pyarrow", "psims", "pyteomics"):
    pytest.importorskip(_writer)

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
sys.path.insert(0, EXAMPLES)
import export  # noqa: E402

HCD = "HigherEnergyCollisionalDissociation"

# Values no text format may round; NaNs with payloads only where the format
# is binary.
SPECIAL_MZ = [math.inf, -math.inf, -0.0, 5e-324, 1.7e308, 0.1 + 0.2, 4999.999999999999]
SPECIAL_INTENSITY = [math.inf, -0.0, 1e-45, 3.4028235e38, 0.0]
NAN64 = np.array([0x7FF8_0000_00AB_CDEF], np.uint64).view(np.float64)[0]
NAN32 = np.array([0x7FC0_1234], np.uint32).view(np.float32)[0]


def peak_records(rng, count, record, nan):
    """A count and `count` records the search accepts where they start, with
    special values past the first two peaks."""
    mz = np.sort(np.array([rng.uniform(60, 4000) for _ in range(count)]))
    intensity = np.array([rng.lognormvariate(8, 2) for _ in range(count)], np.float32)
    for k in rng.sample(range(2, count), 4):
        mz[k] = rng.choice(SPECIAL_MZ + ([NAN64] if nan else []))
    for k in rng.sample(range(count), 4):
        intensity[k] = rng.choice(SPECIAL_INTENSITY + ([NAN32] if nan else []))
    table = np.zeros(count, [("mz", "<f8" if record == 12 else "<f4"), ("intensity", "<f4")])
    with np.errstate(over="ignore"):
        table["mz"], table["intensity"] = mz, intensity
    return struct.pack("<I", count) + table.tobytes()


def acquisition(rng, version, small, orbitrap, nan):
    """A file of the layout chosen by version and the path tests, and what
    was planted: {scan number: (has peaks, MS order byte, master scan,
    HCD text)}.  MS1, MS2 and MS3 scans; master scans that point back, at
    nothing, ahead or outside the file."""
    n = rb.scan_count(version)
    record = 12 if version == 66 else 8
    image = rb.orbitrap_image(version) if orbitrap and not small else rb.RawImage(rb.TRAILER_START)
    image.header(version=version if version in (57, 66) else None, fallback_version=version,
                 filetime=rng.choice([0, 133000000000000000, 2**64 - 1]))
    planted, last_ms1, offset = {}, 0, rb.ORBITRAP_FIRST_OFFSET
    for i in range(n):
        kind = rng.choice(["ms1", "ms2", "ms2", "ms2", "ms3"])
        master = 0 if kind == "ms1" else last_ms1
        if kind != "ms1" and rng.random() < 0.15:
            master = rng.choice([0, -1, i + 3, n + 7])
        last_ms1 = i + 1 if kind == "ms1" else last_ms1
        hcd = "" if kind == "ms1" or rng.random() < 0.2 else f"{rng.uniform(20, 40):.2f}"
        rt = rng.choice([math.nan, -0.5]) if rng.random() < 0.04 else 0.5 + 0.02 * i + rng.random() * 0.01
        image.rt(i, rt, small=small)
        if orbitrap:
            image.trailer(i, ms_order_byte={"ms1": 0, "ms2": 1, "ms3": 2}[kind], master=master, hcd=hcd,
                          mono=0.0 if kind == "ms1" or rng.random() < 0.1 else round(rng.uniform(300, 1500), 5),
                          charge=0 if kind == "ms1" else rng.choice([0, 1, 2, 2, 3, 4, 255]))
        if small and version == 57:
            image.injection(i, rng.uniform(1, 100))
        if small:
            # Scan 5 starts 332 bytes before scan 2: too close for a block
            # of more than 50 peaks, so with 12-byte records it finds scan
            # 2's, as would an empty scan among the ten; those need them all.
            has = i < 10 and (record == 12 or rng.random() < 0.8)
            if has and not (i == 4 and record == 12):
                count = rng.randrange(51, 300) if record == 12 else rng.randrange(11, 40)
                image.put(rb.SMALL_SCAN_OFFSETS[i], peak_records(rng, count, record, nan))
        elif orbitrap:
            has = rng.random() < 0.85
            data = peak_records(rng, rng.randrange(51, 400), record, nan) if has else b""
            image.put(offset, data)
            # An empty scan longer than the search window, or the next
            # scan's block would be found from its start.
            length = (len(data) if has else 10000) + rng.randrange(1, 64)
            image.length_word(i, length)
            offset += length
        else:
            has = True  # every scan is searched from offset 0
        master_cached = master if orbitrap else (-1 if small and version == 57 else 0)
        planted[i + 1] = (has, {"ms1": 0, "ms2": 1, "ms3": 2}[kind], master_cached, hcd)
    if not (small or orbitrap):
        image.put(190 if record == 8 else 100, peak_records(rng, 120, record, nan))
    return image, planted


# name: (file name, version); "orbitrap" and "small.RAW" in the name choose
# the layout.
LAYOUTS = {
    "orbitrap-66": ("orbitrap_run.raw", 66),
    "orbitrap-57": ("orbitrap_run.raw", 57),
    "small-57": ("small.RAW", 57),
    "small-66": ("small.RAW", 66),
    "orbitrap-small-66": ("orbitrap/small.RAW", 66),
    "plain-66": ("plain.raw", 66),
    "plain-99": ("plain.raw", 99),
}


class Run:
    """One generated file, its export, and what the reader says of it."""

    def __init__(self, root, name, seed):
        file_name, version = LAYOUTS[name]
        self.path = str(root / file_name)
        rng = random.Random(seed)
        image, self.planted = acquisition(rng, version, "small.RAW" in file_name, "orbitrap" in file_name,
                                          nan=True)
        image.write(self.path)
        self.reader = velmaro.RawFileReader(self.path)
        self.trailer = version == 66 and "orbitrap" in file_name
        self.out = {kind: str(root / f"out.{kind}") for kind in ("mzML", "mgf", "parquet")}

    def peaks(self, n):
        mz, intensity = self.reader.get_peaks(n)
        return None if mz.size == 1 and mz[0] == 0.0 else (mz, intensity)

    def ms_level(self, n):
        _, order, master, _ = self.planted[n]
        return order + 1 if self.trailer else (2 if master > 0 else 1)

    def exported(self):
        """The scans with peaks, in order."""
        return [n for n in range(1, self.reader.num_scans + 1) if self.peaks(n) is not None]


@pytest.fixture(scope="module", params=sorted(LAYOUTS))
def run(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp(request.param)
    run = Run(directory, request.param, seed=sorted(LAYOUTS).index(request.param))
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        code = export.main([run.path, "--mzml", run.out["mzML"], "--mgf", run.out["mgf"],
                            "--parquet", run.out["parquet"]])
    assert code == 0
    run.printed = printed.getvalue().splitlines()
    return run


def same_bits(found, expected):
    return found.dtype == expected.dtype and found.shape == expected.shape and found.tobytes() == expected.tobytes()


def same_values(found, expected):
    """Equal as numbers of the same type, -0.0 apart from 0.0, NaN equal to
    any NaN: what a text format can carry."""
    def canonical(a):
        a = a.copy()
        a[np.isnan(a)] = np.nan
        return a
    return found.dtype == expected.dtype and same_bits(canonical(found), canonical(expected))


def same_float(found, expected):
    return (math.isnan(found) and math.isnan(expected)) or struct.pack("<d", found) == struct.pack("<d", expected)


def scan_of(native_id):
    return int(re.fullmatch(r"controllerType=0 controllerNumber=1 scan=(\d+)", native_id).group(1))


def test_the_files_hold_what_was_planted(run):
    # Guards the generator: every planted block is found, nothing else.
    assert run.exported() == [n for n, (has, *_) in run.planted.items() if has]
    assert 0 < len(run.exported())


def test_summary_counts_what_was_written(run):
    exported = run.exported()
    levels = [run.ms_level(n) for n in exported]
    by_level = ", ".join(f"{levels.count(k)} MS{k}" for k in sorted(set(levels)))
    peaks = sum(run.peaks(n)[0].size for n in exported)
    size = {kind: f"{os.path.getsize(path) / 1e6:.1f} MB" for kind, path in run.out.items()}
    assert run.printed == [
        f"wrote {run.out['mzML']}: {len(exported)} spectra, {size['mzML']}",
        f"wrote {run.out['mgf']}: {levels.count(2)} spectra, {size['mgf']}",
        f"wrote {run.out['parquet']}: {len(exported)} spectra, {peaks} peaks, {size['parquet']}",
        f"{run.reader.num_scans} scans: {len(exported)} exported ({by_level}), "
        f"{run.reader.num_scans - len(exported)} without peaks left out",
    ]


# ---- mzML ---------------------------------------------------------------------


def check_precursor(run, n, precursor, written_before):
    """pyteomics' view of one precursor against the reader."""
    mono, charge, master = (run.reader.get_monoisotopic_mz(n), run.reader.get_charge_state(n),
                            run.reader.get_master_scan(n))
    ions = precursor.get("selectedIonList", {}).get("selectedIon", [{}])
    assert len(ions) == 1
    assert ions[0].get("selected ion m/z", 0.0) == mono
    assert ions[0].get("charge state", 0) == charge
    reference = precursor.get("spectrumRef")
    assert reference == (export.native_id(master) if master in written_before else None)
    activation = precursor["activation"]
    hcd = run.trailer and run.planted[n][3] != ""
    assert activation == ({"beam-type collision-induced dissociation": ""} if hcd else {})


def test_mzml_read_by_pyteomics(run):
    from pyteomics import mzml

    written = []
    with mzml.MzML(run.out["mzML"]) as spectra:
        for index, spectrum in enumerate(spectra):
            n = scan_of(spectrum["id"])
            mz, intensity = run.peaks(n)
            assert spectrum["index"] == index
            assert same_bits(spectrum["m/z array"], mz) and same_bits(spectrum["intensity array"], intensity)
            level = run.ms_level(n)
            assert spectrum["ms level"] == level
            assert ("MS1 spectrum" in spectrum) == (level == 1) and ("MSn spectrum" in spectrum) == (level > 1)
            start = spectrum["scanList"]["scan"][0]["scan start time"]
            assert start.unit_info == "minute" and same_float(float(start), run.reader.get_rt(n))
            if level > 1:
                (precursor,) = spectrum["precursorList"]["precursor"]
                check_precursor(run, n, precursor, set(written))
            else:
                assert "precursorList" not in spectrum
            written.append(n)
        assert written == run.exported()
        # The index psims writes finds every spectrum by its id.
        last = export.native_id(written[-1])
        assert scan_of(spectra.get_by_id(last)["id"]) == written[-1]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # pymzml's own use of lxml
def test_mzml_read_by_pymzml(run):
    pymzml = pytest.importorskip("pymzml")
    written = []
    # Older pymzml knows the precision of MS1 and MS2 only, and fails on MS3.
    precisions = {level: 20e-6 for level in range(1, 10)}
    for spectrum in pymzml.run.Reader(run.out["mzML"], MS_precisions=precisions):
        n = spectrum.ID
        mz, intensity = run.peaks(n)
        assert same_bits(spectrum.mz, mz) and same_bits(spectrum.i, intensity)
        assert spectrum.ms_level == run.ms_level(n)
        assert same_float(spectrum.scan_time_in_minutes(), run.reader.get_rt(n))
        # pymzml lists a precursor only when it has an m/z.
        mono, charge, master = (run.reader.get_monoisotopic_mz(n), run.reader.get_charge_state(n),
                                run.reader.get_master_scan(n))
        if run.ms_level(n) > 1 and mono:
            (precursor,) = spectrum.selected_precursors
            assert precursor["mz"] == mono and precursor.get("charge", 0) == charge
            assert precursor["precursor id"] == (str(master) if master in written else None)
        else:
            assert spectrum.selected_precursors == []
        written.append(n)
    assert written == run.exported()


def test_mzml_is_valid_against_its_schema(run):
    from psims.validation import validate

    valid, schema = validate(run.out["mzML"])
    assert valid, [str(e) for e in schema.error_log][:5]


# ---- MGF ----------------------------------------------------------------------


def test_mgf_read_by_pyteomics(run):
    from pyteomics import mgf

    expected = [n for n in run.exported() if run.ms_level(n) == 2]
    stem = os.path.splitext(os.path.basename(run.path))[0]
    found = []
    # Read as doubles, as most readers of MGF do: the intensities must come
    # back as their exact float32 values.
    with mgf.MGF(run.out["mgf"], dtype=np.float64) as entries:
        for entry in entries:
            params = entry["params"]
            n = int(params["scans"])
            mz, intensity = run.peaks(n)
            assert same_values(entry["m/z array"], mz)
            assert same_values(entry["intensity array"], intensity.astype(np.float64))
            charge, mono = run.reader.get_charge_state(n), run.reader.get_monoisotopic_mz(n)
            assert params["title"] == f"{stem}.{n}.{n}.{charge}"
            assert params.get("pepmass", (0.0, None)) == (mono, None)
            assert list(params.get("charge", [])) == ([charge] if charge else [])
            assert same_float(float(params["rtinseconds"]), run.reader.get_rt(n) * 60)
            found.append(n)
    assert found == expected


# ---- Parquet ------------------------------------------------------------------


def test_parquet_read_by_polars(run):
    pl = pytest.importorskip("polars")
    frame = pl.read_parquet(run.out["parquet"])
    assert dict(frame.schema) == {
        "scan_number": pl.Int32, "mz": pl.Float64, "intensity": pl.Float32, "rt": pl.Float64,
        "ms_level": pl.Int32, "master_scan": pl.Int32, "precursor_mz": pl.Float64, "charge": pl.Int32}
    scans = frame["scan_number"].to_numpy()
    # Rows of one scan together, scans in order: the first row of each.
    starts = np.flatnonzero(np.diff(scans, prepend=-1))
    assert scans[starts].tolist() == run.exported()
    for start, end, n in zip(starts, list(starts[1:]) + [len(scans)], scans[starts].tolist()):
        rows = frame.slice(int(start), int(end - start))
        mz, intensity = run.peaks(n)
        assert same_bits(rows["mz"].to_numpy(), mz) and same_bits(rows["intensity"].to_numpy(), intensity)
        for column, value in [("rt", run.reader.get_rt(n)), ("ms_level", run.ms_level(n)),
                              ("master_scan", run.reader.get_master_scan(n)),
                              ("precursor_mz", run.reader.get_monoisotopic_mz(n)),
                              ("charge", run.reader.get_charge_state(n))]:
            values = rows[column].unique().to_list()
            assert len(values) == 1 and (same_float(values[0], value) if column in ("rt", "precursor_mz")
                                         else values[0] == value), column


def test_a_file_without_peaks_gives_valid_empty_outputs(tmp_path, capsys):
    pl = pytest.importorskip("polars")
    from psims.validation import validate
    from pyteomics import mgf, mzml

    path = rb.RawImage(40).header(version=57).write(str(tmp_path / "plain.raw"))
    out = {kind: str(tmp_path / f"out.{kind}") for kind in ("mzML", "mgf", "parquet")}
    assert export.main([path, "--mzml", out["mzML"], "--mgf", out["mgf"], "--parquet", out["parquet"]]) == 0
    assert capsys.readouterr().out.endswith("48 scans: 0 exported (none), 48 without peaks left out\n")
    assert validate(out["mzML"])[0]
    assert list(mzml.read(out["mzML"])) == [] and list(mgf.read(out["mgf"], use_index=False)) == []
    assert pl.read_parquet(out["parquet"]).columns[:3] == ["scan_number", "mz", "intensity"]


# ---- the command ----------------------------------------------------------------


def test_command_runs_as_a_script(tmp_path):
    # Quiet on standard error: no warning of a writer's; only progress, where
    # a loaded machine makes the run take over a second.
    path = samples_file(tmp_path)
    out = str(tmp_path / "sample.mzML")
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, "export.py"), path, "--mzml", out],
                            capture_output=True, text=True, timeout=300)
    progress = re.compile(r"\[[#.]{30}\] \d+/145 scans +[\d.]+ s")
    assert result.returncode == 0
    assert [line for line in result.stderr.splitlines() if not progress.fullmatch(line)] == []
    assert result.stdout.endswith("145 scans: 145 exported (29 MS1, 116 MS2), 0 without peaks left out\n")


def samples_file(tmp_path):
    import samples

    return samples.sample_image().write(str(tmp_path / "orbitrap" / "sample.raw"))


def bad_input(tmp_path, kind):
    """A path the reader cannot read, and the message it gives."""
    if kind == "missing":
        return str(tmp_path / "missing.raw"), "FileNotFoundError: No such file or directory (os error 2)"
    if kind == "directory":
        return str(tmp_path), "OSError: Is a directory (os error 21)"
    if kind == "shorter than its header":
        return rb.RawImage(39).write(str(tmp_path / "short.raw")), "OSError: failed to fill whole buffer"
    if kind == "too short for the orbitrap layout":
        # An internal failure of the module (PanicException), which also
        # reports it on the process's standard error.
        return (rb.RawImage(40).header(version=66).write(str(tmp_path / "orbitrap_short.raw")),
                "PanicException: range start index 6464170 out of range for slice of length 40")
    return "/dev/zero", "OSError: not a regular file"


@pytest.mark.parametrize("kind", ["missing", "directory", "shorter than its header",
                                  "too short for the orbitrap layout", "device"])
def test_unreadable_input_ends_in_one_line(tmp_path, capfd, kind):
    path, message = bad_input(tmp_path, kind)
    outs = [str(tmp_path / name) for name in ("x.mzML", "x.mgf", "x.parquet")]
    assert export.main([path, "--mzml", outs[0], "--mgf", outs[1], "--parquet", outs[2]]) == 1
    assert capfd.readouterr() == ("", f"error: cannot read {path}: {message}\n")
    assert not any(os.path.exists(p) for p in outs)


def test_unwritable_output_ends_in_one_line_and_leaves_nothing(tmp_path, capsys):
    path = samples_file(tmp_path)
    mzml, mgf = str(tmp_path / "x.mzML"), str(tmp_path / "no" / "x.mgf")
    assert export.main([path, "--mzml", mzml, "--mgf", mgf]) == 1
    assert capsys.readouterr() == (
        "", f"error: cannot write {mgf}: [Errno 2] No such file or directory: {mgf!r}\n")
    assert not os.path.exists(mzml)


@pytest.mark.parametrize("arguments,message", [
    ([], "name at least one output: --mzml, --mgf or --parquet"),
    (["--mgf", "{dir}/a", "--parquet", "{dir}/a"], "two outputs name the same file"),
    (["--mzml", "{raw}"], "an output names the input file"),
])
def test_refused_arguments(tmp_path, capsys, arguments, message):
    path = samples_file(tmp_path)
    arguments = [a.format(dir=tmp_path, raw=path) for a in arguments]
    with pytest.raises(SystemExit) as caught:
        export.main([path] + arguments)
    assert caught.value.code == 2
    assert capsys.readouterr().err.endswith(f"error: {message}\n")
    assert os.listdir(tmp_path) == ["orbitrap"]


def test_progress_from_its_delay_on(tmp_path):
    class Log(io.StringIO):
        def isatty(self):
            return False

    late, log = Log(), Log()
    for stream, delay in ((late, 3600), (log, 0)):
        progress = export.Progress(25, stream, delay=delay)
        for done in range(26):
            progress.update(done)
    assert late.getvalue() == ""
    lines = log.getvalue().splitlines()
    # A line per tenth of the scans in a log.
    assert [line.split()[1] for line in lines] == [f"{d}/25" for d in (0, 3, 5, 8, 10, 13, 15, 18, 20, 23, 25)]
    assert lines[-1].startswith("[" + "#" * 30 + "] 25/25 scans")
