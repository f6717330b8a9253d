# correct() gives the program's corrected values for the same values and settings.

settings_cases <- list(
    defaults = list(),
    approximate = list(approximate = TRUE),
    input_order = list(automatic_order = FALSE, reference_policy = "Input", num_neighbors = 8L),
    max_size = list(reference_policy = "MaxSize", num_mads = 2.5, robust_iterations = 1L, robust_trim = 0.1),
    max_variance = list(reference_policy = "MaxVariance", robust_iterations = 0L)
)

test_that("a simulated table gives the program's values under every kind of setting", {
    table <- simulated_table()
    for (case in names(settings_cases)) {
        settings <- settings_cases[[case]]
        result <- do.call(correct, c(list(table$values, table$labels), settings))
        expect_identical(program_text(result$corrected), program_correct(table$values, table$labels, settings),
                         label = case)
        expect_setequal(result$merge_order, 1:3)
        expect_length(result$num_pairs, 2)
        expect_true(all(result$num_pairs > 0))
        expect_equal(result$settings[names(settings)], settings, ignore_attr = TRUE)
    }
    expect_identical(correct(table$values, table$labels, automatic_order = FALSE)$merge_order, 1:3)
})

test_that("labels are numbered by value as the program numbers them", {
    table <- simulated_table()
    # 10, 2 and 9 sort as numbers: batch 2 is the first reference and 10 comes last; as texts
    # "10" would come first.
    relabelled <- c(10L, 2L, 9L)[table$labels]
    settings <- list(automatic_order = FALSE, reference_policy = "Input")
    result <- do.call(correct, c(list(table$values, relabelled), settings))
    expect_identical(result$merge_order, c(2L, 9L, 10L))
    expect_identical(program_text(result$corrected), program_correct(table$values, relabelled, settings))
})

test_that("real tables give the program's values", {
    cases <- list(list("flow_wnv_mock.csv", list()),
                  list("cytof_all_8batch.csv", list(automatic_order = FALSE, reference_policy = "Input")),
                  list("cytof_ptlg021.csv", list(approximate = TRUE)))
    for (case in cases) {
        table <- read_table(shared_table(case[[1]]))
        result <- do.call(correct, c(list(table$values, table$labels), case[[2]]))
        expect_identical(program_text(result$corrected), program_correct(table$values, table$labels, case[[2]]),
                         label = case[[1]])
    }
})
