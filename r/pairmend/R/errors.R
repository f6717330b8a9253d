# Errors of the package: conditions of class "pairmend_error" whose call is the user's call of
# correct(), correct_sce() or read_fcs(), so that the message names the function the user called.

pairmend_error <- function(message, call) {
    structure(class = c("pairmend_error", "error", "condition"), list(message = message, call = call))
}

refuse <- function(message, call) {
    stop(pairmend_error(message, call))
}

# Evaluates expr, a call into the compiled code, and signals its errors (the program's messages)
# as the user's call's errors. An interrupt is not an error and passes through unchanged.
with_program_errors <- function(expr, call) {
    tryCatch(expr, error = function(e) {
        if (inherits(e, "pairmend_error")) {
            stop(e)
        }
        refuse(conditionMessage(e), call)
    })
}

# A value as messages show it: as R would type it, shortened when long.
shown <- function(value) {
    text <- paste(deparse(value, width.cutoff = 60L, nlines = 2L), collapse = " ")
    if (nchar(text) > 40L) paste0(substr(text, 1L, 40L), "...") else text
}

# The expanded form of path, which must name one existing file; refuses anything else, naming the
# kind of file wanted (kind, such as "FCS file") in the message.
existing_file <- function(path, kind, call) {
    if (!is.character(path) || length(path) != 1L || is.na(path)) {
        refuse(sprintf("path must be the name of one %s, not %s.", kind, shown(path)), call)
    }
    file <- path.expand(path)
    if (!file.exists(file) || dir.exists(file)) {
        refuse(sprintf("There is no %s at %s.", kind, path), call)
    }
    file
}
