\name{engine_defaults}
\alias{engine_defaults}
\title{The defaults of the engine's settings}
\description{
Every setting's default by its name (the program's job-file key), from the engine's shared
settings: the defaults of \code{\link{correct}}, the program and the Python module.
}
\usage{
engine_defaults()
}
\value{A named list: \code{num_neighbors}, \code{num_mads}, \code{robust_iterations},
\code{robust_trim}, \code{approximate}, \code{automatic_order} and \code{reference_policy}.}
