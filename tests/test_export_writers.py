"""velmaro_tools.export: its mzML, MGF and Parquet read back by readers that
are not their writers (pyteomics and pymzml, pyteomics, polars), bit for
bit, over random spectra with NaNs, infinities, signed zeros and
subnormals; the mzML's schema, index and checksum; the same text as the
writers it replaced; and no output left behind by a failure or an
interruption."""

from __future__ import annotations

import contextlib
import datetime
import hashlib
import math
import os
import re
import struct
import threading
import warnings
import weakref

import pytest

np = pytest.importorskip("numpy")
for _library in ("isal", "orjson", "pyarrow"):
    pytest.importorskip(_library)
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from velmaro_tools import _mgf  # noqa: E402
from velmaro_tools._mzml import DEPTH_PER_WORKER  # noqa: E402
from velmaro_tools._parquet import GROUP_QUEUE  # noqa: E402
from velmaro_tools.export import RunInfo, export  # noqa: E402
from velmaro_tools.records import Spectrum  # noqa: E402

HCD = "HigherEnergyCollisionalDissociation"
CREATED = datetime.datetime(2022, 6, 18, 4, 26, 40, tzinfo=datetime.timezone.utc)
NAN64 = np.array([0x7FF8_0000_00AB_CDEF], np.uint64).view(np.float64)[0]
NAN32 = np.array([0x7FC0_1234], np.uint32).view(np.float32)[0]
SPECIAL64 = [math.inf, -math.inf, 0.0, -0.0, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 1e-5,
             9.999999999999999e-05, 1e16, 9999999999999998.0, 0.1 + 0.2, 1e22, 123.0, NAN64, math.nan]
SPECIAL32 = [math.inf, -math.inf, 0.0, -0.0, 1e-45, 3.4028235e38, 1e-5, 16777216.0, NAN32]


# ---- spectra ------------------------------------------------------------------


def peaks(rng, count, special):
    """Sorted m/z and lognormal intensities with a few special values, and
    now and then arrays of random bit patterns: any double or single."""
    if rng.random() < 0.15:
        return (rng.integers(0, 2**64, count, np.uint64, endpoint=False).view(np.float64),
                rng.integers(0, 2**32, count, np.uint32, endpoint=False).view(np.float32))
    mz = np.sort(rng.uniform(50, 4000, count))
    intensity = rng.lognormal(8, 2, count).astype(np.float32)
    if special and count > 2:
        for k in rng.choice(count, min(count, 4), replace=False):
            mz[k] = SPECIAL64[rng.integers(len(SPECIAL64))]
            intensity[k] = SPECIAL32[rng.integers(len(SPECIAL32))]
    return mz, intensity


def random_run(seed, size=12, special=True):
    """Spectra of MS levels 1 to 3 in increasing scan order, some without
    peaks, with precursors that are missing, zero, NaN or real, master scans
    that come before, after or never."""
    rng = np.random.default_rng(seed)
    scans = np.sort(rng.choice(np.arange(1, 4 * size + 10), size, replace=False)).tolist()
    spectra = []
    for scan in scans:
        level = int(rng.choice([1, 2, 2, 3]))
        count = int(rng.choice([0, 1, 3, 40, 300, 5000]))
        mz, intensity = peaks(rng, count, special)
        precursor = rng.choice([None, 0.0, math.nan, 1e-300, float(rng.uniform(300, 1500))]) if level > 1 else None
        charge = rng.choice([None, 0, 1, 2, 3, 255, -2]) if level > 1 else None
        master = rng.choice([None, scans[0], scan - 1, scan + 5, 10**6]) if level > 1 else None
        rt = float(rng.choice([float(rng.uniform(0, 200)), math.nan, -0.0, math.inf, 1e-7]))
        spectra.append(Spectrum(scan, level, rt, mz, intensity, None if precursor is None else float(precursor),
                                None if charge is None else int(charge), None if master is None else int(master),
                                rng.choice([None, HCD, "CollisionInducedDissociation"])))
    return spectra


def info(records, path="/data/orbitrap/run 42.raw", **changes):
    kept = [s for s in records if s.mz.size]
    return RunInfo(**{"path": path, "creation_time": CREATED, "spectra": len(kept),
                      "ms_levels": {s.ms_level for s in kept}, **changes})


def outputs(directory, stem="out"):
    return {"mzml": str(directory / f"{stem}.mzML"), "mgf": str(directory / f"{stem}.mgf"),
            "parquet": str(directory / f"{stem}.parquet")}


# ---- comparisons ------------------------------------------------------------------


def same_bits(found, expected):
    return found.dtype == expected.dtype and found.shape == expected.shape and found.tobytes() == expected.tobytes()


def same_values(found, expected):
    """Equal as numbers, -0.0 apart from 0.0, a NaN equal to any NaN: what
    a text format carries."""
    def canonical(a):
        with np.errstate(invalid="ignore"):
            a = np.array(a, np.float64)
        a[np.isnan(a)] = np.nan
        return a
    return same_bits(canonical(found), canonical(expected))


def same_float(found, expected):
    return (math.isnan(found) and math.isnan(expected)) or struct.pack("<d", found) == struct.pack("<d", expected)


def native_id(scan):
    return f"controllerType=0 controllerNumber=1 scan={scan}"


def known(value):
    """A precursor value the text formats carry: None and 0 say nothing was read."""
    return value if value else None


# ---- readers ------------------------------------------------------------------


def check_index(path, spectra):
    """The offsets, the index's own offset and the SHA-1 of an indexed mzML."""
    data = open(path, "rb").read()
    offsets = [(m.group(1).decode(), int(m.group(2)))
               for m in re.finditer(rb'<offset idRef="([^"]*)">(\d+)</offset>', data)]
    assert [i for i, _ in offsets] == [native_id(s.scan) for s in spectra]
    for k, (identifier, at) in enumerate(offsets):
        assert data[at:].startswith(f'<spectrum index="{k}" defaultArrayLength='.encode())
        assert data[at:data.index(b">", at)].endswith(f'id="{identifier}"'.encode())
    index_at = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data[index_at:].startswith(b"<indexList ")
    end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert data[end:end + 40].decode() == hashlib.sha1(data[:end]).hexdigest()


def check_mzml(path, spectra):
    from psims.validation import validate
    from pyteomics import mzml

    written = [s for s in spectra if s.mz.size]
    valid, schema = validate(path)
    assert valid, [str(e) for e in schema.error_log][:5]
    check_index(path, written)
    done = set()
    with mzml.MzML(path, use_index=bool(written)) as reader:
        found = list(reader)
        assert len(found) == len(written)
        for spectrum, s in zip(found, written):
            assert spectrum["id"] == native_id(s.scan)
            assert same_bits(spectrum["m/z array"], s.mz) and same_bits(spectrum["intensity array"], s.intensity)
            assert spectrum["ms level"] == s.ms_level
            assert ("MS1 spectrum" in spectrum) == (s.ms_level == 1)
            start = spectrum["scanList"]["scan"][0]["scan start time"]
            assert start.unit_info == "minute" and same_float(float(start), s.rt)
            if s.ms_level > 1:
                (precursor,) = spectrum["precursorList"]["precursor"]
                ion = precursor.get("selectedIonList", {}).get("selectedIon", [{}])[0]
                mz, charge = ion.get("selected ion m/z"), ion.get("charge state")
                assert (mz is None and known(s.precursor_mz) is None) or same_float(mz, s.precursor_mz)
                assert charge == known(s.charge)
                assert precursor.get("spectrumRef") == (native_id(s.master_scan) if s.master_scan in done else None)
                hcd = {"beam-type collision-induced dissociation": ""} if s.activation == HCD else {}
                assert precursor["activation"] == hcd
            else:
                assert "precursorList" not in spectrum
            done.add(s.scan)
        # Random access through the index.
        for s in written[::3]:
            assert same_bits(reader.get_by_id(native_id(s.scan))["m/z array"], s.mz)
    check_mzml_pymzml(path, written)


def check_mzml_pymzml(path, written):
    pymzml = pytest.importorskip("pymzml")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # pymzml's own use of lxml
        reader = pymzml.run.Reader(path, MS_precisions={level: 20e-6 for level in range(1, 10)})
        found = list(reader)
        assert [s.ID for s in found] == [s.scan for s in written]
        for spectrum, s in zip(found, written):
            assert same_bits(spectrum.mz, s.mz) and same_bits(spectrum.i, s.intensity)
            assert spectrum.ms_level == s.ms_level
        if written:
            assert same_bits(reader[written[-1].scan].mz, written[-1].mz)


def check_mgf(path, spectra, stem="run 42"):
    from pyteomics import mgf

    expected = [s for s in spectra if s.mz.size and s.ms_level == 2]
    with mgf.MGF(path, dtype=np.float64) as reader:
        found = list(reader)
    assert len(found) == len(expected)
    for entry, s in zip(found, expected):
        params = entry["params"]
        assert params["title"] == f"{stem}.{s.scan}.{s.scan}.{s.charge or 0}"
        assert int(params["scans"]) == s.scan
        assert same_values(entry["m/z array"], s.mz)
        assert same_values(entry["intensity array"], s.intensity)
        pepmass = params.get("pepmass", (None, None))[0]
        assert (pepmass is None and known(s.precursor_mz) is None) or same_float(pepmass, s.precursor_mz)
        assert list(params.get("charge", [])) == ([s.charge] if s.charge else [])
        assert same_float(float(params["rtinseconds"]), s.rt * 60)


def check_parquet(path, spectra, source="run 42.raw"):
    pl = pytest.importorskip("polars")
    import pyarrow.parquet as pq

    written = [s for s in spectra if s.mz.size]
    frame = pl.read_parquet(path)
    assert dict(frame.schema) == {
        "scan_number": pl.Int32, "mz": pl.Float64, "intensity": pl.Float32, "rt": pl.Float64,
        "ms_level": pl.Int32, "master_scan": pl.Int32, "precursor_mz": pl.Float64, "charge": pl.Int32}
    schema = pq.read_schema(path)
    assert schema.metadata[b"source"] == source.encode()
    assert schema.field("rt").metadata == {b"unit": b"minute"}
    counts = [s.mz.size for s in written]

    def per_scan(values, dtype):
        return np.repeat(np.array(values, dtype), counts)

    empty = (np.empty(0, np.float64), np.empty(0, np.float32))
    expected = {
        "scan_number": per_scan([s.scan for s in written], np.int32),
        "mz": np.concatenate([s.mz for s in written] or [empty[0]]),
        "intensity": np.concatenate([s.intensity for s in written] or [empty[1]]),
        "rt": per_scan([s.rt for s in written], np.float64),
        "ms_level": per_scan([s.ms_level for s in written], np.int32),
        "master_scan": per_scan([s.master_scan or 0 for s in written], np.int32),
        "precursor_mz": per_scan([s.precursor_mz or 0.0 for s in written], np.float64),
        "charge": per_scan([s.charge or 0 for s in written], np.int32),
    }
    for column, values in expected.items():
        assert same_bits(frame[column].to_numpy(), values), column


# ---- the outputs, read back -----------------------------------------------------


@settings(max_examples=15, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from([0, None]))
def test_every_output_reads_back_bit_for_bit(tmp_path_factory, seed, threads):
    directory = tmp_path_factory.mktemp("out")
    spectra = random_run(seed)
    result = export(iter(spectra), info(spectra), **outputs(directory), threads=threads)
    written = [s for s in spectra if s.mz.size]
    assert (result.scans, result.exported, result.left_out) == (len(spectra), len(written),
                                                                 len(spectra) - len(written))
    assert [(o.format, o.spectra) for o in result.outputs] == [
        ("mzML", len(written)), ("MGF", sum(s.ms_level == 2 for s in written)), ("Parquet", len(written))]
    check_mzml(outputs(directory)["mzml"], spectra)
    check_mgf(outputs(directory)["mgf"], spectra)
    check_parquet(outputs(directory)["parquet"], spectra)
    assert sorted(os.listdir(directory)) == ["out.mgf", "out.mzML", "out.parquet"]


@pytest.mark.parametrize("options", [
    {"mzml_compression": "none"},
    {"mzml_compressor": "zlib", "mzml_compression_level": 1},
    {"mzml_compression_level": 0},
    {"parquet_compression": "zstd", "parquet_compression_level": 9, "parquet_scan_compression": "none"},
    {"parquet_compression": "none", "parquet_row_group_size": 7},
])
def test_options_change_no_content(tmp_path, options):
    spectra = random_run(3)
    export(spectra, info(spectra), **outputs(tmp_path), **options)
    check_mzml(outputs(tmp_path)["mzml"], spectra)
    check_parquet(outputs(tmp_path)["parquet"], spectra)
    if "parquet_row_group_size" in options:
        import pyarrow.parquet as pq

        metadata = pq.read_metadata(outputs(tmp_path)["parquet"])
        sizes = [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)]
        assert set(sizes[:-1]) == {7} and 1 <= sizes[-1] <= 7


@pytest.mark.parametrize("threads", [0, None])
def test_row_groups_larger_than_pyarrows_own_hold_exactly_as_many_rows(tmp_path, threads):
    # pyarrow cuts a table into row groups of 1048576 rows unless told otherwise.
    rng = np.random.default_rng(5)
    spectra = [Spectrum(k, 1, 0.5 * k, np.sort(rng.uniform(100, 2000, 500_000)),
                        rng.random(500_000, dtype=np.float32)) for k in (1, 2, 3)]
    path = str(tmp_path / "big.parquet")
    export(spectra, info(spectra), parquet=path, parquet_row_group_size=1_200_000, threads=threads)
    import pyarrow.parquet as pq

    metadata = pq.read_metadata(path)
    assert [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)] == [1_200_000, 300_000]
    check_parquet(path, spectra)


def test_threads_change_no_byte(tmp_path):
    # The order of the output never depends on which worker finishes first.
    spectra = random_run(4, size=40, special=False)
    contents = []
    for threads in (0, 1, 2, 5):
        directory = tmp_path / str(threads)
        directory.mkdir()
        export(spectra, info(spectra), **outputs(directory), threads=threads)
        contents.append([open(p, "rb").read() for p in outputs(directory).values()])
    assert all(c == contents[0] for c in contents[1:])


@pytest.mark.parametrize("spectra", [[], [Spectrum(3, 1, 0.5, np.empty(0), np.empty(0, np.float32))]],
                         ids=["no spectra", "none with peaks"])
def test_a_run_without_peaks_gives_valid_empty_outputs(tmp_path, spectra):
    pl = pytest.importorskip("polars")
    result = export(spectra, info(spectra), **outputs(tmp_path))
    assert (result.scans, result.exported, result.left_out) == (len(spectra), 0, len(spectra))
    assert [o.spectra for o in result.outputs] == [0, 0, 0]
    check_mzml(outputs(tmp_path)["mzml"], spectra)
    assert open(outputs(tmp_path)["mgf"]).read() == ""
    assert pl.read_parquet(outputs(tmp_path)["parquet"]).height == 0


# ---- text: the same as the writers it replaced ------------------------------------


def test_mgf_numbers_are_the_repr_of_each_double():
    # Random bit patterns: every exponent and mantissa, NaN payloads and
    # subnormals; the usual values, which take the fast path; and the
    # bounds of the fast path.
    rng = np.random.default_rng(5)
    mz = rng.integers(0, 2**64, 100_000, np.uint64, endpoint=False).view(np.float64)
    intensity = rng.integers(0, 2**32, 100_000, np.uint32, endpoint=False).view(np.float32)
    mz[::3] = rng.uniform(50, 5000, mz[::3].size)
    intensity[::3] = rng.lognormal(8, 3, intensity[::3].size)
    bounds = [1e-4, np.nextafter(1e-4, 0), 1e16, np.nextafter(1e16, 0), -1e16, 1e-5, 5e-324, 0.0, -0.0, 1.0, 1e22]
    mz[1:2 * len(bounds):2] = bounds
    intensity[1:2 * len(bounds):2] = np.array(bounds, np.float32)
    with np.errstate(invalid="ignore"):  # signalling NaNs, widened
        wide = intensity.astype(np.float64)
    expected = "".join(f"{m!r} {i!r}\n" for m, i in zip(mz.tolist(), wide.tolist()))
    assert _mgf.peak_lines(mz, intensity).decode() == expected


def psims_document(spectra, run, path):
    """The mzML that examples/export.py writes with psims."""
    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache
    from psims.mzml.writer import MzMLWriter

    written = [s for s in spectra if s.mz.size]
    with MzMLWriter(open(path, "wb"), close=True,
                    vocabulary_resolver=OBOCache(enabled=False, use_remote=False)) as w:
        w.controlled_vocabularies()
        levels = {s.ms_level for s in written}
        w.file_description((["MS1 spectrum"] if 1 in levels else []) + (["MSn spectrum"] if levels - {1} else []),
                           [w.SourceFile(location="file:///data/orbitrap", name="run 42.raw", id="RAW1",
                                         params=["Thermo RAW format", "Thermo nativeID format"])])
        w.software_list([w.Software(id="velmaro", version="0", params=[
            {"custom unreleased software tool": "velmaro"}])])
        w.instrument_configuration_list([w.InstrumentConfiguration(
            id="IC1", params=["Thermo Fisher Scientific instrument model"],
            component_list=w.ComponentList([w.Source(1, ["ionization type"]), w.Analyzer(2, ["mass analyzer type"]),
                                            w.Detector(3, ["detector type"])]))])
        w.data_processing_list([w.DataProcessing(
            [{"order": 0, "software_reference": "velmaro", "params": ["Conversion to mzML"]}], id="export")])
        with w.run(id="run_42", start_time="2022-06-18T04:26:40Z"):
            with w.spectrum_list(count=len(written)):
                done = set()
                for s in written:
                    precursor = None
                    if s.ms_level >= 2:
                        precursor = {"mz": s.precursor_mz or None, "charge": s.charge or None,
                                     "spectrum_reference": native_id(s.master_scan) if s.master_scan in done else None,
                                     "activation": ["beam-type collision-induced dissociation"]
                                     if s.activation == HCD else {}}
                    w.write_spectrum(s.mz, s.intensity, id=native_id(s.scan), polarity=None, centroided=True,
                                     scan_start_time=s.rt, precursor_information=precursor,
                                     params=[{"ms level": s.ms_level},
                                             "MS1 spectrum" if s.ms_level == 1 else "MSn spectrum"],
                                     encoding={"m/z array": np.float64, "intensity array": np.float32})
                    done.add(s.scan)


def without_positions(text):
    """The document without its byte positions and checksum."""
    text = re.sub(r'(<offset idRef="[^"]*">)\d+', r"\1", text)
    return re.sub(r"<(indexListOffset|fileChecksum)>[^<]*", r"<\1>", text)


def test_the_same_text_as_psims_and_pyteomics(tmp_path):
    pytest.importorskip("psims")
    from psims.mzml import binary_encoding
    from pyteomics import mgf

    spectra = random_run(6, size=30)
    run = info(spectra)
    # psims compresses with ISA-L where it is installed, else with zlib.
    compressor = "isal" if "isal" in binary_encoding.zlib.__name__ else "zlib"
    export(spectra, run, **outputs(tmp_path), mzml_compressor=compressor)
    psims_document(spectra, run, str(tmp_path / "psims.mzML"))
    ours, theirs = (open(p).read() for p in (outputs(tmp_path)["mzml"], tmp_path / "psims.mzML"))
    # What changed on purpose: psims is not the writer any more, and the
    # minute is a unit of the unit ontology.
    ours = re.sub(r'<software version="[^"]*" id="velmaro">', '<software version="0" id="velmaro">', ours)
    theirs = theirs.replace('unitCvRef="PSI-MS" unitAccession="UO:0000031"', 'unitCvRef="UO" unitAccession="UO:0000031"')
    assert without_positions(ours) == without_positions(theirs)

    with open(tmp_path / "pyteomics.mgf", "w") as f:
        for s in spectra:
            if s.mz.size and s.ms_level == 2:
                params = {"title": f"run 42.{s.scan}.{s.scan}.{s.charge or 0}"}
                if s.precursor_mz:
                    params["pepmass"] = s.precursor_mz
                params["rtinseconds"] = s.rt * 60
                if s.charge:
                    params["charge"] = s.charge
                params["scans"] = s.scan
                mgf.write([{"m/z array": s.mz.tolist(), "intensity array": s.intensity.tolist(), "params": params}],
                          output=f, fragment_format="{} {}", use_numpy=False)
    assert open(outputs(tmp_path)["mgf"], "rb").read() == open(tmp_path / "pyteomics.mgf", "rb").read()


def test_the_vocabulary_terms_are_psi_ms_and_uo(tmp_path):
    # Accession, name and cv of every term written, checked against the
    # vocabulary psims ships.
    pytest.importorskip("psims")
    from psims.controlled_vocabulary.controlled_vocabulary import load_psims, load_uo

    spectra = random_run(7)
    export(spectra, info(spectra), mzml=str(tmp_path / "a.mzML"))
    text = open(tmp_path / "a.mzML").read()
    vocabularies = {"PSI-MS": load_psims(), "UO": load_uo()}
    terms = set(re.findall(r'cvRef="([^"]*)" accession="([^"]*)" name="([^"]*)"', text))
    terms |= set(re.findall(r'unitCvRef="([^"]*)" unitAccession="([^"]*)" unitName="([^"]*)"', text))
    assert len(terms) > 15
    for cv, accession, name in terms:
        assert vocabularies[cv][accession].name == name, accession


# ---- names -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ['a&b<c>"d\'.raw', "two\nlines\r.raw", "caf\u00e9 \U0001f600.raw",
                                  os.fsdecode(b"bytes\xff\xfe.raw"), "ctl\x01\x1f.raw", "42.raw"])
def test_any_file_name_gives_valid_outputs(tmp_path, name):
    spectra = random_run(8, size=6, special=False)
    result = export(spectra, info(spectra, path=str(tmp_path / "orbitrap" / name)), **outputs(tmp_path))
    check_mzml(result.outputs[0].path, spectra)
    titles = [line for line in open(result.outputs[1].path, encoding="utf-8") if line.startswith("TITLE=")]
    assert len(titles) == sum(s.mz.size > 0 and s.ms_level == 2 for s in spectra)
    assert all(re.fullmatch(r"TITLE=[^\r\n]*\.\d+\.\d+\.-?\d+\n", t) for t in titles)
    import pyarrow.parquet as pq

    assert pq.read_schema(result.outputs[2].path).metadata[b"source"].decode()


# ---- failures leave nothing behind --------------------------------------------------


class Stop(Exception):
    pass


def interrupted(spectra, after, error):
    for k, s in enumerate(spectra):
        if k == after:
            raise error
        yield s


def leftovers(directory):
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("error", [KeyboardInterrupt, Stop])
@pytest.mark.parametrize("after", [0, 17, 39])
def test_an_interrupted_export_leaves_nothing(tmp_path, error, after):
    spectra = random_run(9, size=40, special=False)
    threads = threading.active_count()
    with pytest.raises(error):
        export(interrupted(spectra, after, error()), info(spectra), **outputs(tmp_path),
               parquet_row_group_size=5000)
    assert leftovers(tmp_path) == []
    assert threading.active_count() == threads


@pytest.mark.parametrize("made", [1, 2, 3])
def test_an_interrupt_while_the_outputs_are_made_leaves_nothing(tmp_path, monkeypatch, made):
    # The Ctrl-C comes after the made-th temporary file exists, before its
    # writer is there to remove it.
    from velmaro_tools import _files

    spectra = random_run(4, size=5, special=False)
    original = _files.PendingFile.__init__
    count = []

    def interrupted_init(self, path):
        original(self, path)
        count.append(path)
        if len(count) == made:
            raise KeyboardInterrupt
    monkeypatch.setattr(_files.PendingFile, "__init__", interrupted_init)
    with pytest.raises(KeyboardInterrupt):
        export(spectra, info(spectra), **outputs(tmp_path))
    assert leftovers(tmp_path) == []


def test_a_second_interrupt_during_the_cleanup_still_leaves_nothing(tmp_path, monkeypatch):
    import signal

    from velmaro_tools import _files

    spectra = random_run(16, size=20, special=False)
    discard = _files.PendingFile.discard

    def interrupted_discard(self):
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C again, while the files go
        discard(self)
    monkeypatch.setattr(_files.PendingFile, "discard", interrupted_discard)
    with pytest.raises(KeyboardInterrupt):
        export(interrupted(spectra, 10, KeyboardInterrupt()), info(spectra), **outputs(tmp_path))
    assert leftovers(tmp_path) == []


def failing(monkeypatch, module, name, after):
    """`module.name` raising the OSError of a full disk from its call
    number `after` on."""
    original = getattr(module, name)
    calls = []

    def fail(*args, **kwargs):
        calls.append(1)
        if len(calls) > after:
            raise OSError(28, "No space left on device")
        return original(*args, **kwargs)
    monkeypatch.setattr(module, name, fail)


class FullDisk:
    """A file that takes a few writes, then fails as a full disk does."""

    def __init__(self, file):
        self.file, self.writes = file, 0

    def write(self, data):
        self.writes += 1
        if self.writes > 3:
            raise OSError(28, "No space left on device")
        return self.file.write(data)

    def close(self):
        self.file.close()


@pytest.mark.parametrize("where", ["mgf text", "mgf file", "mzml encoding", "parquet row group", "mzml end"])
def test_a_failing_write_names_its_output_and_leaves_nothing(tmp_path, monkeypatch, where):
    from velmaro_tools import _files, _mzml

    spectra = random_run(10, size=40, special=False)
    failing_output = {"mgf text": "mgf", "mgf file": "mgf", "mzml encoding": "mzml", "parquet row group": "parquet",
                      "mzml end": "mzml"}[where]
    if where == "mgf file":
        # On the writing thread: the error comes back to the caller's.
        opened = _files.PendingFile.open
        monkeypatch.setattr(_files.PendingFile, "open", lambda self: (
            FullDisk(opened(self)) if self.path.endswith(".mgf") else opened(self)))
    elif where == "mgf text":
        failing(monkeypatch, _mgf, "peak_lines", 5)
    elif where == "mzml encoding":
        failing(monkeypatch, _mzml, "encode", 20)
    elif where == "parquet row group":
        import pyarrow.parquet as pq

        failing(monkeypatch, pq.ParquetWriter, "write_table", 1)
    else:
        failing(monkeypatch, _mzml.Stream, "checksum", 0)
    with pytest.raises(OSError) as caught:
        export(spectra, info(spectra), **outputs(tmp_path), parquet_row_group_size=3000)
    assert caught.value.filename == outputs(tmp_path)[failing_output]
    assert leftovers(tmp_path) == []


def test_a_failed_rename_takes_back_those_renamed(tmp_path):
    spectra = random_run(11, special=False)
    paths = outputs(tmp_path)
    os.mkdir(paths["parquet"])  # the last output cannot take its name
    with open(os.path.join(paths["parquet"], "x"), "w"):
        pass
    with pytest.raises(OSError) as caught:
        export(spectra, info(spectra), **paths)
    assert caught.value.filename == paths["parquet"]
    assert leftovers(tmp_path) == ["out.parquet"] and os.listdir(paths["parquet"]) == ["x"]


def test_an_output_in_a_missing_folder(tmp_path):
    spectra = random_run(12, special=False)
    paths = {**outputs(tmp_path), "mgf": str(tmp_path / "no" / "out.mgf")}
    with pytest.raises(FileNotFoundError) as caught:
        export(spectra, info(spectra), **paths)
    assert str(caught.value) == f"[Errno 2] No such file or directory: {paths['mgf']!r}"
    assert leftovers(tmp_path) == []


def reordered(spectra):
    return [spectra[1], spectra[0]] + spectra[2:]


@pytest.mark.parametrize("case,message", [
    ("no output", "no output named"),
    ("same output twice", "two outputs name the same file"),
    ("output is the run", "an output names the run's own file"),
    ("mzML without a count", "mzML needs the count"),
    ("naive time", "timezone-aware"),
    ("out of order", "increasing scan order"),
    ("float32 m/z", "float64 and float32"),
    ("lengths differ", "float64 and float32"),
    ("more spectra than announced", "more spectra with peaks than the"),
    ("fewer spectra than announced", "were announced"),
    ("a level not announced", "is not among those announced"),
    ("a level announced that never came", "were announced"),
    ("bad level", "ISA-L compression level"),
])
def test_refused_arguments_leave_nothing(tmp_path, case, message):
    spectra = random_run(13, size=20, special=False)
    first = next(k for k, s in enumerate(spectra) if s.mz.size)
    run, paths, options = info(spectra), outputs(tmp_path), {}
    kept = [s for s in spectra if s.mz.size]
    if case == "no output":
        paths = {}
    elif case == "same output twice":
        paths["mgf"] = paths["mzml"]
    elif case == "output is the run":
        run = info(spectra, path=paths["parquet"])
    elif case == "mzML without a count":
        run = info(spectra, spectra=None)
    elif case == "naive time":
        run = info(spectra, creation_time=datetime.datetime(2022, 1, 1))
    elif case == "out of order":
        spectra = reordered(spectra)
    elif case == "float32 m/z":
        spectra[first] = Spectrum(spectra[first].scan, 1, 0.0, spectra[first].mz.astype(np.float32),
                                  spectra[first].intensity)
    elif case == "lengths differ":
        spectra[first] = Spectrum(spectra[first].scan, 1, 0.0, spectra[first].mz, spectra[first].intensity[:-1])
    elif case == "more spectra than announced":
        run = info(spectra, spectra=len(kept) - 1)
    elif case == "fewer spectra than announced":
        run = info(spectra, spectra=len(kept) + 1)
    elif case == "a level not announced":
        run = info(spectra, ms_levels={s.ms_level for s in kept} - {kept[-1].ms_level})
    elif case == "a level announced that never came":
        run = info(spectra, ms_levels={s.ms_level for s in kept} | {7})
    else:
        options = {"mzml_compression_level": 9}
    with pytest.raises(ValueError, match=re.escape(message)):
        export(spectra, run, **paths, **options)
    assert leftovers(tmp_path) == []


# ---- memory -------------------------------------------------------------------------


def test_memory_holds_a_few_spectra_whatever_the_run(tmp_path):
    # Weak references count the peak arrays still alive as each spectrum
    # is handed over: a bounded number, not the run.
    group, size = 10000, 3000
    alive = [0]
    most = 0

    def gone():
        alive[0] -= 1

    def spectra():
        nonlocal most
        rng = np.random.default_rng(14)
        for scan in range(1, 201):
            most = max(most, alive[0])
            mz, intensity = peaks(rng, size, special=False)
            alive[0] += 1
            weakref.finalize(mz, gone)
            yield Spectrum(scan, 2, 1.0, mz, intensity, 500.0, 2, None, HCD)

    run = RunInfo("/data/run.raw", None, 200, {2})
    export(spectra(), run, **outputs(tmp_path), parquet_row_group_size=group)
    # Each writer holds the latest spectra only, and a worker thread lets go
    # of its argument a moment after the caller has its result.  mzML: those
    # queued for its workers, and one a worker.  Parquet: the rows of the
    # group being gathered, of those queued for its encoder and of one more.
    workers = min(os.cpu_count() or 1, 4)
    mzml = (DEPTH_PER_WORKER + 1) * workers + 1
    parquet = -(-(GROUP_QUEUE + 2) * group // size) + 1
    assert most <= max(mzml, parquet)


def test_a_run_with_no_creation_time_and_its_own_stem(tmp_path):
    spectra = random_run(15, special=False)
    run = info(spectra, creation_time=None, stem="sample 7")
    export(spectra, run, **outputs(tmp_path))
    text = open(outputs(tmp_path)["mzml"]).read()
    assert "startTimeStamp" not in text and '<run defaultInstrumentConfigurationRef="IC1" id="sample_7">' in text
    check_mgf(outputs(tmp_path)["mgf"], spectra, stem="sample 7")
    with contextlib.suppress(StopIteration):
        assert next(line for line in open(outputs(tmp_path)["mgf"]) if line.startswith("TITLE=sample 7."))
