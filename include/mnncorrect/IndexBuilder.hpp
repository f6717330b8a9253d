#ifndef MNNCORRECT_INDEX_BUILDER_HPP
#define MNNCORRECT_INDEX_BUILDER_HPP

#include "knncolle/Base.hpp"

#include <cstddef>
#include <memory>

namespace mnncorrect {

/**
 * Builds a neighbour index over `nobs` observations of `ndim` values each, stored one after
 * another at `data`. The engine calls it for every point set it wants to search.
 */
template <typename Index = int, typename Float = double>
using IndexBuilder = std::shared_ptr<knncolle::Base<Index, Float, Float>> (*)(int ndim, size_t nobs,
                                                                              const Float* data);

} // namespace mnncorrect

#endif
