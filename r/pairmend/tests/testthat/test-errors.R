# Errors of correct(): R errors of class pairmend_error with the program's messages, raised by
# the call the user made.

data <- shifted_batches(events_per_batch = 4L, shifts = c(0, 1), ndim = 2L)
values <- data$values
labels <- data$labels

expect_refused <- function(expr, message) {
    error <- tryCatch(expr, error = function(e) e)
    expect_s3_class(error, "pairmend_error")
    expect_identical(conditionMessage(error), message)
    expect_identical(deparse(conditionCall(error)[[1]]), "correct")
}

with_value <- function(value, row = 3L, column = 2L, matrix = values) {
    matrix[row, column] <- value
    matrix
}

test_that("values that are not finite are named by row and column", {
    ending <- "is not a finite number. Remove or replace that event."
    expect_refused(correct(with_value(NA), labels),
                   paste("The value \"NA\" in row 3, column 2 (\"CD4\") of x", ending))
    expect_refused(correct(with_value(NaN), labels),
                   paste("The value \"NaN\" in row 3, column 2 (\"CD4\") of x", ending))
    expect_refused(correct(with_value(Inf, 5L, 1L), labels),
                   paste("The value \"Inf\" in row 5, column 1 (\"CD3\") of x", ending))
    integers <- matrix(1:16, ncol = 2)
    integers[7, 2] <- NA
    expect_refused(correct(integers, labels), paste("The value \"NA\" in row 7, column 2 of x", ending))
    # The first event in event order is named, as the program names the first row of its table.
    both <- with_value(-Inf, 2L, 2L, with_value(NA, 4L, 1L))
    rownames(both) <- paste0("e", 1:8)
    expect_refused(correct(both, labels),
                   paste("The value \"-Inf\" in row 2 (\"e2\"), column 2 (\"CD4\") of x", ending))
})

test_that("labels must be one per event, not NA and at least two different ones", {
    expect_refused(correct(values, rep(1L, 8)), "There must be at least two batches")
    expect_refused(correct(values, rep("a", 8)), "There must be at least two batches")
    expect_refused(correct(values[0, ], integer()), "There must be at least two batches")
    expect_refused(correct(values, c(1, 2, 1, 2)),
                   "batch holds 4 labels, but x has 8 events (rows); give one batch label per event.")
    missing <- "batch[3] is NA, but every event needs a batch label. Remove that event or give it a batch."
    expect_refused(correct(values, replace(labels, 3, NA)), missing)
    expect_refused(correct(values, replace(as.double(labels), 3, NA)), missing)
    expect_refused(correct(values, replace(c("a", "b")[labels], 3, NA)), missing)
    expect_refused(correct(values, factor(replace(c("a", "b")[labels], 3, NA))), missing)
    expect_refused(correct(values, replace(as.double(labels), 2, 1.5)),
                   "Numeric batch labels must be whole numbers, but batch[2] is 1.5. Use whole numbers, texts or a factor.")
    expect_refused(correct(values, replace(as.double(labels), 2, -Inf)),
                   "Numeric batch labels must be whole numbers, but batch[2] is -Inf. Use whole numbers, texts or a factor.")
    expect_refused(correct(values, labels == 1),
                   "batch must hold whole numbers, texts or a factor, not logical values.")
    expect_refused(correct(values, as.list(labels)),
                   "batch must hold whole numbers, texts or a factor, not list values.")
})

test_that("x must be a matrix of numbers with parameters", {
    expect_refused(correct(values[, 1], labels),
                   "x must be a matrix of events (rows) by parameters (columns), not a vector.")
    expect_refused(correct(array(0, c(8, 2, 2)), labels),
                   "x must be a matrix of events (rows) by parameters (columns), not an array of 3 dimensions.")
    expect_refused(correct(values > 0, labels), "x must hold numbers, not logical values.")
    expect_refused(correct(matrix(as.character(values), 8), labels), "x must hold numbers, not character values.")
    expect_refused(correct(values[, 0], labels),
                   "x has no parameters (columns): it needs one for each measured parameter.")
    expect_refused(correct(data.frame(values, kind = "a"), labels),
                   "x must hold numbers only, but its column \"kind\" is not numeric.")
})

test_that("settings are refused with the program's messages", {
    expect_refused(correct(values, labels, num_neighbors = 0), "The number of neighbors must be at least 1, not 0")
    expect_refused(correct(values, labels, num_neighbors = -3L), "The number of neighbors must be at least 1, not -3")
    expect_refused(correct(values, labels, robust_trim = 1.5), "trimming proportion must be in [0, 1]")
    expect_refused(correct(values, labels, robust_trim = -0.1), "trimming proportion must be in [0, 1]")
    expect_refused(correct(values, labels, robust_iterations = -1), "number of iterations must be non-negative")
    expect_refused(correct(values, labels, reference_policy = "maxrss"),
                   "maxrss is not a valid reference policy; use Input, MaxSize, MaxVariance or MaxRSS, spelled exactly so.")
})

test_that("settings of the wrong kind are refused by name", {
    expect_refused(correct(values, labels, num_neighbors = 15.5),
                   "num_neighbors must be a single whole number from -2147483647 to 2147483647, not 15.5.")
    expect_refused(correct(values, labels, num_neighbors = "15"),
                   "num_neighbors must be a single whole number from -2147483647 to 2147483647, not \"15\".")
    expect_refused(correct(values, labels, robust_iterations = 2^31),
                   "robust_iterations must be a single whole number from -2147483647 to 2147483647, not 2147483648.")
    expect_refused(correct(values, labels, robust_iterations = c(1, 2)),
                   "robust_iterations must be a single whole number from -2147483647 to 2147483647, not c(1, 2).")
    expect_refused(correct(values, labels, num_mads = NaN), "num_mads must be a single finite number, not NaN.")
    expect_refused(correct(values, labels, robust_trim = NA_real_), "robust_trim must be a single finite number, not NA_real_.")
    expect_refused(correct(values, labels, approximate = NA), "approximate must be TRUE or FALSE, not NA.")
    expect_refused(correct(values, labels, automatic_order = "true"),
                   "automatic_order must be TRUE or FALSE, not \"true\".")
    expect_refused(correct(values, labels, reference_policy = 1),
                   "reference_policy must be one of Input, MaxSize, MaxVariance or MaxRSS, not 1.")
    expect_refused(correct(values, labels, num_threads = 0),
                   "num_threads must be NULL or a whole number from 1 to 2147483647, not 0.")
})
