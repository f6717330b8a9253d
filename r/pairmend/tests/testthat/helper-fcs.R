# A small FCS writer for read_fcs's tests, written from the standard's layout: a HEADER with the
# segment offsets, a primary TEXT of keyword/value pairs between delimiters, and the DATA segment
# of float32 or 16-bit integer values, little-endian.

fcs_bytes <- function(values, names, labels = rep(NA_character_, length(names)), version = "FCS3.1",
                      datatype = "F", ranges = rep("1024", length(names)), amplification = rep("0,0", length(names)),
                      keywords = list(), nextdata = "0") {
    con <- rawConnection(raw(0), "wb")
    for (i in seq_len(nrow(values))) {
        if (datatype == "F") {
            writeBin(as.double(values[i, ]), con, size = 4L, endian = "little")
        } else {
            writeBin(as.integer(values[i, ]), con, size = 2L, endian = "little")
        }
    }
    data <- rawConnectionValue(con)
    close(con)

    channel_pairs <- unlist(lapply(seq_along(names), function(j) {
        p <- paste0("$P", j)
        c(setNames(names[j], paste0(p, "N")),
          if (!is.na(labels[j])) setNames(labels[j], paste0(p, "S")),
          setNames(if (datatype == "F") "32" else "16", paste0(p, "B")),
          setNames(amplification[j], paste0(p, "E")),
          setNames(ranges[j], paste0(p, "R")))
    }))
    text_of <- function(begin_data, end_data) {
        pairs <- c(if (version != "FCS2.0") c("$BEGINANALYSIS" = "0", "$ENDANALYSIS" = "0", "$BEGINSTEXT" = "0",
                                               "$ENDSTEXT" = "0", "$BEGINDATA" = begin_data, "$ENDDATA" = end_data),
                   "$BYTEORD" = "1,2", "$DATATYPE" = datatype, "$MODE" = "L", "$NEXTDATA" = nextdata,
                   "$PAR" = as.character(length(names)), "$TOT" = as.character(nrow(values)), channel_pairs)
        if (datatype == "F") pairs["$BYTEORD"] <- "1,2,3,4"
        text <- paste0("|", paste(names(pairs), pairs, sep = "|", collapse = "|"), "|")
        for (k in seq_along(keywords)) {
            text <- paste0(text, names(keywords)[k], "|", keywords[[k]], "|")
        }
        charToRaw(text)
    }
    # The DATA offsets are written in the TEXT, whose length depends on their digits: ten digits
    # each keep the TEXT's length fixed.
    text <- text_of("0000000000", "0000000000")
    begin <- 58 + length(text)
    end <- begin + length(data) - 1
    text <- text_of(sprintf("%010d", begin), sprintf("%010d", end))
    header <- charToRaw(sprintf("%-10s%8d%8d%8d%8d%8d%8d", version, 58, 57 + length(text), begin, end, 0, 0))
    c(header, text, data)
}

write_fcs_file <- function(bytes) {
    path <- tempfile(fileext = ".fcs")
    writeBin(bytes, path)
    path
}
