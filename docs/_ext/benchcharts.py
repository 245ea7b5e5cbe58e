"""The performance page's charts and tables, drawn at every build from the
JSON the benchmarks write, so that a benchmark run committed under
docs/_data/ redraws the page.

docs/_data/bench.json, from bench/bench.py: each call against its floor
across file sizes.  The schema this module reads:

    {
      "benchmark": "bench/bench.py",
      "machine": {"node": str, "cores": int, "cpu": str | null, "platform": str,
                  "python": str, "load_average": [float, float, float] | null,
                  "source": str (optional: where the figures come from, if not
                  from a run of the script that wrote the file)},
      "method": str (how each figure was taken),
      "rows": [{"call": str, "file": str (its size as shown, "8 MiB"),
                "file_bytes": int, "module_us": float, "floor_us": float,
                "whole_file_us": float, "look_floor_us": float (optional:
                for the searches, the floor with a look at every byte
                read)}, ...],
      "memory_growth_kib": {call: float, ...} (one call on the largest file),
      "micro": [{"call": str, "ns": float, "yardstick": str,
                 "yardstick_ns": float}, ...]
    }

docs/_data/read_bench.json, from bench/read_bench.py, and
docs/_data/export_bench.json, from bench/export_bench.py, as those scripts
write them with --json (their docstrings give the fields).

The figures go to docs/_generated/ (PNG charts, and Markdown tables that
the page includes); nothing there is committed.
"""

from __future__ import annotations

import json
import os
from typing import Any

import matplotlib

matplotlib.use("Agg")

from matplotlib.figure import Figure  # noqa: E402

PEAK_BYTES = 12  # an m/z (float64) and an intensity (float32)


def load(path: str) -> dict[str, Any]:
    with open(path, encoding="utf-8") as f:
        return json.load(f)  # type: ignore[no-any-return]


def machine_line(report: dict[str, Any]) -> str:
    m = report["machine"]
    cpu = f" ({m['cpu']})" if m.get("cpu") else ""
    load_average = m.get("load_average")
    text = (f"Machine: {m.get('node') or 'unnamed'}, {m['cores']} cores{cpu}, {m['platform']}, "
            f"Python {m['python']}")
    if load_average:
        text += f"; load average {' '.join(f'{x:.2f}' for x in load_average)} at the start"
        if m.get("load_average_end"):
            text += f", {' '.join(f'{x:.2f}' for x in m['load_average_end'])} at the end"
    if m.get("source"):
        text += f". Figures {m['source']}"
    return text + "."


def _save(figure: Figure, path: str) -> None:
    figure.tight_layout()
    figure.savefig(path, dpi=110)


# ---- bench.py: each call against its floor -------------------------------------------


def calls(report: dict[str, Any]) -> list[str]:
    return list(dict.fromkeys(r["call"] for r in report["rows"]))


def floor_chart(report: dict[str, Any], path: str) -> None:
    names = calls(report)
    columns = 4
    rows_of_panels = -(-len(names) // columns)
    figure = Figure(figsize=(12, 3.1 * rows_of_panels))
    sizes = sorted({(r["file_bytes"], r["file"]) for r in report["rows"]})
    for k, name in enumerate(names):
        axes = figure.add_subplot(rows_of_panels, columns, k + 1)
        rows = sorted((r for r in report["rows"] if r["call"] == name), key=lambda r: r["file_bytes"])
        x = [r["file_bytes"] for r in rows]
        axes.plot(x, [r["module_us"] for r in rows], "o-", color="tab:blue", label="velmaro")
        axes.plot(x, [r["floor_us"] for r in rows], "s--", color="tab:orange", label="floor")
        axes.plot(x, [r["whole_file_us"] for r in rows], ":", color="tab:gray", label="whole-file model")
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xticks([b for b, _ in sizes], [label for _, label in sizes])
        axes.minorticks_off()
        axes.set_title(name, fontsize=10, family="monospace")
        if k % columns == 0:
            axes.set_ylabel("µs per call")
        axes.grid(True, which="major", alpha=0.3)
    # The legend takes the panel left over, or goes under the last one.
    if len(names) % columns:
        spare = figure.add_subplot(rows_of_panels, columns, len(names) + 1)
        spare.axis("off")
        spare.legend(*figure.axes[0].get_legend_handles_labels(), loc="center", frameon=False)
    else:
        figure.axes[-1].legend(fontsize=8)
    _save(figure, path)


def floor_table(report: dict[str, Any]) -> str:
    lines = ["| call | file | module | floor | module / floor | whole-file model | model / module |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for r in report["rows"]:
        lines.append(f"| `{r['call']}` | {r['file']} | {r['module_us']:,.1f} µs | {r['floor_us']:,.1f} µs | "
                     f"{r['module_us'] / r['floor_us']:.2f} | {r['whole_file_us']:,.0f} µs | "
                     f"{r['whole_file_us'] / r['module_us']:,.0f} |")
    looks = [r for r in report["rows"] if r.get("look_floor_us")]
    if looks:
        lines += ["", "| call | file | module | floor with a look at every byte | module / that | that / floor |",
                  "|---|---|---:|---:|---:|---:|"]
        for r in looks:
            lines.append(f"| `{r['call']}` | {r['file']} | {r['module_us']:,.1f} µs | {r['look_floor_us']:,.1f} µs | "
                         f"{r['module_us'] / r['look_floor_us']:.2f} | {r['look_floor_us'] / r['floor_us']:.2f} |")
    sizes = sorted({(r["file_bytes"], r["file"]) for r in report["rows"]})
    if len(sizes) > 1 and report.get("memory_growth_kib"):
        (_, small), (_, large) = sizes[0], sizes[-1]
        at = {(r["call"], r["file"]): r["module_us"] for r in report["rows"]}
        lines += ["", f"| call | {large} / {small} per call | memory growth of one call on the largest file |",
                  "|---|---:|---:|"]
        for name in calls(report):
            lines.append(f"| `{name}` | {at[(name, large)] / at[(name, small)]:.2f} | "
                         f"{report['memory_growth_kib'][name]:,.0f} KiB |")
    if report.get("micro"):
        lines += ["", "| call | time | yardstick | time | ratio |", "|---|---:|---|---:|---:|"]
        for m in report["micro"]:
            lines.append(f"| `{m['call']}` | {m['ns']:,.0f} ns | {m['yardstick']} | {m['yardstick_ns']:,.0f} ns | "
                         f"{m['ns'] / m['yardstick_ns']:.2f} |")
    return "\n".join(lines)


# ---- read_bench.py: the same spectra, read by each library ---------------------------


def _bars(axes: Any, labels: list[str], groups: list[tuple[str, list[float]]], unit: str) -> None:
    """Horizontal bars, one group per file, the first label on top."""
    height = 0.8 / len(groups)
    for g, (name, values) in enumerate(groups):
        ys = [k + g * height for k in range(len(labels))]
        bars = axes.barh(ys, values, height=height, label=name)
        axes.bar_label(bars, [f"{v:,.0f}" if v >= 100 else f"{v:.3g}" for v in values], padding=3, fontsize=8)
    axes.set_yticks([k + height * (len(groups) - 1) / 2 for k in range(len(labels))], labels)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlabel(unit)
    axes.grid(True, axis="x", alpha=0.3)
    axes.margins(x=0.15)
    axes.legend(fontsize=8, loc="lower right")


def read_chart(report: dict[str, Any], path: str) -> None:
    files = report["files"]
    labels = [r["label"] for r in files[0]["rows"]]
    groups = []
    for f in files:
        by_label = {r["label"]: r for r in f["rows"]}
        groups.append((f"{f['scans']} scans of {f['peaks_per_scan']:,} peaks",
                       [by_label[label]["peaks"] / by_label[label]["seconds"] / 1e6 for label in labels]))
    figure = Figure(figsize=(10, 0.55 * len(labels) * len(files) + 1.2))
    axes = figure.add_subplot()
    _bars(axes, [f"{label} ({files[0]['rows'][k]['format']})" for k, label in enumerate(labels)], groups,
          "million peaks read per second (log scale)")
    _save(figure, path)


def read_table(report: dict[str, Any]) -> str:
    lines = ["| file | reader | from | time | spectra/s | million peaks/s | time / `get_peaks` |",
             "|---|---|---|---:|---:|---:|---:|"]
    for f in report["files"]:
        base = next(r["seconds"] for r in f["rows"] if r["reader"] == "get_peaks")
        name = f"{f['scans']} × {f['peaks_per_scan']:,} peaks"
        for r in f["rows"]:
            lines.append(f"| {name} | {r['label']} | {r['format']} | {r['seconds'] * 1e3:,.1f} ms | "
                         f"{r['spectra'] / r['seconds']:,.0f} | {r['peaks'] / r['seconds'] / 1e6:,.1f} | "
                         f"{r['seconds'] / base:,.1f} |")
    lines += ["", "| file | .raw | mzML | Parquet |", "|---|---:|---:|---:|"]
    for f in report["files"]:
        lines.append(f"| {f['scans']} × {f['peaks_per_scan']:,} peaks | {f['raw_bytes'] / 1e6:,.1f} MB | "
                     f"{f['mzml_bytes'] / 1e6:,.1f} MB | {f['parquet_bytes'] / 1e6:,.1f} MB |")
    return "\n".join(lines)


# ---- export_bench.py: the export beside pyopenms's writer ----------------------------

EXPORT_STEPS = ["get_peaks", "read", "mzml", "openms", "mzml-zlib", "mzml-1thread", "mgf", "parquet", "all"]


def _export_rows(f: dict[str, Any]) -> list[dict[str, Any]]:
    by_step = {r["step"]: r for r in f["rows"]}
    return [by_step[s] for s in EXPORT_STEPS if s in by_step]


def export_chart(report: dict[str, Any], path: str) -> None:
    files = report["files"]
    rows = _export_rows(files[0])
    labels = [r["label"] for r in rows]
    groups = []
    for f in files:
        by_step = {r["step"]: r for r in f["rows"]}
        groups.append((f"{f['scans']} scans of {f['peaks_per_scan']:,} peaks",
                       [by_step[r["step"]]["peaks"] * PEAK_BYTES / 1e6 / by_step[r["step"]]["seconds"]
                        for r in rows]))
    figure = Figure(figsize=(10, 0.5 * len(labels) * len(files) + 1.2))
    axes = figure.add_subplot()
    _bars(axes, labels, groups, "MB of peak data per second (12 bytes a peak; log scale)")
    _save(figure, path)


def export_table(report: dict[str, Any]) -> str:
    lines = ["| file | step | time | MB/s of peak data | output | CPU / wall | peak RSS (baseline) |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for f in report["files"]:
        name = f"{f['scans']} × {f['peaks_per_scan']:,} peaks"
        for r in _export_rows(f):
            output = f"{r['bytes'] / 1e6:,.1f} MB" if r["bytes"] else ""
            lines.append(f"| {name} | {r['label']} | {r['seconds']:,.3f} s | "
                         f"{r['peaks'] * PEAK_BYTES / 1e6 / r['seconds']:,.0f} | {output} | "
                         f"{r['cpu_seconds'] / r['seconds']:.2f} | {r['peak_kib'] / 1024:,.0f} MiB "
                         f"({r['baseline_kib'] / 1024:,.0f}) |")
    return "\n".join(lines)


# ---- the build -----------------------------------------------------------------------

FIGURES = {
    "bench.json": ("floor", floor_chart, floor_table),
    "read_bench.json": ("read", read_chart, read_table),
    "export_bench.json": ("export", export_chart, export_table),
}


def generate(data: str, out: str) -> list[str]:
    """Draws every chart and writes every table (with the machine's line)
    from the JSON files in `data` into `out`; returns the files written."""
    os.makedirs(out, exist_ok=True)
    written = []
    for source, (name, chart, table) in FIGURES.items():
        report = load(os.path.join(data, source))
        image = os.path.join(out, f"{name}.png")
        chart(report, image)
        text = os.path.join(out, f"{name}.md")
        with open(text, "w", encoding="utf-8") as f:
            f.write(machine_line(report) + "\n\n" + table(report) + "\n")
        written += [image, text]
    return written


def _on_builder_inited(app: Any) -> None:
    generate(os.path.join(app.srcdir, "_data"), os.path.join(app.srcdir, "_generated"))


def setup(app: Any) -> dict[str, Any]:
    app.connect("builder-inited", _on_builder_inited)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
