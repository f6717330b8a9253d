"""pairmend.read_fcs, present when the module was built with the FCS library."""

import numpy as np
import pytest

import pairmend
from conftest import SHARED_DATA, read_table

pytestmark = pytest.mark.skipif(not hasattr(pairmend, "read_fcs"), reason="built without the FCS library")


def shared_fcs(name):
    path = SHARED_DATA / "fcs" / name
    if not path.is_file():
        pytest.skip(f"{path} is not available")
    return path


def test_values_names_labels_and_keywords_of_a_mass_cytometry_file():
    # The table cytof_ptlg021.csv holds arcsinh(value / 5) of the named markers of this file (its
    # first 1000 rows, 7 significant digits), its header the markers' $PnS.
    fcs = pairmend.read_fcs(shared_fcs("mass_cytometry/Gates_PTLG021_Unstim_Control_1.fcs"))
    assert fcs.values.dtype == np.float64 and fcs.values.shape == (1000, 55)
    assert int(fcs.keywords["$TOT"]) == 1000 and int(fcs.keywords["$PAR"]) == 55
    assert fcs.names == [fcs.keywords[f"$P{i}N"] for i in range(1, 56)]
    assert fcs.labels == [fcs.keywords.get(f"$P{i}S", "") for i in range(1, 56)]
    assert fcs.names[0] == "Time" and fcs.labels[0] == ""

    table = SHARED_DATA / "cytof_ptlg021.csv"
    if table.is_file():
        markers = table.read_text().splitlines()[0].split(",")[:-2]
        values, labels = read_table(table)
        columns = [fcs.labels.index(marker) for marker in markers]
        converted = np.arcsinh(fcs.values[:, columns] / 5)
        np.testing.assert_allclose(converted, values[labels == 1], rtol=1e-6, atol=1e-6)


def test_log_amplified_channels_are_linear():
    fcs = pairmend.read_fcs(shared_fcs("instruments/Sample_Well_A02.fcs"))
    assert fcs.values.shape == (37395, 8)
    logged = [i for i in range(8) if float(fcs.keywords.get(f"$P{i + 1}E", "0,0").split(",")[0]) > 0]
    assert logged, "the file has log-amplified channels"
    for i in logged:
        # 10^(4 * x / 1024) with 0 <= x < 1024 (a written f2 of 0 counts as 1).
        assert 1.0 <= fcs.values[:, i].min() and fcs.values[:, i].max() < 10**4


def test_missing_and_broken_files(tmp_path):
    with pytest.raises(FileNotFoundError, match="No FCS file at"):
        pairmend.read_fcs(tmp_path / "absent.fcs")
    broken = tmp_path / "broken.fcs"
    broken.write_bytes(b"not an FCS file at all")
    with pytest.raises(ValueError, match="broken.fcs"):
        pairmend.read_fcs(broken)
