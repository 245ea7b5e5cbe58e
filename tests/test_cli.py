"""The velmaro command: what it prints and writes, its exit status, and its
errors; run as the installed console script and as python -m velmaro_tools."""

import csv
import os
import signal
import subprocess
import sys
import time

import pytest

import rawbuilder as rb
import samples
from conftest import read_csv_exact, velmaro

pytest.importorskip("numpy")
vt = pytest.importorskip("velmaro_tools")
from velmaro_tools import cli  # noqa: E402

TIMEOUT = 300


def velmaro_command():
    """The installed console script, beside this interpreter."""
    script = os.path.join(os.path.dirname(sys.executable), "velmaro")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "velmaro_tools"]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("runs")
    paths = {"good": samples.sample_image().write(str(root / "orbitrap" / "good.raw")),
             "renamed": samples.sample_image().write(str(root / "more" / "HeLa_QE_01.RAW")),
             "short": rb.RawImage(40).header(version=66).write(str(root / "more" / "short.raw"))}
    (root / "notes.txt").write_text("not a run")
    return root, paths


def test_info_gives_a_block_per_run_and_a_line_per_failure(runs, capsys):
    root, paths = runs
    assert cli.main(["info", paths["good"], paths["short"], paths["renamed"]]) == 1
    out, err = capsys.readouterr()
    blocks = out.split("\n\n")
    assert [b.splitlines()[0] for b in blocks] == [paths["good"], paths["renamed"]]
    for block in blocks:
        lines = block.splitlines()
        assert lines[1:] == ["  version      66", lines[2], "  scans        145 (29 MS1, 116 MS2)",
                             "  created      2022-06-18 04:26:40 UTC", "  retention    0.500 to 3.524 min"]
        assert lines[2].startswith("  layout       orbitrap (chosen by evidence, score 435: retention times")
    assert err.startswith(f"error: {paths['short']}: truncated: the file ends at byte 40") and err.count("\n") == 1


def test_scans_as_csv_hold_the_scan_table(runs, tmp_path):
    pd = pytest.importorskip("pandas")
    _, paths = runs
    out = str(tmp_path / "scans.csv")
    assert cli.main(["scans", paths["renamed"], "--csv", out, "-q"]) == 0
    written = read_csv_exact(out, index_col="scan_number")
    pd.testing.assert_frame_equal(written, vt.Run(paths["renamed"]).scan_table(), check_exact=True)
    assert os.listdir(tmp_path) == ["scans.csv"]


def test_batch_summarises_every_file_in_processes(runs, tmp_path, capsys):
    root, paths = runs
    out = str(tmp_path / "batch.csv")
    missing = str(root / "missing.raw")
    assert cli.main(["batch", str(root), missing, "--csv", out, "--jobs", "2"]) == 1
    with open(out) as f:
        rows = {row["file"]: row for row in csv.DictReader(f)}
    assert list(rows) == [paths["renamed"], paths["short"], paths["good"], missing]
    reader = velmaro.RawFileReader(paths["good"])
    peaks = sum(reader.get_peaks(n)[0].size for n in range(1, 146))
    for name in ["good", "renamed"]:
        row = rows[paths[name]]
        assert (row["layout"], row["scans"], row["ms2_scans"], row["peaks"], row["error"]) == (
            "orbitrap", "145", "116", str(peaks), "")
        assert float(row["rt_last"]) == reader.get_rt(145)
    assert rows[missing]["error"] == "missing: No such file or directory (os error 2)"
    out_text, err = capsys.readouterr()
    assert out_text == f"4 files, 2 read, 2 failed: wrote {out}\n"
    assert sorted(err.splitlines()) == sorted(f"error: {p}: {rows[p]['error']}" for p in [paths["short"], missing])


@pytest.mark.parametrize("arguments,message", [
    ([], "the following arguments are required: COMMAND"),
    (["info"], "the following arguments are required: RUN"),
    (["export", "x.raw"], "name at least one format: --mzml, --mgf or --parquet"),
    (["export", "a/x.raw", "b/x.raw", "--mgf"], "two inputs have the same name"),
    (["batch", "x"], "the following arguments are required: --csv"),
    (["batch", "x", "--csv", "o", "--jobs", "0"], "--jobs must be at least 1"),
    (["info", "x.raw", "--layout", "Orbitrap"], "argument --layout: invalid choice: 'Orbitrap'"),
])
def test_usage_errors_exit_2(capsys, arguments, message):
    with pytest.raises(SystemExit) as caught:
        cli.main(arguments)
    assert caught.value.code == 2
    assert message in capsys.readouterr().err


def test_the_console_script_and_the_module_agree(runs, tmp_path):
    _, paths = runs
    for command in [velmaro_command(), [sys.executable, "-m", "velmaro_tools"]]:
        result = subprocess.run([*command, "info", paths["renamed"]], capture_output=True, text=True,
                                timeout=TIMEOUT, cwd=tmp_path)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.splitlines()[0] == paths["renamed"]
    help_text = subprocess.run([*velmaro_command(), "--help"], capture_output=True, text=True, timeout=TIMEOUT)
    assert help_text.returncode == 0 and all(c in help_text.stdout for c in ["info", "scans", "export", "batch"])


# ---- export ------------------------------------------------------------------


def test_export_writes_each_format_and_goes_on_past_a_bad_file(runs, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    from pyteomics import mgf, mzml

    _, paths = runs
    out = tmp_path / "out"
    assert cli.main(["export", paths["renamed"], paths["short"], paths["good"], "--mzml", "--mgf", "--parquet",
                     "-o", str(out), "-q"]) == 1
    assert sorted(os.listdir(out)) == ["HeLa_QE_01.mgf", "HeLa_QE_01.mzML", "HeLa_QE_01.parquet", "good.mgf",
                                       "good.mzML", "good.parquet"]
    reader = velmaro.RawFileReader(paths["good"])
    for name in ["HeLa_QE_01", "good"]:
        spectra = list(mzml.read(str(out / f"{name}.mzML")))
        assert len(spectra) == 145
        for s in spectra:
            n = int(s["id"].rsplit("=", 1)[1])
            mz, intensity = reader.get_peaks(n)
            assert s["m/z array"].tobytes() == mz.tobytes() and s["intensity array"].tobytes() == intensity.tobytes()
        assert len(list(mgf.read(str(out / f"{name}.mgf"), use_index=False))) == 116
    out_text, err = capsys.readouterr()
    assert err.startswith(f"error: {paths['short']}: truncated: ") and err.count("\n") == 1
    assert f"{paths['good']}: 145 scans, 145 exported (29 MS1, 116 MS2), 0 without peaks left out" in out_text


def test_ctrl_c_stops_an_export_cleanly(tmp_path):
    pytest.importorskip("pyarrow")
    path = samples.large_sample(40000).write(str(tmp_path / "big.raw"))
    out = tmp_path / "out"
    out.mkdir()
    # Ctrl-C as at a terminal, even where the tests were started in the
    # background by a shell, whose children inherit SIGINT ignored.
    default_sigint = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                      "os.execv(sys.argv[1], sys.argv[1:])")
    process = subprocess.Popen([sys.executable, "-c", default_sigint, *velmaro_command(), "export", path, "--mzml",
                                "--mgf", "--parquet", "-o", str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Interrupted once the outputs are being written.
    deadline = time.monotonic() + TIMEOUT
    while not os.listdir(out) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=TIMEOUT)
    assert (process.returncode, stdout) == (130, ""), stderr
    assert "Traceback" not in stderr
    assert os.listdir(out) == []  # no output, finished or partial
