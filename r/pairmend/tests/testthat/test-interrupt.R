# Ctrl-C during a correction or a model's fit ends the call with an interrupt and leaves the session
# usable. They run in a separate R process, which receives SIGINT as Ctrl-C would send it.

test_that("an interrupt ends correct() and fit(), and the session goes on", {
    skip_on_os("windows")
    library_folder <- dirname(find.package("pairmend"))
    status <- tempfile(fileext = ".txt")
    times <- tempfile(fileext = ".txt")
    script <- tempfile(fileext = ".R")
    writeLines(c(
        sprintf("library(pairmend, lib.loc = %s)", deparse(library_folder)),
        sprintf("status <- %s", deparse(status)),
        sprintf("times <- %s", deparse(times)),
        "set.seed(5)",
        "x <- matrix(rnorm(180000), ncol = 6)",
        "batch <- rep(1:2, each = 15000)",
        "x[batch == 2, ] <- x[batch == 2, ] + 0.5",
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
        "cat('usable', length(model$batches), '\\n', file = status, append = TRUE)"), script)
    pid <- as.integer(system(sprintf("%s %s >/dev/null 2>&1 & echo $!", shQuote(file.path(R.home("bin"), "Rscript")),
                                     shQuote(script)), intern = TRUE))
    on.exit(tools::pskill(pid, tools::SIGKILL), add = TRUE)

    wait_for <- function(line, seconds) {
        deadline <- Sys.time() + seconds
        while (Sys.time() < deadline) {
            if (file.exists(status) && any(grepl(line, readLines(status, warn = FALSE)))) {
                return(TRUE)
            }
            Sys.sleep(0.05)
        }
        FALSE
    }
    expect_true(wait_for("ready", 60))
    Sys.sleep(0.5)
    tools::pskill(pid, tools::SIGINT)
    expect_true(wait_for("usable 600", 120))
    # fit() runs the engine as correct() does, and stops the same way: between the engine's phases,
    # well before a whole fit would end (after the first neighbour indices, some 40% of the fit).
    expect_true(wait_for("fitting", 60))
    Sys.sleep(0.5)
    tools::pskill(pid, tools::SIGINT)
    expect_true(wait_for("usable 2", 120))
    expect_identical(trimws(readLines(status)), c("ready", "interrupted", "usable 600", "fitting", "interrupted", "usable 2"))
    seconds <- scan(times, quiet = TRUE)
    expect_lt(seconds[2], 0.75 * seconds[1])
})
