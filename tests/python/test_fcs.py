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


def test_compensation_as_pairmend_fcs_compensates(build_dir, tmp_path):
    import subprocess

    study = tmp_path / "study"
    subprocess.run([str(build_dir / "src" / "tools" / "pairmend-simulate"), "--fcs", str(study), "--events", "200",
                    "--dims", "4", "--batches", "2", "--files-per-batch", "1", "--spillover"],
                   check=True, capture_output=True)
    path = study / "batch1_anchor.fcs"
    measured = pairmend.read_fcs(path, compensation="none")
    compensated = pairmend.read_fcs(path)
    assert measured.compensation == ""
    assert compensated.compensation == "the file's $SPILLOVER (4 channels: FL1-A, FL2-A, FL3-A, FL4-A)"
    fcs_program = build_dir / "src" / "fcs_tool" / "pairmend-fcs"
    if fcs_program.is_file():
        table = tmp_path / "compensated.csv"
        subprocess.run([str(fcs_program), "export", "--compensated", str(path), str(table)], check=True)
        np.testing.assert_array_equal(compensated.values, np.loadtxt(table, delimiter=",", skiprows=1))
    # x * S = measured, with the matrix the file records.
    items = compensated.keywords["$SPILLOVER"].split(",")
    spill = np.array(items[5:], dtype=float).reshape(4, 4)
    np.testing.assert_allclose(compensated.values[:, 1:] @ spill, measured.values[:, 1:], rtol=1e-9)
    np.testing.assert_array_equal(compensated.values[:, 0], measured.values[:, 0])

    # One matrix from a file, and its faults named.
    matrix = tmp_path / "matrix.csv"
    matrix.write_text("FL2-A,FL1-A\n1,0.5\n0,1\n")
    given = pairmend.read_fcs(path, compensation=matrix)
    assert given.compensation.startswith("matrix file ")
    np.testing.assert_allclose(given.values[:, 1] + 0.5 * given.values[:, 2], measured.values[:, 1], rtol=1e-12)
    matrix.write_text("FL2-A,FL9-A\n1,0.5\n0,1\n")
    with pytest.raises(ValueError, match="names the channel FL9-A, which .*batch1_anchor.fcs does not have"):
        pairmend.read_fcs(path, compensation=matrix)


def test_transforms_per_channel_as_pairmend_fcs_transforms(build_dir, tmp_path):
    import subprocess

    study = tmp_path / "study"
    subprocess.run([str(build_dir / "src" / "tools" / "pairmend-simulate"), "--fcs", str(study), "--events", "200",
                    "--dims", "3", "--batches", "2", "--files-per-batch", "1", "--spillover"],
                   check=True, capture_output=True)
    path = study / "batch1_anchor.fcs"
    linear = pairmend.read_fcs(path)
    given = {"CD3": "arcsinh 150", "FL2-A": "logicle 262144 0.5 4.5", "CD8": "linear"}
    by_dict = pairmend.read_fcs(path, transforms=given)
    sheet = tmp_path / "transforms.csv"
    sheet.write_text("channel,transform,parameters\nCD3,arcsinh,150\nFL2-A,logicle,262144 0.5 4.5\nCD8,linear\n")
    by_file = pairmend.read_fcs(path, transforms=sheet)
    np.testing.assert_array_equal(by_dict.values, by_file.values)
    np.testing.assert_allclose(by_dict.values[:, 1], np.arcsinh(linear.values[:, 1] / 150), rtol=1e-15)
    np.testing.assert_array_equal(by_dict.values[:, [0, 3]], linear.values[:, [0, 3]])
    # Logicle: increasing, the top of its scale (M + A) ln 10 at T, 0 at (W + A) ln 10.
    order = np.argsort(linear.values[:, 2])
    assert np.all(np.diff(by_dict.values[order, 2]) >= 0)
    at_zero = pairmend.read_fcs(path, transforms={"Time": "logicle 262144 0.5 4.5"}).values[:, 0]
    assert np.all(at_zero > 0.5 * np.log(10))

    sheet.write_text("channel,transform,parameters\nCD3,arcsinh,150\nCD3,logicle,\n")
    with pytest.raises(ValueError, match="Line 3 of the transforms file .* names the channel CD3 again"):
        pairmend.read_fcs(path, transforms=sheet)
    with pytest.raises(ValueError, match="The transform of CD4 in the transforms given to read_fcs gives the "
                                         "channel CD4 the transform \"log\""):
        pairmend.read_fcs(path, transforms={"CD4": "log 10"})
    with pytest.raises(TypeError, match="transforms must be None"):
        pairmend.read_fcs(path, transforms=["CD3"])
