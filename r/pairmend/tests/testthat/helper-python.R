# Runs Python on events shared through files: `values` goes to FOLDER/values.bin (doubles, events by
# rows, little-endian); the script's lines follow a preamble that imports pairmend and reads them back
# as `values` (and `folder`). Returns the script's exit status.
run_python_on <- function(python, values, folder, lines) {
    writeBin(as.vector(t(values)), file.path(folder, "values.bin"), endian = "little")
    preamble <- c("import sys, numpy as np, pairmend",
                  "folder, ndim = sys.argv[1], int(sys.argv[2])",
                  "values = np.fromfile(folder + '/values.bin', dtype='<f8').reshape(-1, ndim)")
    writeLines(c(preamble, lines), file.path(folder, "run.py"))
    system2(python, c(file.path(folder, "run.py"), folder, ncol(values)))
}

# Events a Python script wrote to FOLDER/NAME as little-endian doubles, in the shape of `like`.
read_python_values <- function(folder, name, like) {
    matrix(readBin(file.path(folder, name), "double", length(like), endian = "little"), ncol = ncol(like),
           byrow = TRUE)
}
