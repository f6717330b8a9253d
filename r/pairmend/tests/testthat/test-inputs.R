# The kinds of matrix and label that correct() takes, and what it gives back.

test_that("integer and double matrices and data frames of numbers give the same values", {
    data <- shifted_batches()
    integers <- matrix(as.integer(round(data$values * 100)), nrow = nrow(data$values),
                       dimnames = list(paste0("event", seq_len(nrow(data$values))), colnames(data$values)))
    doubles <- integers
    storage.mode(doubles) <- "double"
    from_integers <- correct(integers, data$labels)
    expect_identical(from_integers, correct(doubles, data$labels))
    expect_identical(from_integers$corrected, correct(as.data.frame(doubles), data$labels)$corrected)
    expect_identical(dimnames(from_integers$corrected), dimnames(integers))
    expect_true(is.double(from_integers$corrected))
    # The input is left as it was.
    expect_identical(integers, matrix(as.integer(round(data$values * 100)), nrow = nrow(data$values),
                                      dimnames = dimnames(integers)))
})

test_that("texts are numbered by their bytes, whatever R's collation", {
    data <- shifted_batches(shifts = c(0, 1))
    by_number <- correct(data$values, data$labels, automatic_order = FALSE)
    # "B" comes before "a" in bytes; R's sort() may put "a" first in a UTF-8 locale.
    texts <- c("B", "a")[data$labels]
    by_text <- correct(data$values, texts, automatic_order = FALSE)
    expect_identical(by_text$merge_order, c("B", "a"))
    expect_identical(by_text$corrected, by_number$corrected)
    # "10" before "2": the characters, not the numbers they spell.
    expect_identical(correct(data$values, c("2", "10")[data$labels], automatic_order = FALSE)$merge_order,
                     c("10", "2"))
    # The same text in Latin-1 and in UTF-8 is one label.
    latin1 <- iconv("\u00e9t\u00e9", "UTF-8", "latin1")
    expect_identical(Encoding(latin1), "latin1")
    expect_error(correct(data$values, c(enc2utf8("\u00e9t\u00e9"), latin1)[data$labels]),
                 "There must be at least two batches")
})

test_that("a factor is numbered by its levels and merge_order keeps them", {
    data <- shifted_batches()
    by_number <- correct(data$values, data$labels, automatic_order = FALSE, reference_policy = "Input")
    # Level order, not alphabetical order: "late" is the first reference; an unused level is skipped.
    labels <- factor(c("late", "early", "middle")[data$labels], levels = c("unused", "late", "early", "middle"))
    by_factor <- correct(data$values, labels, automatic_order = FALSE, reference_policy = "Input")
    expect_identical(by_factor$corrected, by_number$corrected)
    expect_identical(by_factor$merge_order, factor(c("late", "early", "middle"), levels = levels(labels)))
    ordered_labels <- factor(labels, ordered = TRUE)
    expect_true(is.ordered(correct(data$values, ordered_labels)$merge_order))
})

test_that("whole numbers of double type are labels like integers", {
    data <- shifted_batches()
    as_integers <- correct(data$values, c(30L, 7L, 12L)[data$labels])
    as_doubles <- correct(data$values, c(30, 7, 12)[data$labels])
    expect_identical(as_doubles$corrected, as_integers$corrected)
    expect_identical(as_doubles$merge_order, as.double(as_integers$merge_order))
    expect_identical(as_doubles$num_pairs, as_integers$num_pairs)
})

test_that("the thread count changes no value", {
    data <- shifted_batches()
    one <- correct(data$values, data$labels, num_threads = 1)
    two <- correct(data$values, data$labels, num_threads = 2)
    expect_identical(one$corrected, two$corrected)
    expect_identical(one$num_pairs, two$num_pairs)
    # An absurd count is cut to the processors or OpenMP's threads instead of starting that many.
    many <- correct(data$values, data$labels, num_threads = 1e6)
    expect_identical(many$corrected, one$corrected)
    expect_lt(many$settings$num_threads, 1e6)
    expect_identical(one$settings$num_threads, 1L)
    expect_identical(two$settings$num_threads, min(2L, many$settings$num_threads))
    expect_identical(correct(data$values, data$labels)$settings$num_threads, default_num_threads())
})
