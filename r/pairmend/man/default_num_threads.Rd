\name{default_num_threads}
\alias{default_num_threads}
\title{The engine threads used by default}
\description{
The engine threads that \code{\link{correct}} uses when \code{num_threads} is \code{NULL}, as the
program chooses them: half of what OpenMP offers (\env{OMP_NUM_THREADS}, or the processor count),
at least one.
}
\usage{
default_num_threads()
}
\value{A whole number of at least 1.}
