\name{pairmend-package}
\alias{pairmend-package}
\alias{pairmend}
\docType{package}
\title{Batch correction of cytometry events by mutual nearest neighbours}
\description{
The correction engine of the \code{pairmend} program for R: \code{\link{correct}} for matrices of
events by parameters, \code{\link{correct_sce}} for SingleCellExperiment objects,
\code{\link{read_fcs}} for FCS files, and correction models: \code{\link{fit}} learns a
correction once, \code{\link{apply_model}} corrects more events with it,
\code{\link{extend_model}} adds batches and \code{\link{save_model}} and \code{\link{load_model}}
keep it in a model file (\code{saveRDS()} does not keep a model). Settings, defaults, checks and
messages are the program's, and the same values and settings give the same corrected values.
}
