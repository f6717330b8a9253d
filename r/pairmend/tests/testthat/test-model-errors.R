# Errors of the model functions: R errors of class pairmend_error with the model library's and the
# program's messages, raised by the call the user made.

data <- shifted_batches(events_per_batch = 100L)
values <- data$values
labels <- data$labels
model <- fit(values, labels)

expect_refused <- function(expr, message, fixed = TRUE) {
    error <- tryCatch(expr, error = function(e) e)
    expect_s3_class(error, "pairmend_error")
    if (fixed) {
        expect_identical(conditionMessage(error), message)
    } else {
        expect_match(conditionMessage(error), message)
    }
    error
}

test_that("events of an unknown batch, a known batch to add and a wrong parameter count are refused", {
    error <- expect_refused(apply_model(model, values[1:5, ], c(1, 1, 9, 1, 1)),
                            sprintf("The model knows no batch named \"9\"; it knows %s. Fit or extend the model with that batch first.",
                                    paste0("\"", model$batches[1], "\", \"", model$batches[2], "\" and \"", model$batches[3], "\"")))
    expect_identical(deparse(conditionCall(error)[[1]]), "apply_model")
    error <- expect_refused(extend_model(model, values[1:5, ], rep(2L, 5)),
                            "The model already holds a batch named \"2\"; only new batches can be added. Apply the model to correct more events of a batch it knows.")
    expect_identical(deparse(conditionCall(error)[[1]]), "extend_model")
    expect_refused(apply_model(model, values[, 1:3], labels),
                   "The model corrects events of 4 parameters, but the events to correct have 3 values each.")
    expect_refused(extend_model(model, cbind(values, 0), rep(5L, nrow(values))),
                   "The model corrects events of 4 parameters, but the batches to add have 5 values per event.")
    expect_refused(fit(values, labels, parameters = c("CD3", "CD4")),
                   "There are 2 parameter names for 4 values per event; give one name per value.")
    # Named columns in another order would correct each value as another parameter.
    expect_refused(apply_model(model, values[, c(1, 3, 2, 4)], labels),
                   "Column 2 of x is named \"CD8\", but the model's parameter 2 is \"CD4\". Give x the model's parameters in the model's order (x[, model$parameters]), or, if its columns hold them under other names, name them so (colnames(x) <- model$parameters).")
    expect_refused(extend_model(model, values[, c(4, 2, 3, 1)], rep(5L, nrow(values))),
                   "Column 1 of x is named \"CD19\"", fixed = FALSE)
})

test_that("values that are not finite and wrong labels are named as correct() names them", {
    broken <- values
    broken[7, 2] <- NaN
    ending <- "is not a finite number. Remove or replace that event."
    expect_refused(fit(broken, labels), paste("The value \"NaN\" in row 7, column 2 (\"CD4\") of x", ending))
    expect_refused(apply_model(model, broken, labels), paste("The value \"NaN\" in row 7, column 2 (\"CD4\") of x", ending))
    expect_refused(extend_model(model, broken, rep(5L, nrow(values))),
                   paste("The value \"NaN\" in row 7, column 2 (\"CD4\") of x", ending))
    expect_refused(fit(values, rep(1L, nrow(values))), "There must be at least two batches")
    expect_refused(apply_model(model, values, replace(labels, 4, NA)),
                   "batch[4] is NA, but every event needs a batch label. Remove that event or give it a batch.")
    expect_refused(apply_model(model, values, labels[-1]),
                   "batch holds 299 labels, but x has 300 events (rows); give one batch label per event.")
    expect_refused(extend_model(model, values[0, ], integer()), "No batch was given to add to the model.")
})

test_that("settings and arguments of the wrong kind are refused by name", {
    expect_refused(fit(values, labels, fit_events = 2.5),
                   "fit_events must be NULL or a whole number from 1 to 9007199254740992, not 2.5.")
    expect_refused(extend_model(model, values, labels + 5L, fit_events = 0),
                   "fit_events must be NULL or a whole number from 1 to 9007199254740992, not 0.")
    expect_refused(fit(values, labels, reference_events = -1),
                   "reference_events must be a single whole number from 0 to 9007199254740992, not -1.")
    expect_refused(fit(values, labels, parameters = c("a", NA, "c", "d")),
                   "parameters must be NULL or texts naming the columns of x, not c(\"a\", NA, \"c\", \"d\").")
    expect_refused(fit(values, labels, num_neighbors = 0), "The number of neighbors must be at least 1, not 0.")
    expect_refused(fit(values, labels, robust_trim = 2), "trimming proportion must be in [0, 1]")
    expect_refused(apply_model(model, values, labels, num_threads = 0),
                   "num_threads must be NULL or a whole number from 1 to 2147483647, not 0.")
    expect_refused(apply_model(list(batches = "1"), values, labels),
                   "model must be a correction model made by fit(), extend_model() or load_model(), not \"list\".")
    expect_refused(save_model(model, NA_character_), "path must be the name of one model file, not NA_character_.")
})

test_that("a model kept by saveRDS is refused with how to keep models, and never crashes", {
    path <- tempfile(fileext = ".rds")
    saveRDS(model, path)
    restored <- readRDS(path)
    message <- paste("This model's correction is not in memory: a model read back by readRDS() or load(), or kept",
                     "from an earlier R session, holds only its description. Keep models with save_model() and",
                     "read them with load_model().")
    expect_refused(apply_model(restored, values, labels), message)
    expect_refused(extend_model(restored, values, labels + 5L), message)
    expect_refused(save_model(restored, tempfile(fileext = ".pmm")), message)
    # Its description is kept, and printing says how to get the model back.
    expect_identical(restored$batches, model$batches)
    expect_true(any(grepl("Its correction is not in memory", capture.output(print(restored)))))
    # The model saved as a model file is whole again.
    model_path <- tempfile(fileext = ".pmm")
    save_model(model, model_path)
    expect_identical(apply_model(load_model(model_path), values, labels), apply_model(model, values, labels))
})

test_that("missing, unreadable, corrupt and cut-short model files are refused, naming the file", {
    missing <- file.path(tempdir(), "no-such-model.pmm")
    expect_refused(load_model(missing), paste0("There is no model file at ", missing, "."))
    expect_refused(load_model(tempdir()), paste0("There is no model file at ", tempdir(), "."))

    path <- tempfile(fileext = ".pmm")
    save_model(model, path)
    bytes <- readBin(path, "raw", file.size(path))
    corrupt <- tempfile(fileext = ".pmm")
    flipped <- bytes
    flipped[length(bytes) %/% 2] <- xor(flipped[length(bytes) %/% 2], as.raw(0xff))
    writeBin(flipped, corrupt)
    expect_refused(load_model(corrupt),
                   paste0("The model file ", corrupt, " is corrupt: its checksum does not match its contents."))
    truncated <- tempfile(fileext = ".pmm")
    writeBin(bytes[1:100], truncated)
    expect_refused(load_model(truncated), paste0("The model file ", truncated, " is truncated"), fixed = FALSE)
    not_model <- tempfile(fileext = ".pmm")
    writeLines("file,batch", not_model)
    expect_refused(load_model(not_model), paste0("The model file ", not_model, " is not a pairmend model file"),
                   fixed = FALSE)

    # A folder that does not exist: nothing is written, and an earlier file stays as it was.
    expect_refused(save_model(model, file.path(tempdir(), "no-such-folder", "model.pmm")),
                   "Could not write the model file .*no-such-folder/model.pmm", fixed = FALSE)
    unwritable <- file.path(tempfile("locked"))
    dir.create(unwritable)
    save_model(model, file.path(unwritable, "model.pmm"))
    Sys.chmod(unwritable, "0555")
    on.exit(Sys.chmod(unwritable, "0755"))
    if (file.access(unwritable, 2) != 0) {
        expect_refused(save_model(fit(values[, 1:2], labels), file.path(unwritable, "model.pmm")),
                       "Could not write the model file", fixed = FALSE)
        expect_identical(load_model(file.path(unwritable, "model.pmm"))$parameters, model$parameters)
        expect_identical(list.files(unwritable, all.files = TRUE, no.. = TRUE), "model.pmm")
    }
})
