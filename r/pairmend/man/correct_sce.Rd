\name{correct_sce}
\alias{correct_sce}
\title{Correct an assay of a SingleCellExperiment}
\description{
Corrects the batch effects of an assay of markers (rows) by cells (columns), as the cytometry
workflow packages keep a study (arcsinh-transformed values in the assay \code{"exprs"}), and stores
the corrected values as another assay of the object.
}
\usage{
correct_sce(sce, batch, assay = "exprs", name = "pairmend", ..., condition = NULL)
}
\arguments{
  \item{sce}{A \code{SingleCellExperiment} (any \code{SummarizedExperiment} will do).}
  \item{batch}{The name of a column of \code{colData(sce)} that holds the batch labels, or the
    labels themselves, one per cell (see \code{\link{correct}} for their numbering).}
  \item{assay}{The assay to correct: markers by cells, numeric (a sparse or delayed matrix is made
    dense first).}
  \item{name}{The name under which the result is stored, as an assay and in \code{metadata(sce)}.}
  \item{\dots}{The settings of \code{\link{correct}}, by name (\code{num_neighbors = 20}).}
  \item{condition}{\code{NULL}, the name of a column of \code{colData(sce)} that holds every
    cell's condition, or the conditions themselves (see \code{\link{correct}}).}
}
\value{
\code{sce} with two additions: the assay \code{name}, the corrected values (double, with the
dimnames of \code{assay}), and \code{metadata(sce)[[name]]}, a list of \code{settings} (every
setting used), \code{assay}, \code{batch} (the column's name, or \code{NULL} when labels were
given), \code{merge_order} and \code{num_pairs}. The input assay is not changed. When the correction
fails, an error is signalled and nothing is returned.
}
\section{Errors}{
Those of \code{\link{correct}}, a value named by its row (marker) and column (cell) of the assay,
and for a missing assay or column and an unknown setting.
}
\examples{
if (requireNamespace("SingleCellExperiment", quietly = TRUE)) {
    set.seed(1)
    exprs <- matrix(rnorm(3000, sd = 0.3), nrow = 3,
                    dimnames = list(c("CD3", "CD4", "CD8"), paste0("cell", 1:1000)))
    exprs[, 501:1000] <- exprs[, 501:1000] + 1
    sce <- SingleCellExperiment::SingleCellExperiment(
        assays = list(exprs = exprs),
        colData = S4Vectors::DataFrame(sample_batch = rep(c("A", "B"), each = 500)))
    sce <- correct_sce(sce, "sample_batch")
    S4Vectors::metadata(sce)$pairmend$merge_order
}
}
