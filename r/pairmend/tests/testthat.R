library(testthat)
library(pairmend)

test_check("pairmend")
