# read_fcs(): the first data set of an FCS file.

read_fcs <- function(path, compensation = "auto") {
    call <- sys.call()
    if (!is.character(compensation) || length(compensation) != 1L || is.na(compensation) || !nzchar(compensation)) {
        refuse(sprintf('compensation must be "auto", "none" or the name of a CSV file, not %s.', shown(compensation)),
               call)
    }
    if (!compensation %in% c("auto", "none")) {
        compensation <- enc2native(path.expand(compensation))
    }
    file <- existing_file(path, "FCS file", call)
    fcs <- with_program_errors(fcs_read(enc2native(file), compensation), call)
    if (fcs$more_data_sets) {
        warning(sprintf("The file %s holds further data sets; read_fcs read the first only.", path), call. = FALSE)
    }
    fcs[c("values", "labels", "keywords", "compensation")]
}
