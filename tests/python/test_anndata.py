"""pairmend.correct_anndata: correcting an AnnData object in place."""

import anndata
import numpy as np
import pandas as pd
import pytest
import scipy.sparse

import pairmend


@pytest.fixture
def adata(simulated):
    _, values, labels = simulated
    obs = pd.DataFrame({"run": pd.Categorical(np.array(["day1", "day2", "day3"])[labels - 1])},
                       index=[f"event{i}" for i in range(len(labels))])
    return anndata.AnnData(X=values.astype(np.float32), obs=obs, layers={"raw": values.copy()})


def test_result_stored_as_layer_and_record(adata, tmp_path):
    x_before = adata.X.copy()
    result = pairmend.correct_anndata(adata, "run", num_neighbors=10, approximate=True)
    labels = adata.obs["run"].astype(str).to_numpy()
    expected = pairmend.correct(x_before, labels, num_neighbors=10, approximate=True)
    assert np.array_equal(adata.layers["pairmend"], expected.corrected)
    assert np.array_equal(result.corrected, expected.corrected)
    assert np.array_equal(adata.X, x_before)
    record = adata.uns["pairmend"]
    assert record["settings"] == {**expected.settings}
    assert record["settings"]["num_neighbors"] == 10 and record["settings"]["approximate"] is True
    assert record["batch_key"] == "run" and record["layer"] == "X"
    assert list(record["merge_order"]) == expected.merge_order
    assert sorted(expected.merge_order) == ["day1", "day2", "day3"]
    assert list(record["num_pairs"]) == expected.num_pairs

    # Everything stored survives the file format.
    path = tmp_path / "corrected.h5ad"
    adata.write_h5ad(path)
    back = anndata.read_h5ad(path)
    assert np.array_equal(back.layers["pairmend"], expected.corrected)
    assert list(back.uns["pairmend"]["merge_order"]) == expected.merge_order
    assert list(back.uns["pairmend"]["num_pairs"]) == expected.num_pairs
    assert dict(back.uns["pairmend"]["settings"]) == expected.settings


def test_layer_sparse_matrix_and_key(adata):
    labels = adata.obs["run"].astype(str).to_numpy()
    from_layer = pairmend.correct_anndata(adata, "run", layer="raw", key_added="from_raw")
    assert np.array_equal(adata.layers["from_raw"], pairmend.correct(adata.layers["raw"], labels).corrected)
    assert adata.uns["from_raw"]["layer"] == "raw" and "pairmend" not in adata.layers

    dense = pairmend.correct(adata.X, labels).corrected
    adata.X = scipy.sparse.csr_matrix(adata.X)
    pairmend.correct_anndata(adata, "run")
    assert np.array_equal(adata.layers["pairmend"], dense)
    assert scipy.sparse.issparse(adata.X)
    assert not np.array_equal(from_layer.corrected, dense)  # float64 layer versus float32 X


def test_failures_store_nothing(adata):
    with pytest.raises(KeyError, match="adata.obs has no column 'batch'"):
        pairmend.correct_anndata(adata, "batch")
    with pytest.raises(KeyError, match="adata.layers has no layer 'counts'"):
        pairmend.correct_anndata(adata, "run", layer="counts")
    adata.obs["single"] = "one"
    with pytest.raises(ValueError, match="There must be at least two batches"):
        pairmend.correct_anndata(adata, "single")
    adata.X[5, 2] = np.nan
    with pytest.raises(ValueError, match=r"row 6, column 3 of the data \(data\[5, 2\]\)"):
        pairmend.correct_anndata(adata, "run")
    with pytest.raises(TypeError, match="unexpected keyword argument 'neighbours'"):
        pairmend.correct_anndata(adata, "run", layer="raw", neighbours=5)
    assert "pairmend" not in adata.layers and "pairmend" not in adata.uns
