"""What the benchmarks' figures were taken on, and the end of their reports."""

from __future__ import annotations

import importlib.metadata
import json
import os
import platform
from typing import Any


def machine(packages: tuple[str, ...] = ("velmaro",)) -> dict[str, Any]:
    """The machine, its load now and the versions of `packages` (None where not installed)."""
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    versions: dict[str, str | None] = {}
    for package in packages:
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            versions[package] = None
    return {"node": platform.node(), "cores": os.cpu_count(), "cpu": model, "platform": platform.platform(),
            "python": platform.python_version(), "load_average": list(os.getloadavg()), "versions": versions}


def finish(report: dict[str, Any], how: str, json_path: str | None) -> str:
    """Notes the load at the end in `report`'s machine, writes the report as
    JSON to `json_path` if given, and returns the line that says the machine."""
    m = report["machine"]
    m["load_average_end"] = list(os.getloadavg())
    if json_path:
        with open(json_path, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return (f"Machine: {m['cores']} cores ({m['cpu']}), {m['platform']}, Python {m['python']}; load average "
            f"{' '.join(f'{x:.2f}' for x in m['load_average'])} at the start, "
            f"{' '.join(f'{x:.2f}' for x in m['load_average_end'])} at the end; {how}.")
