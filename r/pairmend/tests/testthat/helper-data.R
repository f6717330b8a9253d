# Small simulated events for the tests that need no program: three populations measured in
# batches that are shifted against each other, with a fixed seed.
shifted_batches <- function(events_per_batch = 300L, shifts = c(0, 1, 0.5), ndim = 4L, seed = 11L) {
    set.seed(seed)
    centres <- matrix(c(0, 0, 0, 0, 6, 6, 0, 0, 0, 6, 6, 6), nrow = 3, byrow = TRUE)[, seq_len(ndim), drop = FALSE]
    values <- do.call(rbind, lapply(shifts, function(shift) {
        population <- sample(3L, events_per_batch, replace = TRUE)
        centres[population, , drop = FALSE] + shift + matrix(rnorm(events_per_batch * ndim, sd = 0.3), ncol = ndim)
    }))
    colnames(values) <- c("CD3", "CD4", "CD8", "CD19")[seq_len(ndim)]
    list(values = values, labels = rep(seq_along(shifts), each = events_per_batch))
}
