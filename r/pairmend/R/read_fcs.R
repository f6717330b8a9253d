# read_fcs(): the first data set of an FCS file.

read_fcs <- function(path) {
    call <- sys.call()
    if (!is.character(path) || length(path) != 1L || is.na(path)) {
        refuse(sprintf("path must be the name of one FCS file, not %s.", shown(path)), call)
    }
    file <- path.expand(path)
    if (!file.exists(file) || dir.exists(file)) {
        refuse(sprintf("There is no FCS file at %s.", path), call)
    }
    fcs <- with_program_errors(fcs_read(enc2native(file)), call)
    if (fcs$more_data_sets) {
        warning(sprintf("The file %s holds further data sets; read_fcs read the first only.", path), call. = FALSE)
    }
    fcs[c("values", "labels", "keywords")]
}
