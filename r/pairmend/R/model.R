# Correction models: fit() learns a correction once, apply_model() corrects more events of its
# batches, extend_model() adds batches without changing the old ones, and save_model() and
# load_model() keep a model in a .pmm file, the same file as pairmend-fcs and the Python module
# write and read.
#
# A model is a list of class "pairmend_model": what the model holds (batches, parameters,
# num_pairs, fitted_events, settings, fcs) and `handle`, an external pointer to the immutable model
# itself. R cannot serialise what a pointer points to, so a model read back by readRDS() or load()
# keeps only its description, and using it is refused with a message that says how models are
# kept. The defaults of fit()'s settings are written by scripts/r-package, as for correct(); the
# default of reference_events is the model library's.

fit <- function(x, batch, fit_events = NULL, parameters = colnames(x), @engine_settings@,
                reference_events = @reference_events@, num_threads = NULL, method = "mnn", condition = NULL) {
    call <- sys.call()
    settings <- checked_settings(mget(setting_names(), envir = environment()), num_threads, call)
    reference_events <- event_count(reference_events, "reference_events", 0, call)
    fit_events <- fit_event_count(fit_events, call)
    values <- event_matrix(x, "x", call)
    parameters <- parameter_names(parameters, call)
    method <- checked_method(method, call)
    handle <- with_program_errors(
        model_fit(values, batch, settings, settings$num_threads, reference_events, fit_events, parameters,
                  method, condition),
        call)
    model_object(handle)
}

apply_model <- function(model, x, batch, num_threads = NULL) {
    call <- sys.call()
    handle <- model_handle_of(model, call)
    num_threads <- thread_count(num_threads, call)
    values <- event_matrix(x, "x", call)
    check_columns(model, values, call)
    with_program_errors(model_apply(handle, values, batch, num_threads), call)
}

extend_model <- function(model, x, batch, fit_events = NULL, num_threads = NULL, condition = NULL) {
    call <- sys.call()
    handle <- model_handle_of(model, call)
    fit_events <- fit_event_count(fit_events, call)
    num_threads <- thread_count(num_threads, call)
    values <- event_matrix(x, "x", call)
    check_columns(model, values, call)
    model_object(with_program_errors(model_extend(handle, values, batch, num_threads, fit_events, condition),
                                     call))
}

save_model <- function(model, path) {
    call <- sys.call()
    handle <- model_handle_of(model, call)
    if (!is.character(path) || length(path) != 1L || is.na(path) || !nzchar(path)) {
        refuse(sprintf("path must be the name of one model file, not %s.", shown(path)), call)
    }
    with_program_errors(model_save(handle, enc2native(path.expand(path))), call)
    invisible(path)
}

load_model <- function(path) {
    call <- sys.call()
    file <- existing_file(path, "model file", call)
    model_object(with_program_errors(model_load(enc2native(file)), call))
}

print.pairmend_model <- function(x, ...) {
    cat(format(x, ...), sep = "\n")
    invisible(x)
}

format.pairmend_model <- function(x, ...) {
    settings <- vapply(names(x$settings), function(key) {
        value <- x$settings[[key]]
        paste(key, "=", if (is.character(value)) sprintf("\"%s\"", value) else format(value, scientific = FALSE))
    }, character(1))
    batches <- sprintf("\"%s\"", x$batches)
    batches[1] <- paste(batches[1], "(the first reference)")
    fields <- list("batches in merge order" = batches, "events fitted" = x$fitted_events,
                   "mutual pairs" = if (length(x$num_pairs)) x$num_pairs else "none",
                   "parameters" = x$parameters, "settings" = settings)
    if (!is.null(x$fcs)) {
        fields[["FCS channels"]] <- ifelse(is.na(x$fcs$labels), x$fcs$names,
                                           sprintf("%s (%s)", x$fcs$labels, x$fcs$names))
        if (is.null(x$fcs$transforms)) {
            fields[["arcsinh cofactor"]] <- x$fcs$cofactor
        } else {
            fields[["transforms"]] <- x$fcs$transforms
        }
    }
    labels <- paste0(names(fields), ":")
    width <- max(nchar(labels))
    lines <- unlist(Map(function(label, items) {
        wrapped(listed(items), sprintf("  %-*s ", width, label))
    }, labels, fields), use.names = FALSE)
    header <- sprintf("A pairmend correction model of %d batches and %d parameters", length(x$batches),
                      length(x$parameters))
    if (!model_loaded(.subset2(x, "handle"))) {
        lines <- c(lines, strwrap(paste("Its correction is not in memory: a model read back by readRDS() or load(),",
                                        "or kept from an earlier R session, holds only this description.",
                                        "Read the model with load_model() from a file written by save_model()."),
                                  width = 100L, prefix = "  "))
    }
    c(header, lines)
}

# A model is never changed: a new one is made by extend_model().
`$<-.pairmend_model` <- function(x, name, value) {
    refuse_change()
}

`[[<-.pairmend_model` <- function(x, i, value) {
    refuse_change()
}

`[<-.pairmend_model` <- function(x, i, value) {
    refuse_change()
}

refuse_change <- function() {
    refuse("A correction model cannot be changed; extend_model() makes a new model with more batches.", NULL)
}

# The R object of a model handle: what the model holds, and the handle.
model_object <- function(handle) {
    structure(c(model_fields(handle), list(handle = handle)), class = "pairmend_model")
}

# The handle of a model that is in memory; anything else is refused.
model_handle_of <- function(model, call) {
    if (!inherits(model, "pairmend_model")) {
        refuse(sprintf("model must be a correction model made by fit(), extend_model() or load_model(), not %s.",
                       shown(class(model)[1])), call)
    }
    handle <- .subset2(model, "handle")
    with_program_errors(model_check(handle), call)
    handle
}

# The most events R counts exactly in a double.
max_events <- 2^53

event_count <- function(value, name, minimum, call) {
    if (!single_number(value) || !is.finite(value) || value != trunc(value) || value < minimum ||
        value > max_events) {
        refuse(sprintf("%s must be a single whole number from %d to %.0f, not %s.", name, minimum, max_events,
                       shown(value)), call)
    }
    as.double(value)
}

# fit_events as the model library takes it: 0 fits on every event.
fit_event_count <- function(value, call) {
    if (is.null(value)) {
        return(0)
    }
    if (!single_number(value) || !is.finite(value) || value != trunc(value) || value < 1 || value > max_events) {
        refuse(sprintf("fit_events must be NULL or a whole number from 1 to %.0f, not %s.", max_events,
                       shown(value)), call)
    }
    as.double(value)
}

parameter_names <- function(parameters, call) {
    if (is.null(parameters)) {
        return(NULL)
    }
    if (!is.character(parameters) || anyNA(parameters)) {
        refuse(sprintf("parameters must be NULL or texts naming the columns of x, not %s.", shown(parameters)), call)
    }
    parameters
}

# Refuses x when its columns are named and the names are not the model's parameters in the
# model's order, which would correct each value as another parameter. Columns without a name
# (NA or "") and models whose parameters were never named (p1, p2, ...) are not compared.
check_columns <- function(model, values, call) {
    columns <- colnames(values)
    expected <- model$parameters
    if (is.null(columns) || length(columns) != length(expected) ||
        identical(expected, paste0("p", seq_along(expected)))) {
        return(invisible())
    }
    named <- !is.na(columns) & nzchar(columns)
    differ <- which(named & columns != expected)
    if (length(differ)) {
        j <- differ[1]
        refuse(sprintf(paste("Column %d of x is named \"%s\", but the model's parameter %d is \"%s\".",
                             "Give x the model's parameters in the model's order (x[, model$parameters]),",
                             "or, if its columns hold them under other names, name them so",
                             "(colnames(x) <- model$parameters)."),
                       j, columns[j], j, expected[j]), call)
    }
    invisible()
}

# At most 12 entries of a long list, and how many more there are.
listed <- function(values, most = 12L) {
    values <- as.character(values)
    if (length(values) <= most) {
        return(values)
    }
    c(values[seq_len(most)], sprintf("... and %d more", length(values) - most))
}

# Items joined by commas in lines of at most `width` characters, breaking only between items: the
# first line starts with `initial`, the others with as many spaces.
wrapped <- function(items, initial, width = 100L) {
    items <- paste0(items, c(rep(",", length(items) - 1L), ""))
    lines <- character()
    line <- initial
    for (item in items) {
        if (nchar(line) > nchar(initial) && nchar(line) + 1L + nchar(item) > width) {
            lines <- c(lines, line)
            line <- strrep(" ", nchar(initial))
        }
        line <- paste0(line, if (nchar(line) > nchar(initial)) " " else "", item)
    }
    c(lines, line)
}
