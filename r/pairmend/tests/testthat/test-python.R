# The R package and the Python module give the same corrected values bit for bit: both compile the
# same engine with the same floating-point flags. PAIRMEND_PYTHON names a Python that imports the
# module (scripts/test sets it to its virtual environment's).

python_corrected <- function(values, labels, approximate) {
    python <- program_path("PAIRMEND_PYTHON")
    folder <- tempfile("python")
    dir.create(folder)
    on.exit(unlink(folder, recursive = TRUE))
    writeBin(as.vector(t(values)), file.path(folder, "values.bin"), endian = "little")
    writeBin(as.integer(labels), file.path(folder, "labels.bin"), endian = "little")
    script <- paste(
        "import sys, numpy as np, pairmend",
        "folder, ndim, approximate = sys.argv[1], int(sys.argv[2]), sys.argv[3] == 'TRUE'",
        "labels = np.fromfile(folder + '/labels.bin', dtype='<i4').astype(np.int64)",
        "values = np.fromfile(folder + '/values.bin', dtype='<f8').reshape(-1, ndim)",
        "pairmend.correct(values, labels, approximate=approximate).corrected.astype('<f8').tofile(folder + '/out.bin')",
        sep = "\n")
    writeLines(script, file.path(folder, "run.py"))
    status <- system2(python, c(file.path(folder, "run.py"), folder, ncol(values), approximate))
    stopifnot(status == 0)
    matrix(readBin(file.path(folder, "out.bin"), "double", length(values), endian = "little"),
           ncol = ncol(values), byrow = TRUE)
}

test_that("R and Python give the same values bit for bit", {
    data <- shifted_batches(events_per_batch = 1000L)
    for (approximate in c(FALSE, TRUE)) {
        expect_identical(unname(correct(data$values, data$labels, approximate = approximate)$corrected),
                         python_corrected(data$values, data$labels, approximate), label = paste("approximate", approximate))
    }
    table <- read_table(shared_table("cytof_all_8batch.csv"))
    expect_identical(unname(correct(table$values, table$labels)$corrected),
                     python_corrected(table$values, table$labels, FALSE))
})
