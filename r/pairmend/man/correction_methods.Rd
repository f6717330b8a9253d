\name{correction_methods}
\alias{correction_methods}
\title{The correction methods}
\description{
The methods \code{\link{correct}} and \code{\link{fit}} take as \code{method}, the default first:
\code{"mnn"} (mutual nearest neighbours, the program's correction) and \code{"curves"} (per-channel
curves matched population by population, then a smooth local field).
}
\usage{
correction_methods()
}
\value{A character vector.}
