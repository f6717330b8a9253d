#ifndef ANNOY_SINGLE_THREADED_BUILD_POLICY_HPP
#define ANNOY_SINGLE_THREADED_BUILD_POLICY_HPP

namespace Annoy {

/**
 * Build policy that makes every tree on the calling thread, one after another, from a single
 * generator sequence; the requested thread count is ignored. Parallelism in this system comes
 * from building the forests of different batches at once, not from one forest's trees.
 *
 * Thread safety: stateless; the forest being built must not be used by other threads meanwhile.
 */
struct AnnoyIndexSingleThreadedBuildPolicy {
    /// Builds `q` trees (-1: until the nodes number twice the items) of `index` on this thread.
    template <typename Index>
    static void build(Index& index, int q, int /* n_threads */) {
        index.thread_build(q, 0);
    }
};

} // namespace Annoy

#endif
