\name{pairmend-package}
\alias{pairmend-package}
\alias{pairmend}
\docType{package}
\title{Batch correction of cytometry events by mutual nearest neighbours}
\description{
The correction engine of the \code{pairmend} program for R: \code{\link{correct}} for matrices of
events by parameters, \code{\link{correct_sce}} for SingleCellExperiment objects and
\code{\link{read_fcs}} for FCS files. Settings, defaults, checks and messages are the program's,
and the same values and settings give the same corrected values.
}
