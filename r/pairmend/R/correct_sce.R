# correct_sce(): the correction of an assay of a SingleCellExperiment (or any
# SummarizedExperiment), markers by cells, stored back into the object.

correct_sce <- function(sce, batch, assay = "exprs", name = "pairmend", ..., condition = NULL) {
    call <- sys.call()
    if (!requireNamespace("SummarizedExperiment", quietly = TRUE) ||
        !requireNamespace("S4Vectors", quietly = TRUE)) {
        refuse("correct_sce needs the Bioconductor packages SummarizedExperiment and S4Vectors (Debian: r-bioc-singlecellexperiment).", call)
    }
    if (!methods::is(sce, "SummarizedExperiment")) {
        refuse(sprintf("sce must be a SingleCellExperiment (or another SummarizedExperiment), not %s.",
                       shown(class(sce)[1])), call)
    }
    if (!is.character(assay) || length(assay) != 1L || is.na(assay)) {
        refuse(sprintf("assay must be the name of an assay, not %s.", shown(assay)), call)
    }
    if (!assay %in% SummarizedExperiment::assayNames(sce)) {
        available <- SummarizedExperiment::assayNames(sce)
        refuse(sprintf("sce has no assay named %s; its assays are %s.", shown(assay),
                       quoted_list(available)), call)
    }
    if (!is.character(name) || length(name) != 1L || is.na(name) || !nzchar(name)) {
        refuse(sprintf("name must be a non-empty text, not %s.", shown(name)), call)
    }
    settings <- settings_from_dots(list(...), call)

    batch_column <- NULL
    if (is.character(batch) && length(batch) == 1L && ncol(sce) != 1L) {
        batch_column <- batch
        columns <- names(SummarizedExperiment::colData(sce))
        if (!batch_column %in% columns) {
            refuse(sprintf("colData(sce) has no column %s; its columns are %s.", shown(batch_column),
                           quoted_list(columns)), call)
        }
        batch <- SummarizedExperiment::colData(sce)[[batch_column]]
    }

    if (is.character(condition) && length(condition) == 1L && ncol(sce) != 1L) {
        columns <- names(SummarizedExperiment::colData(sce))
        if (!condition %in% columns) {
            refuse(sprintf("colData(sce) has no column %s; its columns are %s.", shown(condition),
                           quoted_list(columns)), call)
        }
        condition <- SummarizedExperiment::colData(sce)[[condition]]
    }

    data_name <- sprintf("assay \"%s\"", assay)
    values <- event_matrix(SummarizedExperiment::assay(sce, assay, withDimnames = TRUE), data_name, call)
    result <- run_correction(values, TRUE, batch, settings, data_name, call, condition = condition)

    SummarizedExperiment::assay(sce, name, withDimnames = FALSE) <- result$corrected
    S4Vectors::metadata(sce)[[name]] <- list(settings = result$settings, assay = assay,
                                             batch = batch_column, merge_order = result$merge_order,
                                             num_pairs = result$num_pairs)
    sce
}

# The settings given to correct_sce() through ..., by the names and with the defaults of correct().
settings_from_dots <- function(given, call) {
    keys <- c(setting_names(), "num_threads")
    if (length(given) && (is.null(names(given)) || any(!nzchar(names(given))))) {
        refuse(sprintf("Name every setting given to correct_sce(); the settings are %s.",
                       paste(keys, collapse = ", ")), call)
    }
    repeated <- names(given)[duplicated(names(given))]
    if (length(repeated)) {
        refuse(sprintf("The setting %s is given twice.", repeated[1]), call)
    }
    unknown <- setdiff(names(given), keys)
    if (length(unknown)) {
        refuse(sprintf("%s is not a setting of correct_sce(); the settings are %s.", shown(unknown[1]),
                       paste(keys, collapse = ", ")), call)
    }
    values <- formals(correct)[setting_names()]
    values[names(given)] <- given
    values["num_threads"] <- list(given[["num_threads"]])
    checked_settings(values, values$num_threads, call)
}

# "\"a\", \"b\"": names as messages list them.
quoted_list <- function(names) {
    if (length(names)) paste(sprintf("\"%s\"", names), collapse = ", ") else "none"
}
