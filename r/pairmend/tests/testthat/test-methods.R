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

test_that("conditions reach the correction and the model, and a batch sharing none is refused", {
    # A holds mock and virus, B mock and an anchor, C the anchor only: C waits for B, its bridge.
    set.seed(7)
    cloud <- function(n, centre) sweep(matrix(rnorm(n * 3, sd = 0.5), n), 2, centre, "+")
    mock <- cloud(300, c(0, 0, 0))
    virus <- cloud(300, c(3, 1, 0))
    anchor <- cloud(300, c(0, 3, 1))
    x <- rbind(mock, virus, mock + 0.5, anchor + 0.5, anchor - 0.5)
    batch <- rep(c("A", "B", "C"), c(600, 600, 300))
    condition <- rep(c("mock", "virus", "mock", "anchor"), c(300, 300, 300, 600))
    result <- correct(x, batch, method = "curves", reference_policy = "Input", condition = condition)
    expect_identical(result$merge_order, c("A", "B", "C"))
    expect_identical(result$corrected[301:600, ], x[301:600, ])
    expect_lt(max(abs(colMeans(result$corrected[1201:1500, ]) - colMeans(x[1201:1500, ]) - 0.5)), 0.05)

    model <- fit(x[1:1200, ], batch[1:1200], reference_policy = "Input", condition = condition[1:1200])
    expect_error(extend_model(model, x[1201:1500, ], batch[1201:1500]), "learnt with the conditions")
    extended <- extend_model(model, x[1201:1500, ], batch[1201:1500], condition = condition[1201:1500])
    expect_identical(extended$batches, c("A", "B", "C"))

    expect_error(correct(x, batch, reference_policy = "Input", condition = c(condition[1:1200], rep("other", 300))),
                 "The batch \"C\" holds only other, which no other batch holds, so its batch effect cannot be told from its biology",
                 fixed = TRUE)
})
