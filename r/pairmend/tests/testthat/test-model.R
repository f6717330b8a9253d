# Correction models: fit(), apply_model(), extend_model(), save_model() and load_model() against
# correct() on the same events.

data <- shifted_batches()
values <- data$values
rownames(values) <- paste0("event", seq_len(nrow(values)))
labels <- data$labels

test_that("a model fitted on every event gives correct()'s values bit for bit", {
    cases <- list(defaults = list(), approximate = list(approximate = TRUE),
                  input_order = list(automatic_order = FALSE, reference_policy = "Input", num_threads = 2L),
                  few_neighbours = list(num_neighbors = 5L, robust_iterations = 0L, reference_policy = "MaxSize"))
    for (case in names(cases)) {
        settings <- cases[[case]]
        expected <- do.call(correct, c(list(values, labels), settings))
        model <- do.call(fit, c(list(values, labels), settings))
        expect_identical(model$batches, as.character(expected$merge_order), label = case)
        expect_identical(model$num_pairs, expected$num_pairs, label = case)
        expect_identical(apply_model(model, values, labels, num_threads = 1), expected$corrected, label = case)
        for (key in setdiff(names(settings), "num_threads")) {
            expect_identical(model$settings[[key]], settings[[key]], label = paste(case, key))
        }
    }
})

test_that("batches are named by their labels as text and numbered as correct() numbers them", {
    settings <- list(automatic_order = FALSE, reference_policy = "Input")
    # 30, 7 and 12 are numbered by value; their names are the numbers' digits, for integers and doubles alike.
    by_integer <- do.call(fit, c(list(values, c(30L, 7L, 12L)[labels]), settings))
    by_double <- do.call(fit, c(list(values, c(30, 7, 12)[labels]), settings))
    expect_identical(by_integer$batches, c("7", "12", "30"))
    expect_identical(by_double$batches, by_integer$batches)
    # A factor in the order of its levels; text labels by their bytes ("B" before "a").
    by_factor <- do.call(fit, c(list(values, factor(c("late", "early", "mid")[labels], levels = c("mid", "late", "early"))),
                                settings))
    expect_identical(by_factor$batches, c("mid", "late", "early"))
    expect_identical(do.call(fit, c(list(values, c("a", "B", "c")[labels]), settings))$batches, c("B", "a", "c"))
    # Any kind of label names the same batch when applying: 7L, 7 and "7".
    some <- labels == 2
    expected <- apply_model(by_integer, values[some, ], rep(7L, sum(some)))
    expect_identical(apply_model(by_integer, values[some, ], rep(7, sum(some))), expected)
    expect_identical(apply_model(by_integer, values[some, ], rep("7", sum(some))), expected)
    expect_identical(apply_model(by_integer, values[some, ], factor(rep("7", sum(some)))), expected)
})

test_that("apply_model on some events in any order equals the fit's correction of them", {
    corrected <- correct(values, labels)$corrected
    model <- fit(values, labels)
    set.seed(3)
    rows <- sample(nrow(values), 250)
    expect_identical(apply_model(model, values[rows, ], labels[rows]), corrected[rows, ])
    # Events of one batch only, an integer matrix and a data frame.
    one <- which(labels == 3)[1:20]
    expect_identical(apply_model(model, values[one, ], labels[one]), corrected[one, ])
    integers <- round(values * 100)
    expect_identical(apply_model(fit(integers, labels), `storage.mode<-`(integers, "integer"), labels),
                     correct(integers, labels)$corrected)
    expect_identical(apply_model(model, as.data.frame(values[rows, ]), labels[rows]), corrected[rows, ])
    # No events give no events.
    expect_identical(apply_model(model, values[0, ], integer()), corrected[0, ])
    # The reference batch is not moved.
    reference <- labels == as.integer(model$batches[1])
    expect_identical(apply_model(model, values[reference, ], labels[reference]), values[reference, ])
})

test_that("fit_events fits on each batch's evenly spread subsample and corrects every event", {
    model <- fit(values, labels, fit_events = 100)
    expect_identical(model$fitted_events, c(100L, 100L, 100L))
    # The events at floor(i * n / 100), i = 0 .. 99, of every batch's n events, fitted whole.
    rows <- unlist(lapply(1:3, function(b) which(labels == b)[floor((0:99) * 300 / 100) + 1]))
    direct <- fit(values[rows, ], labels[rows])
    expect_identical(direct$fitted_events, c(100L, 100L, 100L))
    corrected <- apply_model(model, values, labels)
    expect_identical(corrected, apply_model(direct, values, labels))
    moved <- labels != as.integer(model$batches[1])
    expect_true(all(rowSums(corrected[moved, ] != values[moved, ]) > 0))
    # More than a batch holds fits on all of it.
    expect_identical(fit(values, labels, fit_events = 1e6)$fitted_events, c(300L, 300L, 300L))
})

test_that("extend_model adds batches, leaves the old ones' correction and the old model unchanged", {
    old <- labels != 3
    model <- fit(values[old, ], labels[old], reference_events = 500)
    before <- apply_model(model, values[old, ], labels[old])
    held <- pairmend:::model_fields(model$handle)
    extended <- extend_model(model, values[!old, ], labels[!old])
    expect_identical(extended$batches, c(model$batches, "3"))
    # The old model, as the compiled code holds it, is as it was.
    expect_identical(pairmend:::model_fields(model$handle), held)
    expect_identical(extended$num_pairs[1], model$num_pairs)
    expect_identical(extended$settings, model$settings)
    expect_identical(apply_model(extended, values[old, ], labels[old]), before)
    expect_identical(apply_model(model, values[old, ], labels[old]), before)
    expect_error(apply_model(model, values[!old, ], labels[!old]), "The model knows no batch named \"3\"")
    new <- apply_model(extended, values[!old, ], labels[!old])
    expect_true(all(rowSums(new != values[!old, ]) > 0))
    # The new batch moves onto the others: its mean comes nearer to theirs.
    distance <- function(x) sqrt(sum((colMeans(x) - colMeans(before))^2))
    expect_lt(distance(new), distance(values[!old, ]) / 2)
    subsampled <- extend_model(model, values[!old, ], labels[!old], fit_events = 50)
    expect_identical(subsampled$fitted_events[3], 50L)
})

test_that("a saved model loads with the same batches, settings and values", {
    model <- fit(values, c("day 1", "day 2", "day \u00e9")[labels], fit_events = 200, num_neighbors = 10,
                 reference_events = 300)
    path <- tempfile(fileext = ".pmm")
    expect_identical(save_model(model, path), path)
    loaded <- load_model(path)
    fields <- c("batches", "parameters", "num_pairs", "fitted_events", "settings", "fcs")
    expect_identical(unclass(loaded)[fields], unclass(model)[fields])
    expect_identical(Encoding(loaded$batches[loaded$batches == "day \u00e9"]), "UTF-8")
    batch <- c("day 1", "day 2", "day \u00e9")[labels]
    expect_identical(apply_model(loaded, values, batch), apply_model(model, values, batch))
    # Saving again replaces the file whole.
    other <- fit(values[, 1:2], labels)
    save_model(other, path)
    expect_identical(load_model(path)$parameters, c("CD3", "CD4"))
    expect_identical(list.files(dirname(path), pattern = basename(path)), basename(path))
})

test_that("parameters are x's column names, p1 .. pD without them, or given", {
    expect_identical(fit(values, labels)$parameters, colnames(values))
    expect_identical(fit(unname(values), labels)$parameters, paste0("p", 1:4))
    expect_identical(fit(values, labels, parameters = c("a", "b", "c", "d"))$parameters, c("a", "b", "c", "d"))
    model <- fit(values, labels)
    corrected <- apply_model(model, values, labels)
    # Columns without names are taken in the model's order; named columns must match it.
    expect_identical(apply_model(model, unname(values), labels), unname(corrected))
    unnamed_model <- fit(unname(values), labels)
    expect_identical(apply_model(unnamed_model, values, labels), corrected)
})

test_that("a model prints what it holds and cannot be changed", {
    model <- fit(values, c("run A", "run B", "run C")[labels], parameters = c("CD3", "CD4", "CD8", "CD19"))
    text <- capture.output(print(model))
    expect_match(text[1], "A pairmend correction model of 3 batches and 4 parameters", fixed = TRUE)
    expect_match(text[2], sprintf("\"%s\" (the first reference)", model$batches[1]), fixed = TRUE)
    expect_true(any(grepl("parameters: +CD3, CD4, CD8, CD19", text)))
    expect_false(any(grepl("not in memory", text)))
    expect_error(model$batches <- "x", "A correction model cannot be changed", class = "pairmend_error")
    expect_error(model[["settings"]] <- list(), "A correction model cannot be changed")
})
