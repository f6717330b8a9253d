# The defaults in correct()'s signature, which scripts/r-package writes, are the engine's shared
# defaults as the compiled package sees them.

test_that("correct()'s defaults are the engine's shared settings", {
    defaults <- engine_defaults()
    expect_identical(names(defaults), c("num_neighbors", "num_mads", "robust_iterations", "robust_trim",
                                        "approximate", "automatic_order", "reference_policy"))
    signature <- formals(correct)
    for (key in names(defaults)) {
        expect_identical(eval(signature[[key]]), defaults[[key]], label = key)
    }
    expect_null(signature$num_threads)
    # correct_sce() takes the same defaults through correct()'s signature.
    expect_identical(pairmend:::settings_from_dots(list(), quote(correct_sce()))[names(defaults)], defaults)
})

test_that("fit()'s defaults are the engine's shared settings and the model library's", {
    defaults <- engine_defaults()
    signature <- formals(fit)
    for (key in names(defaults)) {
        expect_identical(eval(signature[[key]]), defaults[[key]], label = key)
    }
    expect_identical(as.double(eval(signature$reference_events)), pairmend:::model_default_reference_events())
    expect_null(signature$fit_events)
    expect_null(signature$num_threads)
    # A model keeps its settings, the default reference_events among them.
    data <- shifted_batches(events_per_batch = 60L)
    expect_identical(fit(data$values, data$labels)$settings,
                     c(defaults, list(reference_events = eval(signature$reference_events))))
})
