# Shared helpers of the R package's tests: the built programs, the shared tables and the program's
# input and output tables.
#
# PAIRMEND_BINARY, PAIRMEND_SIMULATE and PAIRMEND_FCS name the programs pairmend, pairmend-simulate
# and pairmend-fcs of a CMake build (scripts/test sets them); tests that need them are skipped when
# they are unset.
# PAIRMEND_DATA names the folder of real tables (default: ../shared/data beside the repository);
# tests that need one are skipped when it is absent. PAIRMEND_PYTHON names a Python that imports
# the Python module pairmend.

program_path <- function(variable) {
    path <- Sys.getenv(variable)
    if (!nzchar(path)) {
        skip(paste(variable, "is not set"))
    }
    if (!file.exists(path)) {
        stop(variable, " names ", path, ", which does not exist; build it first")
    }
    # Absolute, since testthat runs the tests in their folder, but not through symbolic links: a
    # virtual environment's python is a link whose target would not see the environment.
    file.path(normalizePath(dirname(path)), basename(path))
}

shared_table <- function(name) {
    folder <- Sys.getenv("PAIRMEND_DATA")
    if (!nzchar(folder)) {
        folder <- file.path(test_path(), "..", "..", "..", "..", "..", "shared", "data")
    }
    path <- file.path(folder, name)
    if (!file.exists(path)) {
        skip(paste(path, "is not available"))
    }
    normalizePath(path)
}

# An input table of the program as list(values, labels). R's number parser can be one unit in
# the last place off the correctly rounded value that the program reads, so comparisons give the
# program a table written from these values (program_correct), not the file itself.
read_table <- function(path) {
    table <- utils::read.csv(path, check.names = FALSE)
    list(values = as.matrix(table[seq_len(ncol(table) - 2L)]), labels = as.integer(table[[ncol(table) - 1L]]))
}

# A simulated input table of pairmend-simulate: 3 batches x 1500 events x 6 parameters, seed 7.
simulated_table <- function() {
    path <- tempfile(fileext = ".csv")
    status <- system2(program_path("PAIRMEND_SIMULATE"),
                      c("--out", path, "--events", "1500", "--dims", "6", "--batches", "3",
                        "--populations", "4", "--seed", "7"), stdout = FALSE)
    stopifnot(status == 0)
    read_table(path)
}

# Writes values and labels as an input table of the program; %.17g reads back as the same doubles.
write_table <- function(values, labels, path) {
    cells <- matrix(sprintf("%.17g", values), nrow = nrow(values))
    header <- paste(c(paste0("p", seq_len(ncol(values))), "batch", "event"), collapse = ",")
    rows <- do.call(paste, c(as.data.frame(cells), list(labels, seq_len(nrow(values)), sep = ",")))
    writeLines(c(header, rows), path)
}

# A setting as the job file must write it: whole numbers without a decimal point, numbers with one.
json_setting <- function(key, value) {
    text <- if (is.logical(value)) {
        tolower(as.character(value))
    } else if (is.character(value)) {
        sprintf("\"%s\"", value)
    } else if (key %in% c("num_neighbors", "robust_iterations")) {
        sprintf("%d", as.integer(value))
    } else {
        number <- sprintf("%.17g", value)
        if (grepl("^-?[0-9]+$", number)) paste0(number, ".0") else number
    }
    sprintf("\"%s\": %s", key, text)
}

# Runs a job of the program on values and labels with settings (job-file keys) and returns its
# output table's lines without the header; fails the test unless the run succeeds.
program_correct <- function(values, labels, settings = list()) {
    binary <- program_path("PAIRMEND_BINARY")
    folder <- tempfile("job")
    dir.create(folder)
    on.exit(unlink(folder, recursive = TRUE))
    input <- file.path(folder, "input.csv")
    output <- file.path(folder, "output.csv")
    summary <- file.path(folder, "summary.txt")
    job <- file.path(folder, "job.json")
    write_table(values, labels, input)
    lines <- c(sprintf("\"run_ID\": \"R\""), mapply(json_setting, names(settings), settings))
    writeLines(sprintf("{\"input_files\": [{\"name\": \"%s\"}], \"output_files\": [{\"name\": \"%s\"}], \"summary_file\": \"%s\", \"settings\": {%s}}",
                       input, output, summary, paste(lines, collapse = ", ")), job)
    log <- system2(binary, job, stdout = TRUE, stderr = TRUE)
    status <- if (file.exists(summary)) readLines(summary) else "(no summary)"
    if (!identical(status, "status = success")) {
        stop("the program failed: ", paste(c(log, status), collapse = "\n"))
    }
    readLines(output)[-1]
}

# Corrected values as the program writes its output table: six significant digits (%g).
program_text <- function(values) {
    cells <- matrix(sprintf("%g", values), nrow = nrow(values))
    do.call(paste, c(as.data.frame(cells), sep = ","))
}
