# read_fcs(): the first data set of an FCS file.

read_fcs <- function(path, compensation = "auto", transforms = NULL) {
    call <- sys.call()
    if (!is.character(compensation) || length(compensation) != 1L || is.na(compensation) || !nzchar(compensation)) {
        refuse(sprintf('compensation must be "auto", "none" or the name of a CSV file, not %s.', shown(compensation)),
               call)
    }
    if (!compensation %in% c("auto", "none")) {
        compensation <- enc2native(path.expand(compensation))
    }
    transforms_file <- ""
    channels <- character()
    specs <- character()
    if (is.character(transforms) && length(transforms) == 1L && is.null(names(transforms)) && !is.na(transforms)) {
        transforms_file <- enc2native(path.expand(transforms))
    } else if (!is.null(transforms)) {
        if (!(is.character(transforms) || is.list(transforms)) || length(transforms) == 0L || is.null(names(transforms)) ||
            any(!nzchar(names(transforms))) ||
            !all(vapply(transforms, function(x) is.character(x) && length(x) == 1L && !is.na(x), logical(1)))) {
            refuse(sprintf(paste("transforms must be NULL, the name of a transforms file or a named character vector",
                                 'of channel = "transform parameters", not %s.'), shown(transforms)), call)
        }
        channels <- enc2utf8(names(transforms))
        specs <- enc2utf8(as.character(unlist(transforms, use.names = FALSE)))
    }
    file <- existing_file(path, "FCS file", call)
    fcs <- with_program_errors(fcs_read(enc2native(file), compensation, transforms_file, channels, specs), call)
    if (fcs$more_data_sets) {
        warning(sprintf("The file %s holds further data sets; read_fcs read the first only.", path), call. = FALSE)
    }
    fcs[c("values", "labels", "keywords", "compensation")]
}
