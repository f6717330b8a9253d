# The "curves" method through R: correct() and fit() agree with each other and with Python, bit for
# bit, and method names are checked.

test_that("correct() and fit() with method curves agree with each other and with Python", {
    data <- shifted_batches(events_per_batch = 400L)
    values <- data$values
    batch <- data$labels
    expect_identical(correction_methods()[1], "mnn")
    result <- correct(values, batch, method = "curves", num_threads = 2L)
    expect_identical(result$settings$method, "curves")
    expect_identical(sort(result$merge_order), sort(unique(batch)))
    expect_false(identical(result$corrected, correct(values, batch)$corrected))

    model <- fit(values, batch, method = "curves")
    expect_identical(model$method, "curves")
    expect_identical(apply_model(model, values, batch), result$corrected)

    python <- Sys.getenv("PAIRMEND_PYTHON")
    skip_if(python == "", "PAIRMEND_PYTHON is not set")
    folder <- tempfile("methods")
    dir.create(folder)
    on.exit(unlink(folder, recursive = TRUE))
    save_model(model, file.path(folder, "curves.pmm"))
    writeLines(as.character(batch), file.path(folder, "labels.txt"))
    status <- run_python_on(python, values, folder, c(
        "labels = [int(x) for x in open(folder + '/labels.txt').read().split()]",
        "model = pairmend.load_model(folder + '/curves.pmm')",
        "assert model.method == 'curves'",
        "model.apply(values, labels).astype('<f8').tofile(folder + '/loaded.bin')",
        "pairmend.correct(values, labels, method='curves').corrected.astype('<f8').tofile(folder + '/own.bin')"))
    expect_identical(status, 0L)
    expect_identical(read_python_values(folder, "loaded.bin", values), unname(result$corrected))
    expect_identical(read_python_values(folder, "own.bin", values), unname(result$corrected))
})

test_that("an unknown method is refused with the methods there are", {
    data <- shifted_batches(events_per_batch = 50L)
    expect_error(correct(data$values, data$labels, method = "quantiles"),
                 'method must be one of "mnn", "curves", not "quantiles".', fixed = TRUE)
    expect_error(fit(data$values, data$labels, method = NA), "method must be one of", fixed = TRUE)
})
