# correct(): the correction of a matrix of events by parameters.
#
# The settings are written by scripts/r-package from the engine's shared settings (engine_settings(),
# with the defaults of mnncorrect::Settings, the one place they are defined): it replaces
# "@engine_settings@" below with every setting's key and the default that the program's job file
# uses for it.

correct <- function(x, batch, @engine_settings@, num_threads = NULL, method = "mnn", condition = NULL) {
    call <- sys.call()
    settings <- checked_settings(mget(setting_names(), envir = environment()), num_threads, call)
    method <- checked_method(method, call)
    values <- event_matrix(x, "x", call)
    result <- run_correction(values, FALSE, batch, settings, "x", call, method, condition)
    if (method != correction_methods()[1]) {
        # The settings of another method's correction name it.
        result$settings <- c(settings, list(method = method))
    }
    result
}

# The correction methods, the default first: "mnn" and "curves".
correction_methods <- function() {
    model_methods()
}

# method as one of the methods' names; anything else is refused.
checked_method <- function(method, call) {
    methods <- model_methods()
    if (!is.character(method) || length(method) != 1L || is.na(method) || !method %in% methods) {
        refuse(sprintf("method must be one of %s, not %s.", paste(sprintf('"%s"', methods), collapse = ", "),
                       shown(method)), call)
    }
    method
}

# x as a double or integer matrix: data frames of numbers and other two-dimensional objects
# (Matrix, DelayedArray) become matrices; anything else is refused.
event_matrix <- function(x, name, call) {
    if (is.data.frame(x)) {
        numeric <- vapply(x, function(column) is.numeric(column) && !is.factor(column), logical(1))
        if (!all(numeric)) {
            refuse(sprintf("%s must hold numbers only, but its column %s is not numeric.", name,
                           shown(names(x)[!numeric][1])), call)
        }
        x <- as.matrix(x)
    } else if (!is.matrix(x) && length(dim(x)) == 2L) {
        x <- as.matrix(x)
    }
    if (!is.matrix(x)) {
        refuse(sprintf("%s must be a matrix of events (rows) by parameters (columns), not %s.", name,
                       if (is.null(dim(x))) "a vector" else paste0("an array of ", length(dim(x)), " dimensions")),
               call)
    }
    if (!storage.mode(x) %in% c("double", "integer")) {
        refuse(sprintf("%s must hold numbers, not %s values.", name, storage.mode(x)), call)
    }
    x
}

# Runs the correction (the engine's own for "mnn", a model fitted and applied for another method)
# on a checked matrix and settings and adds the settings to its result.
run_correction <- function(values, events_in_columns, batch, settings, name, call, method = "mnn",
                           condition = NULL) {
    result <- with_program_errors(
        engine_correct(values, events_in_columns, batch, settings, settings$num_threads, name, method,
                       condition),
        call)
    c(result, list(settings = settings))
}
