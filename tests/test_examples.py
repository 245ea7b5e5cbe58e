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
from conftest import read_csv_exact, velmaro

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


def test_scan_table_command(files, tmp_path, capsys):
    pd = pytest.importorskip("pandas")
    scan_table = example("scan_table", "pandas")
    out = str(tmp_path / "scans.csv")
    assert scan_table.main([files["orbitrap"], "--csv", out, "--rows", "3"]) == 0
    printed = capsys.readouterr().out
    assert "145 scans over 0.50 to 3.52 min (29 MS1, 116 MS2), 116 with a master scan (charges 2+: " in printed
    assert "145 with peaks" in printed
    written = pd.read_csv(out, index_col="scan_number")
    from velmaro_tools import Run

    pd.testing.assert_frame_equal(written, Run(files["orbitrap"]).scan_table(), check_exact=False)


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
    """A path of each kind that the toolkit refuses, and the line that
    reports it."""
    root = tmp_path_factory.mktemp("unreadable")
    short = rb.RawImage(40).header(version=66).write(str(root / "orbitrap_short.raw"))
    os.mkdir(root / "folder.raw")
    return {
        "missing": (str(root / "missing.raw"), "missing: No such file or directory (os error 2)"),
        "short": (short, "truncated: the file ends at byte 40, before the tables of every layout: the orbitrap "
                         "layout's scan table needs 6476846 bytes, the small layout's retention times start at "
                         "1481842"),
        "device": ("/dev/zero", "not a file: a device, not a regular file"),
        "directory": (str(root / "folder.raw"), "not a file: a directory, not a regular file"),
    }


def run_example(name, *args, cwd=None):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name + ".py"), *args], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


@pytest.mark.parametrize("kind", ["missing", "short", "device", "directory"])
@pytest.mark.parametrize("name,needs,extra", [
    ("scan_table", ["pandas"], []),
    ("plot_spectrum", ["matplotlib"], ["1"]),
    ("export", ["pyarrow"], []),
])
def test_examples_report_what_they_cannot_read_in_one_line(unreadable, tmp_path, kind, name, needs, extra):
    example(name, "numpy", *needs)
    path, message = unreadable[kind]
    result = run_example(name, path, *extra, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"error: {path}: {message}\n"
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


def test_export_converts_a_renamed_run_and_goes_on_past_a_bad_one(files, tmp_path):
    example("export", "pyarrow", "pyteomics")
    from pyteomics import mgf, mzml

    import velmaro_tools as vt

    renamed = tmp_path / "HeLa_QE_01.raw"
    renamed.write_bytes(open(files["orbitrap"], "rb").read())
    result = run_example("export", str(tmp_path / "missing.raw"), str(renamed), "-o", str(tmp_path))
    assert result.returncode == 1
    assert result.stderr.startswith(f"error: {tmp_path / 'missing.raw'}: missing: ")
    with vt.Run(str(renamed)) as run:
        spectra = {s.scan: s for s in run}
    with mzml.MzML(str(tmp_path / "HeLa_QE_01.mzML")) as read:
        found = {int(s["id"].rsplit("=", 1)[1]): s for s in read}
    assert sorted(found) == sorted(n for n, s in spectra.items() if s.mz.size)
    for n, s in found.items():
        assert s["m/z array"].tobytes() == spectra[n].mz.tobytes()
        assert s["intensity array"].tobytes() == spectra[n].intensity.tobytes()
    assert len(list(mgf.read(str(tmp_path / "HeLa_QE_01.mgf"), use_index=False))) == sum(
        1 for s in spectra.values() if s.ms_level == 2 and s.mz.size)
    assert os.path.getsize(tmp_path / "HeLa_QE_01.parquet") > 0


@pytest.mark.parametrize("path", ["orbitrap/sample.raw", "runs/sample.raw", "orbitrap/small.RAW"])
def test_demo_reads_the_sample_right_at_any_path(tmp_path, path):
    example("demo", "numpy")
    result = run_example("demo", path, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[1] == "layout          orbitrap (chosen by evidence)"
    assert lines[7].split()[:3] == ["1", "1", "0.5000"]  # scan 1: MS1 at 0.5 min


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


# ---- the batch ---------------------------------------------------------------


@pytest.fixture(scope="module")
def batch(files, tmp_path_factory):
    """A directory of runs: copies of the samples under names that hold no
    layout, a file too short for the orbitrap layout and a non-raw file that
    is not picked up."""
    root = tmp_path_factory.mktemp("batch")
    for k in range(3):
        with open(files["orbitrap"], "rb") as source, open(root / f"run_{k}.raw", "wb") as copy:
            copy.write(source.read())
    os.makedirs(root / "more")
    os.symlink(files["small"], root / "more" / "small.RAW")
    rb.RawImage(40).header(version=66).write(str(root / "more" / "orbitrap_short.raw"))
    (root / "notes.txt").write_text("not a run")
    return root


def check_summary(summary, paths, files):
    rows = summary.set_index("file")
    assert list(summary["file"]) == paths
    assert rows.loc[paths[0], "error"] == "missing: No such file or directory (os error 2)"
    assert rows.loc[paths[1], "error"].startswith("truncated: the file ends at byte 40")
    for path, source, layout in zip(paths[2:], [files["small"]] + [files["orbitrap"]] * 3,
                                    ["small", "orbitrap", "orbitrap", "orbitrap"]):
        reader = velmaro.RawFileReader(source)
        row = rows.loc[path]
        assert (row["error"], row["layout"]) == ("", layout)
        assert (row["version"], row["scans"], row["rt_first"], row["rt_last"]) == (
            reader.version, reader.num_scans, reader.get_rt(1), reader.get_rt(reader.num_scans))
        assert row["peaks"] == sum(expected_peaks(reader, n)[0] for n in range(1, reader.num_scans + 1))


def test_batch_command_in_processes(batch, files, tmp_path):
    pd = pytest.importorskip("pandas")
    batch_summary = example("batch_summary", "pandas")
    missing = str(batch / "missing.raw")
    paths = batch_summary.find_files([str(batch), missing])
    assert [os.path.relpath(p, batch) for p in paths] == [
        "missing.raw", "more/orbitrap_short.raw", "more/small.RAW", "run_0.raw", "run_1.raw", "run_2.raw"]
    out = str(tmp_path / "summary.csv")
    result = run_example("batch_summary", "--workers", "2", "--csv", out, str(batch), missing)
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines()[-1] == "2 of 6 files could not be read"
    assert "Traceback" not in result.stderr
    check_summary(read_csv_exact(out).fillna({"error": ""}), paths, files)


def test_batch_command_on_a_cluster_started_from_the_command_line(dask_cluster, batch, files, tmp_path):
    # Run as a script, its task function travels to the workers by value.
    pd = pytest.importorskip("pandas")
    example("batch_summary", "distributed", "pandas")
    out = str(tmp_path / "summary.csv")
    result = run_example("batch_summary", "--scheduler", dask_cluster.address, "--csv", out, str(batch))
    assert result.returncode == 1, result.stderr
    assert result.stderr.endswith(f"error: {batch / 'more' / 'orbitrap_short.raw'}: truncated: the file ends at "
                                  "byte 40, before the tables of every layout: the orbitrap layout's scan table "
                                  "needs 6476846 bytes, the small layout's retention times start at 1481842\n"
                                  "1 of 5 files could not be read\n")
    written = pd.read_csv(out, keep_default_na=False)
    assert list(written["error"] != "") == [True, False, False, False, False]
    assert list(written["scans"][1:].astype(int)) == [48, 145, 145, 145]
