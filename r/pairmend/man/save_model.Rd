\name{save_model}
\alias{save_model}
\alias{load_model}
\title{Write and read correction model files}
\description{
\code{save_model} writes a model to a model file (\file{.pmm}); \code{load_model} reads one. The
files are those of \code{pairmend-fcs} and of the Python module (\code{Model.save},
\code{pairmend.load_model}): a model saved in any of them is read by the others and corrects to
the same values.
}
\usage{
save_model(model, path)
load_model(path)
}
\arguments{
  \item{model}{A model made by \code{\link{fit}}, \code{\link{extend_model}} or \code{load_model}.}
  \item{path}{The name of the model file.}
}
\details{
\code{save_model} writes the file completely under a temporary name in the same folder and then
gives it its name, so a failed write leaves no file behind and an earlier file of that name as it
was. \code{load_model} checks the file's signature, format version, length and checksum and every
part of the model before using any of it.

This is the way to keep a model: \code{saveRDS()}, \code{save()} and a saved workspace keep only
its description (see \code{\link{fit}}, \sQuote{Keeping a model}).
}
\value{\code{save_model}: \code{path}, invisibly. \code{load_model}: the model (see
\code{\link{fit}}).}
\section{Errors}{
Errors are conditions of class \code{pairmend_error} that name the file: no file at \code{path},
a file that cannot be read or written, and a file that is truncated, corrupt, of a newer format
version or not a model file.
}
\seealso{\code{\link{fit}}.}
\examples{
set.seed(4)
x <- matrix(rnorm(2400), ncol = 3) + rep(c(0, 1), each = 400)
batch <- rep(1:2, each = 400)
model <- fit(x, batch)
path <- tempfile(fileext = ".pmm")
save_model(model, path)
identical(apply_model(load_model(path), x, batch), apply_model(model, x, batch))
}
