#ifndef MNNCORRECT_REFERENCE_POLICY_HPP
#define MNNCORRECT_REFERENCE_POLICY_HPP

namespace mnncorrect {

/// How the automatic merge order picks the batch that forms the first reference.
enum ReferencePolicy {
    Input = 0,       ///< batch 0
    MaxSize = 1,     ///< the batch with the most events
    MaxVariance = 2, ///< the batch with the largest total variance
    MaxRSS = 3       ///< the batch with the largest residual sum of squares
};

} // namespace mnncorrect

#endif
