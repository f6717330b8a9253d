# read_fcs() on FCS files written by the tests.

test_that("a float file gives its values, names, labels and keywords", {
    values <- rbind(c(1.5, -2.25, 1000), c(0, 3.75, 65536), c(-0.5, 7, 12.125))
    path <- write_fcs_file(fcs_bytes(values, c("FSC-A", "FL1-A", "Time"), labels = c(NA, "CD3", NA),
                                     keywords = list("$CYT" = "Test cytometer", "COMMENT" = "first",
                                                     "COMMENT" = "second", "UNIT" = "\u00b5m")))
    fcs <- read_fcs(path)
    expect_identical(fcs$values, unname(values) |> `colnames<-`(c("FSC-A", "FL1-A", "Time")))
    expect_identical(fcs$labels, c("FSC-A" = NA, "FL1-A" = "CD3", "Time" = NA))
    expect_identical(fcs$keywords[["$CYT"]], "Test cytometer")
    expect_identical(fcs$keywords[["$P2S"]], "CD3")
    # Of a keyword given twice, the first counts.
    expect_identical(fcs$keywords[["COMMENT"]], "first")
    expect_identical(sum(names(fcs$keywords) == "COMMENT"), 1L)
    expect_identical(fcs$keywords[["UNIT"]], "\u00b5m")
    expect_identical(Encoding(fcs$keywords[["UNIT"]]), "UTF-8")
})

test_that("log-amplified integers are put on the linear scale and Latin-1 texts are read", {
    values <- rbind(c(512, 300), c(0, 1023), c(768, 7))
    # An older file's text in Latin-1: the byte 0xB5 is the micro sign.
    latin1 <- iconv("\u00b5m", "UTF-8", "latin1")
    for (version in c("FCS3.0", "FCS2.0")) {
        path <- write_fcs_file(fcs_bytes(values, c("FL2-H", "SSC-H"), labels = c(latin1, NA), version = version,
                                         datatype = "I", amplification = c("4,1", "0,0")))
        fcs <- read_fcs(path)
        # 10^(4 * value / 1024) for the log channel, the stored value for the linear one.
        expect_equal(fcs$values[, "FL2-H"], 10^(4 * values[, 1] / 1024), tolerance = 1e-12)
        expect_identical(fcs$values[, "SSC-H"], values[, 2])
        expect_identical(fcs$labels[["FL2-H"]], "\u00b5m")
    }
})

test_that("read_fcs warns of further data sets and refuses what it cannot read", {
    values <- rbind(c(1, 2), c(3, 4))
    bytes <- fcs_bytes(values, c("A", "B"), nextdata = "500")
    expect_warning(fcs <- read_fcs(write_fcs_file(bytes)), "holds further data sets; read_fcs read the first only")
    expect_identical(unname(fcs$values), values)

    missing <- file.path(tempdir(), "no-such-file.fcs")
    expect_error(read_fcs(missing), paste0("There is no FCS file at ", missing, "."), fixed = TRUE,
                 class = "pairmend_error")
    expect_error(read_fcs(tempdir()), "There is no FCS file at", fixed = TRUE)
    expect_error(read_fcs(c("a.fcs", "b.fcs")), "path must be the name of one FCS file", fixed = TRUE)

    complete <- fcs_bytes(values, c("A", "B"))
    cut_short <- write_fcs_file(complete[seq_len(length(complete) - 5)])
    error <- tryCatch(read_fcs(cut_short), error = function(e) e)
    expect_s3_class(error, "pairmend_error")
    expect_match(conditionMessage(error), paste0("The file ", cut_short, " is cut short"), fixed = TRUE)
    not_fcs <- write_fcs_file(charToRaw("event,value\n1,2\n"))
    expect_match(conditionMessage(tryCatch(read_fcs(not_fcs), error = function(e) e)), paste0("The file ", not_fcs))
})

test_that("read_fcs compensates with the file's own matrix or a matrix file, as pairmend-fcs does", {
    values <- rbind(c(10, 100, 20), c(20, 50, 400), c(30, -5, 7))
    spill <- rbind(c(1, 0.25), c(0.1, 1))
    path <- write_fcs_file(fcs_bytes(values, c("Time", "FL1-A", "FL2-A"),
                                     keywords = list("$CYT" = "LSRFortessa",
                                                     "$SPILLOVER" = "2,FL1-A,FL2-A,1,0.25,0.1,1")))
    measured <- read_fcs(path, compensation = "none")
    compensated <- read_fcs(path)
    expect_identical(measured$compensation, "")
    expect_identical(compensated$compensation, "the file's $SPILLOVER (2 channels: FL1-A, FL2-A)")
    expect_equal(compensated$values[, 2:3] %*% spill, measured$values[, 2:3], tolerance = 1e-12,
                 ignore_attr = TRUE)
    expect_identical(compensated$values[, "Time"], measured$values[, "Time"])

    matrix_file <- tempfile(fileext = ".csv")
    writeLines(c("FL2-A,FL1-A", "1,0.5", "0,1"), matrix_file)
    given <- read_fcs(path, compensation = matrix_file)
    expect_equal(given$values[, "FL1-A"] + 0.5 * given$values[, "FL2-A"], measured$values[, "FL1-A"], tolerance = 1e-12)
    writeLines(c("FL2-A,FL9-A", "1,0.5", "0,1"), matrix_file)
    expect_error(read_fcs(path, compensation = matrix_file), "names the channel FL9-A, which", fixed = TRUE)
    expect_error(read_fcs(path, compensation = NA), "compensation must be", fixed = TRUE)
})

test_that("read_fcs transforms the channels it is given as pairmend-fcs does, from a file or a named vector", {
    values <- cbind(c(1, 2, 3), c(-40, 150, 90000), c(10, 2000, 262000))
    path <- write_fcs_file(fcs_bytes(values, c("Time", "FL1-A", "FL2-A"), labels = c(NA, "CD3", "CD4"),
                                     ranges = c("1024", "262144", "262144")))
    linear <- read_fcs(path)$values
    by_vector <- read_fcs(path, transforms = c(CD3 = "arcsinh 150", "FL2-A" = "logicle"))$values
    sheet <- tempfile(fileext = ".csv")
    writeLines(c("channel,transform,parameters", "CD3,arcsinh,150", "FL2-A,logicle,"), sheet)
    expect_identical(read_fcs(path, transforms = sheet)$values, by_vector)
    expect_equal(by_vector[, "FL1-A"], asinh(linear[, "FL1-A"] / 150), tolerance = 1e-15)
    expect_identical(by_vector[, "Time"], linear[, "Time"])
    # logicle with T = $PnR: increasing, 0 at (W + A) ln 10, near the top (M + A) ln 10 at T.
    expect_true(all(diff(by_vector[, "FL2-A"]) > 0))
    expect_lt(abs(by_vector[3, "FL2-A"] - 4.5 * log(10)), 0.01)

    writeLines(c("channel,transform,parameters", "CD3,arcsinh,0"), sheet)
    expect_error(read_fcs(path, transforms = sheet), "Line 2 of the transforms file", fixed = TRUE)
    expect_error(read_fcs(path, transforms = c(CD9 = "linear")), "names the channel CD9, which none", fixed = TRUE)
    expect_error(read_fcs(path, transforms = 3), "transforms must be NULL", fixed = TRUE)
})
