# The engine's settings as correct() and correct_sce() take them. Each is checked for its type
# here; the engine checks the ranges with the program's own messages.

# The settings of the engine, by their job-file keys, in the order of the job file.
setting_names <- function() {
    names(engine_setting_kinds())
}

# The engine's settings of the named list `settings`, each checked for its kind, and the thread
# count.
checked_settings <- function(settings, num_threads, call) {
    kinds <- engine_setting_kinds()
    checks <- list(whole_number = whole_number, number = finite_number, flag = flag, policy = policy)
    checked <- lapply(names(kinds), function(key) checks[[kinds[[key]]]](settings[[key]], key, call))
    names(checked) <- names(kinds)
    c(checked, list(num_threads = thread_count(num_threads, call)))
}

single_number <- function(value) {
    is.numeric(value) && length(value) == 1L && !is.na(value)
}

whole_number <- function(value, name, call) {
    if (!single_number(value) || !is.finite(value) || value != trunc(value) ||
        abs(value) > .Machine$integer.max) {
        refuse(sprintf("%s must be a single whole number from -%d to %d, not %s.", name,
                       .Machine$integer.max, .Machine$integer.max, shown(value)), call)
    }
    as.integer(value)
}

finite_number <- function(value, name, call) {
    if (!single_number(value) || !is.finite(value)) {
        refuse(sprintf("%s must be a single finite number, not %s.", name, shown(value)), call)
    }
    as.double(value)
}

flag <- function(value, name, call) {
    if (!is.logical(value) || length(value) != 1L || is.na(value)) {
        refuse(sprintf("%s must be TRUE or FALSE, not %s.", name, shown(value)), call)
    }
    value
}

policy <- function(value, name, call) {
    policies <- engine_reference_policies()
    choices <- paste0(paste(policies[-length(policies)], collapse = ", "), " or ", policies[length(policies)])
    if (!is.character(value) || length(value) != 1L || is.na(value)) {
        refuse(sprintf("%s must be one of %s, not %s.", name, choices, shown(value)), call)
    }
    if (!value %in% policies) {
        # The program's message, and the names it takes.
        refuse(sprintf("%s is not a valid reference policy; use %s, spelled exactly so.", value, choices), call)
    }
    value
}

thread_count <- function(value, call) {
    if (is.null(value)) {
        return(default_num_threads())
    }
    if (!single_number(value) || !is.finite(value) || value != trunc(value) || value < 1 ||
        value > .Machine$integer.max) {
        refuse(sprintf("num_threads must be NULL or a whole number from 1 to %d, not %s.",
                       .Machine$integer.max, shown(value)), call)
    }
    # More threads than the processors or OpenMP's maximum only cost memory.
    min(as.integer(value), engine_max_threads())
}

# The engine threads used when num_threads is NULL, as the program chooses them.
default_num_threads <- function() {
    engine_default_threads()
}
