"""Prints the constraints of the lowest-versions environment.

Every runtime dependency at the lower bound pyproject.toml states for it, and the test tools as
constraints.txt pins them, so that only the runtime side differs from the development set.
"""
import re
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def lower_bounds(requirements):
    pins = []
    for requirement in requirements:
        name, spec = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(?:\[[^]]*\])?\s*([^;]*)", requirement).groups()
        bound = re.search(r">=\s*([^,\s]+)", spec)
        if bound is None:
            raise SystemExit(f"pyproject.toml: {requirement!r} states no lower bound")
        marker = requirement.partition(";")[2].strip()
        pins.append(f"{name}=={bound.group(1)}" + (f"; {marker}" if marker else ""))
    return pins


def main():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    test_tools = {canonical(re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", r).group(1))
                  for r in project["optional-dependencies"]["test"]}
    lines = lower_bounds(project["dependencies"])
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        name = line.split("==")[0].strip()
        if line.strip() and not line.startswith("#") and canonical(name) in test_tools:
            lines.append(line.strip())
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
