# read_fcs(): the first data set of an FCS file.

read_fcs <- function(path) {
    call <- sys.call()
    file <- existing_file(path, "FCS file", call)
    fcs <- with_program_errors(fcs_read(enc2native(file)), call)
    if (fcs$more_data_sets) {
        warning(sprintf("The file %s holds further data sets; read_fcs read the first only.", path), call. = FALSE)
    }
    fcs[c("values", "labels", "keywords")]
}
