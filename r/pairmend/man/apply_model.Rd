\name{apply_model}
\alias{apply_model}
\title{Correct events with a correction model}
\description{
Corrects events of batches a model knows exactly as the model's fit corrected its batches' own
events.
}
\usage{
apply_model(model, x, batch, num_threads = NULL)
}
\arguments{
  \item{model}{A model made by \code{\link{fit}}, \code{\link{extend_model}} or
    \code{\link{load_model}}.}
  \item{x}{Events by parameters, the model's parameters in the model's order (see
    \sQuote{Details}): a numeric matrix, a data frame of numbers or another two-dimensional
    object; every value finite.}
  \item{batch}{One batch label per event; every label must name a batch of the model. Labels are
    compared as text, so \code{7}, \code{7L}, \code{"7"} and a factor level \code{"7"} name the
    same batch. The events may be of any number of the model's batches, in any order.}
  \item{num_threads}{Engine threads, as for \code{\link{correct}}; the thread count never changes
    a result.}
}
\details{
An event of a batch is corrected with what the fit learnt about that batch, whatever other events
are given with it, so the events of a study can be corrected in pieces (file by file) with the
same result. A model fitted on every event gives those events the values of
\code{\link{correct}} bit for bit. Events of the first reference are returned unchanged.

When \code{x}'s columns are named and the model's parameters were named at the fit, each named
column must carry the name of the model's parameter at its position; columns in another order
would be corrected as other parameters and are refused. Give \code{x[, model$parameters]}, or
rename the columns when they hold the same parameters under other names.

Ctrl-C (Escape in a GUI) stops \code{apply_model()} while the input is read and between blocks of
65,536 events of a batch. Nothing is returned and the session stays usable.
}
\value{A double matrix of the shape of \code{x} with its dimnames: the corrected events in input
order.}
\section{Errors}{
Errors are conditions of class \code{pairmend_error}: a label the model does not know (nothing is
corrected), a number of columns that differs from the model's parameters, named columns that are
not the model's parameters in its order, a value that is not finite (named by its row and column),
a model that is not in memory (see \code{\link{fit}}, \sQuote{Keeping a model}).
}
\seealso{\code{\link{fit}}, \code{\link{extend_model}}.}
\examples{
set.seed(2)
x <- matrix(rnorm(2400), ncol = 3) + rep(c(0, 1), each = 400)
colnames(x) <- c("CD3", "CD4", "CD8")
batch <- rep(1:2, each = 400)
model <- fit(x, batch, fit_events = 200)
corrected <- apply_model(model, x, batch)
# The same values for any piece of the events.
identical(apply_model(model, x[401:450, ], rep(2, 50)), corrected[401:450, ])
}
