\name{fit}
\alias{fit}
\alias{pairmend_model}
\alias{print.pairmend_model}
\alias{format.pairmend_model}
\title{Learn a correction model of the batch effects of cytometry events}
\description{
Learns the mutual-nearest-neighbours correction of \code{x}'s batches once and returns it as a
correction model: \code{\link{apply_model}} corrects any events of those batches with it,
\code{\link{extend_model}} adds later batches without changing the earlier ones, and
\code{\link{save_model}} keeps it in a model file (\file{.pmm}), the file that \code{pairmend-fcs}
and the Python module write and read.
}
\usage{
fit(x, batch, fit_events = NULL, parameters = colnames(x), @engine_settings@,
    reference_events = @reference_events@, num_threads = NULL, method = "mnn", condition = NULL)

\method{print}{pairmend_model}(x, ...)
}
\arguments{
  \item{x}{Events by parameters, as for \code{\link{correct}}: a numeric matrix, a data frame of
    numbers or another two-dimensional object; every value finite. For \code{print}, a model.}
  \item{batch}{One batch label per event, as for \code{\link{correct}}; at least two batches.}
  \item{fit_events}{\code{NULL} to learn from every event, or the most events to learn from per
    batch: of a batch's n events, in the order of \code{x}, those at positions
    floor(i * n / fit_events) + 1 for i = 0, ..., fit_events - 1. The time and memory of the fit
    then depend on \code{fit_events}, not on the size of the data.}
  \item{parameters}{The names of \code{x}'s columns, kept in the model; \code{NULL} names them
    \code{p1}, \code{p2}, ...}
  \item{num_neighbors, num_mads, robust_iterations, robust_trim, approximate, automatic_order, reference_policy}{
    The engine's settings, as for \code{\link{correct}}, with the same defaults.}
  \item{reference_events}{The most corrected events the model keeps, evenly spread over its
    batches, to correct later batches onto with \code{\link{extend_model}}; 0 keeps none (the
    model then cannot be extended).}
  \item{num_threads}{Engine threads, as for \code{\link{correct}}. The thread count never changes
    a result.}
  \item{method}{The correction method, as for \code{\link{correct}}; the model applies and extends
    with it, and its file keeps it.}
  \item{condition}{\code{NULL}, or one condition label per event, as for \code{\link{correct}};
    the model keeps the conditions, applies without them and needs them to add batches.}
  \item{...}{Ignored.}
}
\details{
Batches are named by their labels as text (the label \code{7}, \code{7L} and \code{"7"} name the
batch \code{"7"}; a factor's labels are its levels) and numbered as \code{\link{correct}} numbers
them, so \strong{a model fitted on every event applied to those events gives the values of
\code{correct()} with the same settings, bit for bit}. The defaults in the signature are written
from the engine's shared settings (as \code{engine_defaults()} lists them) and, for
\code{reference_events}, from the model library's.

\subsection{Keeping a model}{
A model is an R list of class \code{pairmend_model} that holds an external pointer to the model
itself, which R cannot serialise: \strong{\code{saveRDS()}, \code{save()} and a saved workspace
do not keep a model}. A model read back by \code{readRDS()} or \code{load()}, or kept from an
earlier session, holds only its description, and using it is an error that says so. Keep models
with \code{\link{save_model}} and read them with \code{\link{load_model}}.
}

\subsection{Interrupting}{
Ctrl-C (Escape in a GUI) stops \code{fit()} while the input is read and between the engine's
phases: after the first neighbour indices are built, and before and after each batch's
correction. Nothing is returned and the session stays usable.
}
}
\value{
A model: a list of class \code{pairmend_model} that cannot be changed, with
  \item{batches}{The batch names in merge order, the first reference first.}
  \item{parameters}{The parameter names.}
  \item{num_pairs}{The mutual nearest-neighbour pairs of every merge step after the first.}
  \item{fitted_events}{The events each batch was fitted on, in merge order.}
  \item{settings}{The engine's settings and \code{reference_events}.}
  \item{fcs}{\code{NULL}, or for a model that \code{pairmend-fcs} fitted on FCS files, its
    channels and arcsinh cofactor: \code{names} (\code{$PnN}), \code{labels} (\code{$PnS},
    \code{NA} where a channel has none), \code{cofactor} and \code{transforms} (\code{NULL} when
    every channel is arcsinh with \code{cofactor}, or every channel's transform as
    \code{pairmend-fcs --transforms} writes it, such as \code{"logicle 262144 0.5 4.5 0"}).}
  \item{handle}{The external pointer to the model.}
Counts are integers where they fit. Printing a model shows these fields.
}
\section{Errors}{
Errors are conditions of class \code{pairmend_error}: those of \code{\link{correct}} for the
values, labels and settings, a number of \code{parameters} that differs from the columns of
\code{x}, and \code{fit_events} or \code{reference_events} that are not whole numbers in range.
}
\seealso{\code{\link{apply_model}}, \code{\link{extend_model}}, \code{\link{save_model}},
\code{\link{correct}}.}
\examples{
set.seed(1)
centres <- c(0, 6)
events <- function(shift) {
    population <- sample(2, 500, replace = TRUE)
    matrix(rnorm(1500, sd = 0.3), ncol = 3) + centres[population] + shift
}
x <- rbind(events(0), events(1))
colnames(x) <- c("CD3", "CD4", "CD8")
batch <- rep(c("day 1", "day 2"), each = 500)
model <- fit(x, batch, reference_policy = "Input")
model
identical(apply_model(model, x, batch), correct(x, batch, reference_policy = "Input")$corrected)
}
