# correct_sce() on constructed SingleCellExperiment objects: markers by cells in an assay.

skip_if_not_installed("SingleCellExperiment")

make_sce <- function(data) {
    exprs <- t(data$values)
    colnames(exprs) <- paste0("cell", seq_len(ncol(exprs)))
    SingleCellExperiment::SingleCellExperiment(
        assays = list(exprs = exprs, counts = round(sinh(exprs) * 5)),
        colData = S4Vectors::DataFrame(run = c("run 1", "run 2", "run 3")[data$labels], patient = "P1"))
}

test_that("the corrected assay and the metadata are those of correct() on the same events", {
    data <- shifted_batches()
    sce <- make_sce(data)
    result <- correct_sce(sce, "run", num_neighbors = 10, reference_policy = "MaxSize")
    expected <- correct(data$values, c("run 1", "run 2", "run 3")[data$labels], num_neighbors = 10,
                        reference_policy = "MaxSize")

    corrected <- SummarizedExperiment::assay(result, "pairmend")
    expect_identical(unname(corrected), unname(t(expected$corrected)))
    expect_identical(dimnames(corrected), dimnames(SummarizedExperiment::assay(sce, "exprs")))
    expect_identical(SummarizedExperiment::assay(result, "exprs"), SummarizedExperiment::assay(sce, "exprs"))
    expect_identical(S4Vectors::metadata(result)$pairmend,
                     list(settings = expected$settings, assay = "exprs", batch = "run",
                          merge_order = expected$merge_order, num_pairs = expected$num_pairs))
    expect_identical(S4Vectors::metadata(result)$pairmend$settings$num_neighbors, 10L)
})

test_that("labels given as a vector, another assay and another name", {
    data <- shifted_batches()
    sce <- make_sce(data)
    labels <- factor(c("b", "a", "c")[data$labels], levels = c("b", "a", "c"))
    result <- correct_sce(sce, labels, assay = "counts", name = "mnn", automatic_order = FALSE)
    expected <- correct(t(SummarizedExperiment::assay(sce, "counts")), labels, automatic_order = FALSE)
    expect_identical(unname(SummarizedExperiment::assay(result, "mnn")), unname(t(expected$corrected)))
    expect_null(S4Vectors::metadata(result)$mnn$batch)
    expect_identical(S4Vectors::metadata(result)$mnn$merge_order, factor(c("b", "a", "c"), levels = levels(labels)))
    expect_false("pairmend" %in% SummarizedExperiment::assayNames(result))
})

test_that("errors name the assay, the cell and the marker", {
    data <- shifted_batches()
    sce <- make_sce(data)
    SummarizedExperiment::assay(sce, "exprs")[2, 5] <- NA
    expect_error(correct_sce(sce, "run"),
                 "The value \"NA\" in row 2 (\"CD4\"), column 5 (\"cell5\") of assay \"exprs\" is not a finite number.",
                 fixed = TRUE, class = "pairmend_error")
    expect_error(correct_sce(sce, "run", assay = "logcounts"),
                 "sce has no assay named \"logcounts\"; its assays are \"exprs\", \"counts\".", fixed = TRUE)
    expect_error(correct_sce(sce, "batch"),
                 "colData(sce) has no column \"batch\"; its columns are \"run\", \"patient\".", fixed = TRUE)
    expect_error(correct_sce(sce, "patient", assay = "counts"), "There must be at least two batches", fixed = TRUE)
    expect_error(correct_sce(sce, c(1, 2), assay = "counts"),
                 "batch holds 2 labels, but assay \"counts\" has 900 cells (columns); give one batch label per cell.",
                 fixed = TRUE)
    expect_error(correct_sce(sce, "run", assay = "counts", num_neighbours = 10),
                 "\"num_neighbours\" is not a setting of correct_sce()", fixed = TRUE)
    expect_error(correct_sce(sce, "run", "counts", "mnn", 10), "Name every setting", fixed = TRUE)
    expect_error(correct_sce(sce, "run", assay = "counts", num_mads = 2, num_mads = 3),
                 "The setting num_mads is given twice.", fixed = TRUE)
    expect_error(correct_sce(t(data$values), "run"), "sce must be a SingleCellExperiment", fixed = TRUE)
})
