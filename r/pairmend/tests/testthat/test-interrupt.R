# Ctrl-C during a correction, a model's fit or a model's apply ends the call with an interrupt and
# leaves the session usable. They run in a separate R process, which receives SIGINT as Ctrl-C
# would send it.

# Starts Rscript on `lines`, after loading this pairmend, naming two fresh files `status` and
# `times` and making the events `x` of two shifted batches `batch`. Returns the process id (`pid`)
# and the two files' paths.
start_r_process <- function(lines) {
    run <- list(status = tempfile(fileext = ".txt"), times = tempfile(fileext = ".txt"))
    script <- tempfile(fileext = ".R")
    writeLines(c(sprintf("library(pairmend, lib.loc = %s)", deparse(dirname(find.package("pairmend")))),
                 sprintf("status <- %s", deparse(run$status)),
                 sprintf("times <- %s", deparse(run$times)),
                 "set.seed(5)",
                 "x <- matrix(rnorm(180000), ncol = 6)",
                 "batch <- rep(1:2, each = 15000)",
                 "x[batch == 2, ] <- x[batch == 2, ] + 0.5",
                 lines),
               script)
    run$pid <- as.integer(system(sprintf("%s %s >/dev/null 2>&1 & echo $!",
                                         shQuote(file.path(R.home("bin"), "Rscript")), shQuote(script)),
                                 intern = TRUE))
    run
}

# Sends the process SIGINT, as Ctrl-C would, after `seconds`.
interrupt_after <- function(pid, seconds) {
    Sys.sleep(seconds)
    tools::pskill(pid, tools::SIGINT)
}

# Waits until a line of the file `status` matches `line`; FALSE after `seconds`.
wait_for <- function(status, line, seconds) {
    deadline <- Sys.time() + seconds
    while (Sys.time() < deadline) {
        if (file.exists(status) && any(grepl(line, readLines(status, warn = FALSE)))) {
            return(TRUE)
        }
        Sys.sleep(0.05)
    }
    FALSE
}

test_that("an interrupt ends correct() and fit(), and the session goes on", {
    skip_on_os("windows")
    run <- start_r_process(c(
        "cat('ready\\n', file = status)",
        "outcome <- tryCatch({ correct(x, batch, num_threads = 1); 'finished' }, interrupt = function(e) 'interrupted')",
        "cat(outcome, '\\n', file = status, append = TRUE)",
        "small <- correct(x[c(1:300, 15001:15300), ], rep(1:2, each = 300))",
        "cat('usable', nrow(small$corrected), '\\n', file = status, append = TRUE)",
        "whole <- system.time(fit(x, batch, num_threads = 1))[['elapsed']]",
        "cat('fitting\\n', file = status, append = TRUE)",
        "start <- proc.time()[['elapsed']]",
        "outcome <- tryCatch({ fit(x, batch, num_threads = 1); 'fitted' }, interrupt = function(e) 'interrupted')",
        "cat(outcome, '\\n', file = status, append = TRUE)",
        "cat(whole, proc.time()[['elapsed']] - start, '\\n', file = times)",
        "model <- fit(x[c(1:300, 15001:15300), ], rep(1:2, each = 300))",
        "cat('usable', length(model$batches), '\\n', file = status, append = TRUE)"))
    on.exit(tools::pskill(run$pid, tools::SIGKILL), add = TRUE)

    expect_true(wait_for(run$status, "ready", 60))
    interrupt_after(run$pid, 0.5)
    expect_true(wait_for(run$status, "usable 600", 120))
    # fit() runs the engine as correct() does, and stops the same way: between the engine's phases,
    # well before a whole fit would end (after the first neighbour indices, some 40% of the fit).
    expect_true(wait_for(run$status, "fitting", 60))
    interrupt_after(run$pid, 0.5)
    expect_true(wait_for(run$status, "usable 2", 120))
    expect_identical(trimws(readLines(run$status)), c("ready", "interrupted", "usable 600", "fitting", "interrupted", "usable 2"))
    seconds <- scan(run$times, quiet = TRUE)
    expect_lt(seconds[2], 0.75 * seconds[1])
})

test_that("an interrupt ends apply_model() after the block of events it is in", {
    skip_on_os("windows")
    run <- start_r_process(c(
        "model <- fit(x, batch, num_threads = 1)",
        # The batch that is corrected (the first reference stays put), 200,000 events of it: four blocks.
        "moved <- model$batches[2]",
        "big <- x[rep(which(batch == as.integer(moved)), length.out = 200000), ]",
        "labels <- rep(moved, nrow(big))",
        # A tenth of the events, timed, stands for the whole call (each event is corrected on its own).
        "tenth <- system.time(apply_model(model, big[1:20000, ], labels[1:20000], num_threads = 1))[['elapsed']]",
        "cat(tenth, '\\n', file = times)",
        "cat('applying\\n', file = status)",
        "start <- proc.time()[['elapsed']]",
        "outcome <- tryCatch({ apply_model(model, big, labels, num_threads = 1); 'applied' }, interrupt = function(e) 'interrupted')",
        "cat(outcome, '\\n', file = status, append = TRUE)",
        "cat(proc.time()[['elapsed']] - start, '\\n', file = times, append = TRUE)",
        "cat('usable', nrow(apply_model(model, big[1:10, ], labels[1:10])), '\\n', file = status, append = TRUE)"))
    on.exit(tools::pskill(run$pid, tools::SIGKILL), add = TRUE)

    expect_true(wait_for(run$status, "applying", 120))
    whole <- 10 * scan(run$times, quiet = TRUE)[1]
    # Inside the first block; apply_model() ends when that block is done.
    interrupt_after(run$pid, 0.05 * whole)
    expect_true(wait_for(run$status, "usable 10", 120))
    expect_identical(trimws(readLines(run$status)), c("applying", "interrupted", "usable 10"))
    expect_lt(scan(run$times, quiet = TRUE)[2], 0.6 * whole)
})
