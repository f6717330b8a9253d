\name{read_fcs}
\alias{read_fcs}
\title{Read an FCS file}
\description{
Reads the first data set of a list-mode FCS file (FCS 2.0, 3.0 or 3.1) with the reader of
\code{pairmend-fcs}.
}
\usage{
read_fcs(path, compensation = "auto", transforms = NULL)
}
\arguments{
  \item{path}{The file's name.}
  \item{compensation}{\code{"auto"} (the file's own spillover matrix from \code{$SPILLOVER},
    \code{SPILL}, \code{$SPILL} or \code{$DFCiTOj}; none for a mass cytometer's file or one
    without a usable matrix), \code{"none"}, or the name of a CSV file of a spillover matrix (a
    header of channel names, then one row per channel): the values are compensated as
    \code{pairmend-fcs --compensation} compensates the file.}
  \item{transforms}{\code{NULL} (no channel transformed), the name of a transforms file as
    \code{pairmend-fcs --transforms} reads it (a header, then \code{channel,transform,parameters}
    lines), or a named character vector of channel (\code{$PnN} or \code{$PnS}) to transform and
    parameters, such as \code{c(CD3 = "arcsinh 150", CD4 = "logicle 262144 0.5 4.5 0", CD8 = "linear")}:
    the channels it names are transformed after compensation as \code{pairmend-fcs} transforms
    them; the others stay on the linear scale.}
}
\value{
A list:
  \item{values}{A double matrix of events (rows) by channels (columns) on the linear scale, column
    names the channels' short names (\code{$PnN}). Values of log-amplified integer channels are
    converted as the standard says; every other value is returned as stored. Compensated values
    are the linear values of the matrix's channels times the inverse of the matrix. The channels
    that \code{transforms} names are on their transform's scale.}
  \item{labels}{The channels' marker or long names (\code{$PnS}), named by \code{$PnN};
    \code{NA} where a channel has none.}
  \item{keywords}{Every TEXT keyword as a named character vector, names as written in the file;
    of a keyword given twice, the first counts. Texts that are not UTF-8 (older files) are read as
    Latin-1. NUL characters, which R texts cannot hold, are left out.}
  \item{compensation}{The matrix the values were compensated with, as \code{pairmend-fcs} names
    it in \code{PAIRMEND_COMPENSATION}; \code{""} when they were not.}
}
\details{
A warning says so when the file holds further data sets, which are not read.
}
\section{Errors}{
An error of class \code{pairmend_error} when there is no file at \code{path}, and naming the file
and what is wrong when it is not a readable FCS file, or when a matrix file cannot be read or names
a channel the file lacks, or when a transform cannot be used (naming its line).
}
