# Model files written in R are read by the Python module and pairmend-fcs, and theirs by R, with the
# same batches and the same corrected values. PAIRMEND_PYTHON names a Python that imports the
# module and PAIRMEND_FCS the program pairmend-fcs (scripts/test sets both); each test is skipped
# when its program is not named.

test_that("a model saved in R gives Python the same values, and one saved in Python gives R them", {
    python <- program_path("PAIRMEND_PYTHON")
    data <- shifted_batches(events_per_batch = 400L)
    values <- data$values
    batch <- c("plate 1", "plate 2", "plate \u00e9")[data$labels]
    folder <- tempfile("models")
    dir.create(folder)
    on.exit(unlink(folder, recursive = TRUE))
    writeLines(enc2utf8(batch), file.path(folder, "labels.txt"), useBytes = TRUE)
    r_model <- fit(values, batch, fit_events = 250, num_neighbors = 10)
    save_model(r_model, file.path(folder, "r.pmm"))

    status <- run_python_on(python, values, folder, c(
        "labels = open(folder + '/labels.txt', encoding='utf-8').read().splitlines()",
        "model = pairmend.load_model(folder + '/r.pmm')",
        "model.apply(values, labels).astype('<f8').tofile(folder + '/r_applied.bin')",
        "with open(folder + '/r_model.txt', 'w', encoding='utf-8') as out:",
        "    print('\\t'.join(model.batches), file=out)",
        "    print('\\t'.join(model.parameters), file=out)",
        "    print(model.settings['num_neighbors'], model.fitted_events[0], file=out)",
        "own = pairmend.fit(values, labels, fit_events=250, num_neighbors=10, parameters=['CD3', 'CD4', 'CD8', 'CD19'])",
        "own.save(folder + '/python.pmm')",
        "own.apply(values, labels).astype('<f8').tofile(folder + '/python_applied.bin')"))
    expect_identical(status, 0L)
    read_values <- function(name) read_python_values(folder, name, values)

    # Python read R's model as R holds it and corrected with it as R does.
    described <- readLines(file.path(folder, "r_model.txt"), encoding = "UTF-8")
    expect_identical(strsplit(described[1], "\t")[[1]], r_model$batches)
    expect_identical(strsplit(described[2], "\t")[[1]], r_model$parameters)
    expect_identical(described[3], "10 250")
    expect_identical(read_values("r_applied.bin"), unname(apply_model(r_model, values, batch)))

    # R reads Python's model, which is the one R fits from the same events and settings.
    python_model <- load_model(file.path(folder, "python.pmm"))
    expect_identical(python_model$batches, r_model$batches)
    expect_identical(python_model$settings, r_model$settings)
    expect_identical(unname(apply_model(python_model, values, batch)), read_values("python_applied.bin"))
    expect_identical(apply_model(python_model, values, batch), apply_model(r_model, values, batch))
})

test_that("a model fitted by pairmend-fcs is read with its channels and corrects as pairmend-fcs apply does", {
    fcs_tool <- program_path("PAIRMEND_FCS")
    folder <- tempfile("fcs-models")
    on.exit(unlink(folder, recursive = TRUE))
    study <- file.path(folder, "study")
    expect_identical(system2(program_path("PAIRMEND_SIMULATE"),
                             c("--fcs", study, "--events", "500", "--dims", "4", "--batches", "2",
                               "--files-per-batch", "1", "--seed", "3"), stdout = FALSE), 0L)
    files <- sort(list.files(study, pattern = "\\.fcs$", full.names = TRUE))
    sheet <- file.path(study, "batches.csv")
    model_path <- file.path(folder, "study.pmm")
    expect_identical(system2(fcs_tool, c("fit", "--model", model_path, "--batches", sheet, files),
                             stdout = FALSE, stderr = FALSE), 0L)
    corrected_folder <- file.path(folder, "corrected")
    expect_identical(system2(fcs_tool, c("apply", "--model", model_path, "--out", corrected_folder, "--batches",
                                         sheet, files), stdout = FALSE, stderr = FALSE), 0L)

    model <- load_model(model_path)
    expect_setequal(model$batches, c("batch1", "batch2"))
    expect_identical(model$fcs$names, c("Nd142Di", "Nd143Di", "Nd144Di", "Nd145Di"))
    expect_identical(model$fcs$labels, c("CD3", "CD4", "CD8", "CD19"))
    expect_identical(model$fcs$cofactor, 5)
    expect_true(any(grepl("arcsinh cofactor: +5", capture.output(print(model)))))

    # A file of batch 2, on the arcsinh scale, corrected in R; pairmend-fcs wrote the same values
    # back on the linear scale as 32-bit floats.
    file <- files[grepl("batch2_sample1", files)]
    fcs <- read_fcs(file)
    x <- asinh(fcs$values[, model$fcs$names] / model$fcs$cofactor)
    colnames(x) <- NULL
    corrected <- apply_model(model, x, rep("batch2", nrow(x)))
    written <- read_fcs(file.path(corrected_folder, basename(file)))$values[, paste0(model$fcs$names, "_mnn")]
    expect_equal(unname(model$fcs$cofactor * sinh(corrected)), unname(written), tolerance = 1e-6)
    expect_gt(max(abs(corrected - x)), 0.1)
})

test_that("a pairmend-fcs model keeps its transforms, and read_fcs with them gives what it corrects", {
    fcs_tool <- program_path("PAIRMEND_FCS")
    folder <- tempfile("fcs-transforms")
    on.exit(unlink(folder, recursive = TRUE))
    study <- file.path(folder, "study")
    expect_identical(system2(program_path("PAIRMEND_SIMULATE"),
                             c("--fcs", study, "--events", "500", "--dims", "3", "--batches", "2",
                               "--files-per-batch", "1", "--seed", "3"), stdout = FALSE), 0L)
    files <- sort(list.files(study, pattern = "\\.fcs$", full.names = TRUE))
    sheet <- file.path(study, "batches.csv")
    given <- c(CD3 = "logicle 20000 0.5 4.5 0", CD4 = "arcsinh 20", CD8 = "linear")
    transforms <- file.path(folder, "transforms.csv")
    writeLines(c("channel,transform,parameters", sprintf("%s,%s,%s", names(given), sub(" .*", "", given),
                                                         sub("^[a-z]+ ?", "", given))), transforms)
    model_path <- file.path(folder, "study.pmm")
    corrected_folder <- file.path(folder, "corrected")
    expect_identical(system2(fcs_tool, c("fit", "--model", model_path, "--batches", sheet, "--transforms",
                                         transforms, files), stdout = FALSE, stderr = FALSE), 0L)
    expect_identical(system2(fcs_tool, c("apply", "--model", model_path, "--out", corrected_folder, "--batches",
                                         sheet, files), stdout = FALSE, stderr = FALSE), 0L)
    model <- load_model(model_path)
    expect_identical(model$fcs$transforms, unname(given))
    expect_true(any(grepl("transforms: +logicle 20000 0.5 4.5 0", capture.output(print(model)))))

    file <- files[grepl("batch2_sample1", files)]
    x <- read_fcs(file, transforms = given)$values[, model$fcs$names]
    colnames(x) <- NULL
    corrected <- apply_model(model, x, rep("batch2", nrow(x)))
    written <- read_fcs(file.path(corrected_folder, basename(file)),
                        transforms = setNames(given, paste0(model$fcs$names, "_mnn")))$values
    expect_equal(unname(corrected), unname(written[, paste0(model$fcs$names, "_mnn")]), tolerance = 1e-5)
})
