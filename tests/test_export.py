"""`velmaro export`, its outputs read back by readers that are not their
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

import pytest

import rawbuilder as rb
from conftest import velmaro

np = pytest.importorskip("numpy")
for _reader in ("velmaro_tools", "pyarrow", "psims", "pyteomics"):
    pytest.importorskip(_reader)
from velmaro_tools import cli  # noqa: E402

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
        stem = os.path.splitext(os.path.basename(self.path))[0]
        self.out = {kind: str(root / "out" / f"{stem}.{kind}") for kind in ("mzML", "mgf", "parquet")}

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
        # Their values are odd on purpose (NaN and falling retention times, master
        # scans ahead of their scan, creation times past 9999): the layout their
        # names give is forced, and the header taken as it is.
        code = cli.main(["export", run.path, "--mzml", "--mgf", "--parquet", "-o", str(directory / "out"),
                         "--layout", path_layout(run.path), "--no-strict", "--quiet"])
    assert code == 0
    run.printed = printed.getvalue().splitlines()
    return run


def path_layout(path):
    small, orbitrap = "small.RAW" in path, "orbitrap" in path
    return "both" if small and orbitrap else "small" if small else "orbitrap" if orbitrap else "plain"


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


def native_id(n):
    return f"controllerType=0 controllerNumber=1 scan={n}"


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
    ms2_peaks = sum(run.peaks(n)[0].size for n, level in zip(exported, levels) if level == 2)
    assert run.printed == [
        f"wrote {run.out['mzML']}: {len(exported)} spectra, {peaks} peaks, {size['mzML']}",
        f"wrote {run.out['mgf']}: {levels.count(2)} spectra, {ms2_peaks} peaks, {size['mgf']}",
        f"wrote {run.out['parquet']}: {len(exported)} spectra, {peaks} peaks, {size['parquet']}",
        f"{run.path}: {run.reader.num_scans} scans, {len(exported)} exported ({by_level}), "
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
    assert reference == (native_id(master) if master in written_before else None)
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
        last = native_id(written[-1])
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
                              # No master scan (0 or -1) is 0.
                              ("master_scan", max(run.reader.get_master_scan(n), 0)),
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
    out = {kind: str(tmp_path / f"plain.{kind}") for kind in ("mzML", "mgf", "parquet")}
    assert cli.main(["export", path, "--mzml", "--mgf", "--parquet", "-o", str(tmp_path), "--layout", "plain",
                     "--quiet"]) == 0
    assert capsys.readouterr().out.endswith("plain.raw: 48 scans, 0 exported (none), 48 without peaks left out\n")
    assert validate(out["mzML"])[0]
    assert list(mzml.read(out["mzML"])) == [] and list(mgf.read(out["mgf"], use_index=False)) == []
    assert pl.read_parquet(out["parquet"]).columns[:3] == ["scan_number", "mz", "intensity"]


# ---- the command ----------------------------------------------------------------


def samples_file(tmp_path):
    import samples

    return samples.sample_image().write(str(tmp_path / "orbitrap" / "sample.raw"))


def bad_input(tmp_path, kind):
    """A path the toolkit refuses, and the line it gives."""
    if kind == "missing":
        return str(tmp_path / "missing.raw"), "missing: No such file or directory (os error 2)"
    if kind == "directory":
        return str(tmp_path / "folder.raw"), "not a file: a directory, not a regular file"
    if kind == "shorter than its header":
        return (rb.RawImage(39).put(0, b"\1\0").write(str(tmp_path / "short.raw")),
                "truncated: the file ends at byte 39, inside the 40-byte header")
    if kind == "too short for the orbitrap layout":
        return (rb.RawImage(40).header(version=66).write(str(tmp_path / "orbitrap_short.raw")),
                "truncated: the file ends at byte 40, before the tables of every layout: the orbitrap layout's "
                "scan table needs 6476846 bytes, the small layout's retention times start at 1481842")
    return "/dev/zero", "not a file: a device, not a regular file"


@pytest.mark.parametrize("kind", ["missing", "directory", "shorter than its header",
                                  "too short for the orbitrap layout", "device"])
def test_unreadable_input_ends_in_one_line_and_the_rest_is_written(tmp_path, capfd, kind):
    (tmp_path / "folder.raw").mkdir()
    path, message = bad_input(tmp_path, kind)
    good = samples_file(tmp_path)
    out = tmp_path / "out"
    assert cli.main(["export", path, good, "--mzml", "--mgf", "--parquet", "-o", str(out), "--quiet"]) == 1
    assert capfd.readouterr().err == f"error: {path}: {message}\n"
    assert sorted(os.listdir(out)) == ["sample.mgf", "sample.mzML", "sample.parquet"]
