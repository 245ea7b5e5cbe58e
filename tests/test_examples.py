"""The examples in examples/, run on generated files.  Each test skips when
the package its example is built on is not installed."""

import importlib
import os
import struct
import subprocess
import sys

import pytest

import rawbuilder as rb
import samples
from conftest import velmaro

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
sys.path.insert(0, EXAMPLES)


def example(name, *needs):
    for package in needs:
        pytest.importorskip(package)
    return importlib.import_module(name)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The demo's orbitrap sample, a small-layout version-57 file with peaks
    in some scans, and a file in no layout the reader knows."""
    pytest.importorskip("numpy")
    root = tmp_path_factory.mktemp("runs")
    small = rb.RawImage().header(version=57)
    for i in range(48):
        small.rt(i, 0.25 * i, small=True).injection(i, 10.0 + i)
    for k, offset in enumerate(rb.SMALL_SCAN_OFFSETS[:4]):
        small.put(offset, rb.peak_block(*rb.ramp(120 + k), 8))
    return {
        "orbitrap": samples.sample_image().write(str(root / "orbitrap" / "sample.raw")),
        "small": small.write(str(root / "small.RAW")),
        "plain": rb.RawImage(4000).header(version=66).write(str(root / "plain.raw")),
    }


def expected_peaks(reader, scan):
    """(count, tic, base m/z, base intensity) from the list form of the peaks."""
    found = reader.native_get_peaks(scan)
    if found is None:
        return 0, 0.0, 0.0, 0.0
    mz, intensity = found
    top = max(range(len(mz)), key=intensity.__getitem__)
    return len(mz), sum(intensity), mz[top], intensity[top]


# ---- the scan table ----------------------------------------------------------


@pytest.mark.parametrize("name", ["orbitrap", "small", "plain"])
def test_scan_table_holds_every_scan(files, name):
    scan_table = example("scan_table", "pandas")
    reader = velmaro.RawFileReader(files[name])
    frame = scan_table.scan_table(files[name])
    assert list(frame.index) == list(range(1, reader.num_scans + 1))
    assert list(frame.columns) == ["rt", "injection_time", "master_scan", "charge", "monomz", "peaks", "tic",
                                   "base_peak_mz", "base_peak_intensity"]
    assert {str(t) for t in frame.dtypes} == {"float64", "int64"}
    for scan in reader.list_spectra():
        row = frame.loc[scan["scan_number"]]
        assert [row[k] for k in ["rt", "injection_time", "master_scan", "charge", "monomz"]] == [
            scan[k] for k in ["rt", "injection_time", "master_scan", "charge", "monomz"]]
        count, tic, base_mz, base_intensity = expected_peaks(reader, scan["scan_number"])
        assert (row["peaks"], row["base_peak_mz"], row["base_peak_intensity"]) == (count, base_mz, base_intensity)
        assert row["tic"] == pytest.approx(tic, rel=1e-9)


def test_scan_table_command(files, tmp_path, capsys):
    pd = pytest.importorskip("pandas")
    scan_table = example("scan_table", "pandas")
    out = str(tmp_path / "scans.csv")
    assert scan_table.main([files["orbitrap"], "--csv", out, "--rows", "3"]) == 0
    printed = capsys.readouterr().out
    assert "145 scans over 0.50 to 3.52 min, 116 with a master scan (charges 2+: " in printed
    assert "145 with peaks" in printed
    written = pd.read_csv(out, index_col="scan_number")
    pd.testing.assert_frame_equal(written, scan_table.scan_table(files["orbitrap"]), check_exact=False)


# ---- the spectrum plot -------------------------------------------------------


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def stem_pixels(path):
    """The share of pixels in the blue of the peak stems."""
    from matplotlib.image import imread

    pixels = imread(path)
    return float((pixels[..., 2] - pixels[..., 0] > 0.3).mean())


def test_plot_spectrum(files, tmp_path, capsys):
    plot = example("plot_spectrum", "matplotlib")
    with_peaks, without, small = (str(tmp_path / name) for name in ["two.png", "none.png", "small.png"])
    assert plot.main([files["orbitrap"], "2", "-o", with_peaks]) == 0
    assert plot.main([files["small"], "40", "-o", without]) == 0
    assert plot.main([files["orbitrap"], "2", "-o", small, "--dpi", "50"]) == 0
    captured = capsys.readouterr()
    assert captured.out == f"wrote {with_peaks}\nwrote {without}\nwrote {small}\n"
    assert captured.err == "note: scan 40 has no peaks\n"
    assert png_size(with_peaks) == png_size(without) == (1000, 400) and png_size(small) == (500, 200)
    assert stem_pixels(with_peaks) > 0.002 and stem_pixels(without) == 0


@pytest.mark.parametrize("scan", ["0", "146", "-1"])
def test_plot_spectrum_refuses_scans_outside_the_file(files, tmp_path, capsys, scan):
    plot = example("plot_spectrum", "matplotlib")
    with pytest.raises(SystemExit) as caught:
        plot.main([files["orbitrap"], scan, "-o", str(tmp_path / "x.png")])
    assert caught.value.code == 2
    assert f"scan {scan} is outside this file's scans 1 to 145" in capsys.readouterr().err
    assert not (tmp_path / "x.png").exists()


# ---- inputs that cannot be read -----------------------------------------------


@pytest.fixture(scope="module")
def unreadable(tmp_path_factory):
    """A path of each kind that the reader refuses, and the line that
    reports it."""
    root = tmp_path_factory.mktemp("unreadable")
    short = rb.RawImage(40).header(version=66).write(str(root / "orbitrap_short.raw"))
    os.mkdir(root / "folder.raw")
    return {
        "missing": (str(root / "missing.raw"), "FileNotFoundError: No such file or directory (os error 2)"),
        "short": (short, "PanicException: range start index 6464170 out of range for slice of length 40"),
        "device": ("/dev/zero", "PanicException: called `Option::unwrap()` on a `None` value"),
        "directory": (str(root / "folder.raw"), "OSError: Is a directory (os error 21)"),
    }


def run_example(name, *args, cwd=None):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name + ".py"), *args], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


@pytest.mark.parametrize("kind", ["missing", "short", "device", "directory"])
@pytest.mark.parametrize("name,needs,extra", [
    ("scan_table", ["pandas"], []),
    ("plot_spectrum", ["matplotlib"], ["1"]),
])
def test_examples_report_what_they_cannot_read_in_one_line(unreadable, tmp_path, kind, name, needs, extra):
    example(name, "numpy", *needs)
    path, message = unreadable[kind]
    result = run_example(name, path, *extra, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"error: cannot read {path}: {message}\n"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name,needs,args", [
    ("scan_table", ["pandas"], ["--csv", "out"]),
    ("plot_spectrum", ["matplotlib"], ["1", "-o", "out"]),
])
def test_examples_report_an_output_they_cannot_write(files, tmp_path, name, needs, args):
    example(name, *needs)
    os.mkdir(tmp_path / "out")
    result = run_example(name, files["orbitrap"], *args, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "error: cannot write out: [Errno 21] Is a directory: 'out'\n"


@pytest.mark.parametrize("path,warning", [
    ("orbitrap/sample.raw", None),
    ("runs/sample.raw", 'runs/sample.raw holds neither "orbitrap" nor "small.RAW", so the reader takes no layout'),
    ("orbitrap/small.RAW", 'orbitrap/small.RAW holds "small.RAW", so the reader takes the retention times'),
])
def test_demo_warns_when_its_path_takes_another_layout(tmp_path, path, warning):
    example("demo", "numpy")
    result = run_example("demo", path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rt = result.stdout.splitlines()[6].split()[1]  # scan 1's retention time
    if warning is None:
        assert (result.stderr, rt) == ("", "0.5000")
    else:
        assert result.stderr.startswith("warning: " + warning) and result.stderr.count("\n") == 1
        assert rt != "0.5000"


@pytest.mark.parametrize("kind", ["existing", "directory", "device", "unwritable"])
def test_demo_reports_a_path_it_cannot_write_in_one_line(tmp_path, kind):
    example("demo", "numpy")
    (tmp_path / "orbitrap_old.raw").write_bytes(b"a run")
    os.mkdir(tmp_path / "orbitrap")
    path, message = {
        "existing": ("orbitrap_old.raw", "orbitrap_old.raw exists; the demo writes a new file"),
        "directory": ("orbitrap", "orbitrap exists; the demo writes a new file"),
        "device": ("/dev/zero", "/dev/zero exists; the demo writes a new file"),
        "unwritable": ("orbitrap_old.raw/orbitrap.raw", "cannot write orbitrap_old.raw/orbitrap.raw: "),
    }[kind]
    result = run_example("demo", path, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("error: " + message) and result.stderr.count("\n") == 1
    assert (tmp_path / "orbitrap_old.raw").read_bytes() == b"a run"


# ---- the distributed batch ---------------------------------------------------


@pytest.fixture(scope="module")
def cluster():
    """A scheduler and one two-thread worker in this process: the example's
    functions, imported here, need not be importable elsewhere."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("pandas")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None) as local:
        yield local


@pytest.fixture(scope="module")
def batch(files, tmp_path_factory):
    """A directory of runs: copies of the samples, a file too short for its
    layout (an internal failure) and a non-raw file that is not picked up."""
    root = tmp_path_factory.mktemp("batch")
    for k in range(3):
        with open(files["orbitrap"], "rb") as source, open(root / f"orbitrap_{k}.raw", "wb") as copy:
            copy.write(source.read())
    os.makedirs(root / "more")
    os.symlink(files["small"], root / "more" / "small.RAW")
    rb.RawImage(40).header(version=66).write(str(root / "more" / "orbitrap_short.raw"))
    (root / "notes.txt").write_text("not a run")
    return root


def test_batch_rows_match_the_reader(cluster, batch, files):
    batch_summary = example("batch_summary", "distributed", "pandas")
    missing = str(batch / "missing.raw")
    paths = batch_summary.find_files([str(batch), missing])
    assert [os.path.relpath(p, batch) for p in paths] == [
        "missing.raw", "more/orbitrap_short.raw", "more/small.RAW", "orbitrap_0.raw", "orbitrap_1.raw",
        "orbitrap_2.raw"]
    import distributed

    with distributed.Client(cluster) as client:
        summary = batch_summary.run_batch(client, paths, timeout=60)
    assert list(summary["file"]) == paths
    rows = summary.set_index("file")
    assert rows.loc[missing, "error"] == "FileNotFoundError: No such file or directory (os error 2)"
    assert rows.loc[str(batch / "more" / "orbitrap_short.raw"), "error"] == (
        "PanicException: range start index 6464170 out of range for slice of length 40")
    for path in paths[2:]:
        reader = velmaro.RawFileReader(path)
        spectra = reader.list_spectra()
        row = rows.loc[path]
        assert row["error"] == ""
        assert (row["version"], row["scans"], row["rt_first"], row["rt_last"]) == (
            reader.version, reader.num_scans, reader.get_rt(1), reader.get_rt(reader.num_scans))
        assert row["ms2_scans"] == sum(s["master_scan"] > 0 for s in spectra)
        assert row["peaks"] == sum(expected_peaks(reader, s["scan_number"])[0] for s in spectra)


def test_batch_gives_up_at_its_deadline(cluster, batch):
    batch_summary = example("batch_summary", "distributed", "pandas")
    import distributed

    with distributed.Client(cluster) as client:
        with pytest.raises(TimeoutError, match=r"^the batch did not finish within 0 s: 0 of 1 files done$"):
            batch_summary.run_batch(client, [str(batch / "orbitrap_0.raw")], timeout=0)


def test_batch_command_on_a_cluster_started_from_the_command_line(dask_cluster, batch, tmp_path):
    # Run as a script, its task function travels to the workers by value.
    example("batch_summary", "distributed", "pandas")
    out = str(tmp_path / "summary.csv")
    address = dask_cluster.address
    result = run_example("batch_summary", "--scheduler", address, "--timeout", "60", "--csv", out, str(batch))
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith(f"5 files on {address}\n[..............................] 0/5 files")
    assert "] 5/5 files" in result.stderr
    assert result.stderr.endswith(
        f"error: cannot read {batch / 'more' / 'orbitrap_short.raw'}: PanicException: range start index 6464170 "
        "out of range for slice of length 40\n1 of 5 files could not be read\n")
    assert "Traceback" not in result.stderr
    assert result.stdout.endswith(f"wrote {out}\n")
    import pandas as pd

    written = pd.read_csv(out, keep_default_na=False)
    assert list(written["error"] != "") == [True, False, False, False, False]
    assert list(written["scans"][1:].astype(int)) == [48, 145, 145, 145]
