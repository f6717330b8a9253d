\name{extend_model}
\alias{extend_model}
\title{Add batches to a correction model}
\description{
Corrects new batches onto the corrected reference events a model keeps and returns a new model
that holds the model's batches unchanged and the new ones after them. The model itself is not
changed, so events of the earlier batches correct to the same values with either model.
}
\usage{
extend_model(model, x, batch, fit_events = NULL, num_threads = NULL, condition = NULL)
}
\arguments{
  \item{model}{A model made by \code{\link{fit}}, \code{extend_model} or \code{\link{load_model}}
    that keeps reference events (\code{reference_events} above 0 at the fit).}
  \item{x}{The events of the new batches, by the model's parameters in its order, as for
    \code{\link{apply_model}}.}
  \item{batch}{One label per event; no label may name a batch the model holds. The new batches
    join the model's reference one after another in automatic order, their numbering (as
    \code{\link{correct}} numbers labels) breaking ties.}
  \item{fit_events}{\code{NULL} to learn from every event, or the most events to learn from per new
    batch, as for \code{\link{fit}}.}
  \item{num_threads}{Engine threads, as for \code{\link{correct}}.}
  \item{condition}{One condition label per event of the new batches, as for \code{\link{correct}}:
    needed when the model was learnt with conditions, refused when it was learnt without.}
}
\details{
The new model keeps the settings of \code{model}, and of the reference events the old ones and
the new batches' corrected events, evenly spread, up to the model's \code{reference_events}.
Ctrl-C stops \code{extend_model()} as it stops \code{\link{fit}}.
}
\value{A new model (see \code{\link{fit}}).}
\section{Errors}{
Errors are conditions of class \code{pairmend_error}: a batch the model already holds, no events,
a number of columns that differs from the model's parameters, named columns that are not the
model's parameters in its order, a value that is not finite, a model that keeps no reference
events, a new batch that shares no mutual nearest neighbours with the reference, and a model that
is not in memory.
}
\seealso{\code{\link{fit}}, \code{\link{apply_model}}.}
\examples{
set.seed(3)
x <- matrix(rnorm(3600), ncol = 3) + rep(c(0, 1, 0.5), each = 400)
batch <- rep(c("week 1", "week 2", "week 3"), each = 400)
first <- fit(x[1:800, ], batch[1:800])
second <- extend_model(first, x[801:1200, ], batch[801:1200])
second$batches
identical(apply_model(second, x[1:800, ], batch[1:800]), apply_model(first, x[1:800, ], batch[1:800]))
}
