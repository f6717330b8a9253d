\name{correct}
\alias{correct}
\title{Correct batch effects of cytometry events by mutual nearest neighbours}
\description{
Moves the events of every batch onto a common reference with the correction engine of the
\code{pairmend} program. The same values and settings give the same corrected values as a job of
the program, its Python module and \code{pairmend-fcs}.
}
\usage{
correct(x, batch, @engine_settings@, num_threads = NULL, method = "mnn", condition = NULL)
}
\arguments{
  \item{x}{A numeric (double or integer) matrix of events (rows) by parameters (columns), for
    example arcsinh-transformed intensities. A data frame of numeric columns and other
    two-dimensional objects (\code{Matrix}, \code{DelayedArray}) are turned into a matrix first.
    Every value must be finite: \code{NA}, \code{NaN} and \code{Inf} are refused.}
  \item{batch}{One batch label per event: whole numbers, texts or a factor. At least two labels
    must differ; \code{NA} is refused. See \sQuote{Batch numbering}.}
  \item{num_neighbors}{Neighbours used to find mutual pairs and to average the corrections; at
    least 1.}
  \item{num_mads}{Distance limit, in median absolute deviations, for the neighbours that
    contribute to a correction.}
  \item{robust_iterations}{Rounds of trimming outlying correction vectors; at least 0.}
  \item{robust_trim}{Share of correction vectors trimmed in each round, from 0 to 1.}
  \item{approximate}{\code{TRUE} for an approximate neighbour search (a random-projection forest)
    instead of the exact one. It is rarely faster; see docs/job-file.md.}
  \item{automatic_order}{\code{TRUE}: after the first reference, merge the batch with the most
    mutual pairs next; \code{FALSE}: merge the batches in the order of their numbering.}
  \item{reference_policy}{The first reference: \code{"Input"} (the first batch of the numbering),
    \code{"MaxSize"} (most events), \code{"MaxVariance"} (largest total variance) or
    \code{"MaxRSS"} (largest residual sum of squares); case-sensitive.}
  \item{num_threads}{Engine threads; \code{NULL} uses \code{\link{default_num_threads}()}. The
    thread count never changes a result. A count above the number of processors or OpenMP's
    maximum, whichever is larger, is cut to that number.}
  \item{method}{The correction method, one of \code{\link{correction_methods}()}: \code{"mnn"} (the
    default, the program's mutual nearest-neighbour correction) or \code{"curves"} (per-channel
    curves matched population by population, then a smooth local field; the settings above choose
    the merge order and match the populations). See docs/methods.md.}
  \item{condition}{\code{NULL}, or one condition label per event (integer, double, character or
    factor): the biological group or kind of sample (\code{"mock"}, \code{"virus"},
    \code{"anchor"}). Each merge then learns only from the events of the conditions that both the
    batch and the batches merged before it hold, and corrects every event of the batch with that; a
    batch that shares no condition with the others is refused. See docs/models.md.}
}
\details{
The settings and their defaults are those of the program's job file (\code{engine_defaults()}).

\subsection{Batch numbering}{
The labels are numbered in ascending order, as the program numbers the labels of its input table:
numbers by value (2 before 10), texts by their bytes in UTF-8 (the C locale's order, whatever R's
collation: \code{"B"} before \code{"a"}, \code{"10"} before \code{"2"}), and a factor by the order
of its levels (unused levels are skipped). The numbering picks the first reference under
\code{reference_policy = "Input"}, gives the merge order when \code{automatic_order} is
\code{FALSE}, and breaks ties in the automatic order.
}

\subsection{Interrupting}{
Ctrl-C (Escape in a GUI) stops the call while the input is read and, during the correction,
between the engine's phases: after the first neighbour indices are built, and before and after each
batch's correction. Nothing is returned and the session stays usable.
}
}
\value{
A list:
  \item{corrected}{A double matrix of the shape of \code{x} with its dimnames: the corrected
    events in input order.}
  \item{merge_order}{The batch labels in the order in which the batches joined the reference, the
    first reference first, of the kind of \code{batch} (integer, double, character, or a factor
    with the levels of \code{batch}).}
  \item{num_pairs}{The mutual nearest-neighbour pairs found at each merge step after the first.}
  \item{settings}{Every setting the engine ran with, the thread count included.}
}
\section{Errors}{
Errors are conditions of class \code{pairmend_error} with the program's messages: a value that is
not finite (named by its row and column and their names), a single batch, a batch label that is
\code{NA} or not a whole number, as many labels as events, \code{num_neighbors} at least 1,
\code{robust_trim} from 0 to 1, \code{robust_iterations} at least 0, the four reference policies,
and a batch that shares no mutual nearest neighbours with the batches merged before it.
}
\seealso{\code{\link{correct_sce}} for SingleCellExperiment objects; \code{\link{fit}} for a
correction model that corrects more events later.}
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
result <- correct(x, batch, reference_policy = "Input")
result$merge_order
colMeans(result$corrected[batch == "day 2", ]) - colMeans(x[batch == "day 1", ])
}
