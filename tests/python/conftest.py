"""Shared fixtures of the Python module's tests: the built programs and the real tables.

PAIRMEND_BUILD_DIR names the CMake build folder that holds the programs pairmend and
pairmend-simulate (scripts/test sets it). The module under test is whatever `import pairmend`
finds: the package installed in the running environment or the build folder's python/ on
PYTHONPATH. A missing module, NumPy or AnnData fails the run instead of skipping it.
"""

import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

import pairmend

SHARED_DATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data"


def pytest_report_header(config):
    return f"pairmend module: {pairmend.__file__}"


def read_table(path):
    """An input table as (values, labels): float() gives the doubles the program reads from the
    same text (both round correctly), int() the labels."""
    rows = pathlib.Path(path).read_text().splitlines()[1:]
    cells = [row.split(",") for row in rows]
    values = np.array([[float(cell) for cell in row[:-2]] for row in cells])
    labels = np.array([int(row[-2]) for row in cells], dtype=np.int64)
    return values, labels


def as_program_text(values):
    """Corrected values as the program writes its output table: six significant digits (%g)."""
    return [",".join("%g" % value for value in row) for row in values]


class Program:
    """Runs the built pairmend program on one table and returns its output lines."""

    def __init__(self, build_dir, folder):
        self.binary = build_dir / "src" / "cpp" / "pairmend"
        self.folder = folder
        self.runs = 0

    def write_table(self, values, labels):
        """Writes values and labels as an input table; repr() reads back as the same doubles."""
        self.runs += 1
        path = self.folder / f"input{self.runs}.csv"
        lines = [",".join([f"p{j + 1}" for j in range(values.shape[1])] + ["batch", "event"])]
        for i, (row, label) in enumerate(zip(values, labels)):
            lines.append(",".join([repr(float(value)) for value in row] + [str(int(label)), str(i + 1)]))
        path.write_text("\n".join(lines) + "\n")
        return path

    def correct(self, table, **settings):
        """Runs a job on the table at `table` with `settings` (job-file keys) and returns the
        output table's lines without the header; fails the test unless the run succeeds."""
        self.runs += 1
        output = self.folder / f"output{self.runs}.csv"
        summary = self.folder / f"summary{self.runs}.txt"
        job = self.folder / f"job{self.runs}.json"
        job.write_text(
            json.dumps(
                {
                    "input_files": [{"name": str(table)}],
                    "output_files": [{"name": str(output)}],
                    "summary_file": str(summary),
                    "settings": {"run_ID": "PY", **settings},
                }
            )
        )
        run = subprocess.run([str(self.binary), str(job)], capture_output=True, text=True, timeout=600)
        status = summary.read_text() if summary.exists() else "(no summary)"
        assert run.returncode == 0 and status == "status = success\n", run.stdout + status
        return output.read_text().splitlines()[1:]


@pytest.fixture(scope="session")
def build_dir():
    folder = os.environ.get("PAIRMEND_BUILD_DIR")
    if not folder:
        pytest.fail("Set PAIRMEND_BUILD_DIR to the CMake build folder that holds pairmend and pairmend-simulate")
    path = pathlib.Path(folder).resolve()
    for program in (path / "src" / "cpp" / "pairmend", path / "src" / "tools" / "pairmend-simulate"):
        if not program.is_file():
            pytest.fail(f"{program} is missing; build the programs in {path} first")
    return path


@pytest.fixture
def program(build_dir, tmp_path):
    return Program(build_dir, tmp_path)


@pytest.fixture(scope="session")
def simulated(build_dir, tmp_path_factory):
    """A simulated input table of 3 batches x 1500 events x 6 parameters (seed 7): its path,
    values and labels."""
    path = tmp_path_factory.mktemp("simulated") / "input.csv"
    subprocess.run(
        [str(build_dir / "src" / "tools" / "pairmend-simulate"), "--out", str(path), "--events", "1500",
         "--dims", "6", "--batches", "3", "--populations", "4", "--seed", "7"],
        check=True, capture_output=True, timeout=120,
    )
    values, labels = read_table(path)
    return path, values, labels


def shared_table(name):
    """The path of a real table of the shared data folder; skips the test when it is absent."""
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip(f"{path} is not available")
    return path
