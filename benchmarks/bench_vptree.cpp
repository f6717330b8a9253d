// Build time and 15-nearest-neighbour query rate of the exact VP tree against the exhaustive
// search, on seeded clustered points and on the real tables in the shared data folder.
//
// Run everything:           bench_vptree
// Run only the real tables: bench_vptree --benchmark_filter=table
//
// query_vptree runs queries in input order; query_vptree_locality_order runs all of them in
// the engine's locality order; query_linear_scan is the fastest simple exhaustive search (one
// pass, bounded heap), the baseline the tree has to beat; query_brute_force is the tests'
// oracle, which sorts every point.

#include "knncolle/VpTree.hpp"
#include "mnncorrect/locality_order.hpp"

#include "brute_force.hpp"
#include "point_sets.hpp"
#include "workload.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using pairmend_bench::read_table;
using pairmend_bench::Workload;

using Tree = knncolle::VpTree<knncolle::distances::Euclidean, int, double, double, double>;
using Index = knncolle::Base<int, double, double>;

constexpr int num_neighbors = 15;
constexpr int tree_queries = 1000;

/**
 * Clustered points (10 Gaussian clusters, standard deviation 1, centres uniform in [0, 10)^ndim,
 * seed 42): the first `nobs` are indexed and the next 1000, drawn from the same clusters, queried.
 * Generated once per shape and kept for all benchmarks of that shape.
 */
const Workload& clustered(int ndim, int nobs) {
    static std::map<std::pair<int, int>, std::unique_ptr<Workload>> cache;
    auto& slot = cache[{ndim, nobs}];
    if (!slot) {
        slot = std::make_unique<Workload>();
        slot->ndim = ndim;
        slot->nobs = nobs;
        std::vector<double> all = pairmend_test::clustered_points(ndim, nobs + tree_queries, 10, 1.0, 42);
        const auto split = all.begin() + static_cast<std::ptrdiff_t>(nobs) * ndim;
        slot->queries.assign(split, all.end());
        all.resize(static_cast<size_t>(nobs) * static_cast<size_t>(ndim));
        slot->stored = std::move(all);
    }
    return *slot;
}

void build_tree(benchmark::State& state, const Workload& work) {
    for (auto _ : state) {
        Tree tree(work.ndim, work.nobs, work.stored.data());
        benchmark::DoNotOptimize(tree.nodes().data());
    }
    state.counters["points"] = work.nobs;
}

/// Runs `count` queries by vector per iteration and reports queries per second and time per query.
void query(benchmark::State& state, const Index& index, const Workload& work, int count) {
    count = std::min(count, work.nqueries());
    for (auto _ : state) {
        for (int q = 0; q < count; ++q) {
            auto found = index.find_nearest_neighbors(
                work.queries.data() + static_cast<size_t>(q) * work.ndim, num_neighbors);
            benchmark::DoNotOptimize(found.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["queries"] = count;
    state.counters["s_per_query"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

/**
 * The fastest simple exhaustive search, as the baseline the tree must beat: one pass over all
 * points per query with the same distance kernel, keeping the k nearest in a bounded max-heap.
 */
void query_linear_scan(benchmark::State& state, const Workload& work, int count) {
    count = std::min(count, work.nqueries());
    const size_t width = static_cast<size_t>(work.ndim);
    std::vector<std::pair<double, int>> heap;
    for (auto _ : state) {
        for (int q = 0; q < count; ++q) {
            const double* target = work.queries.data() + static_cast<size_t>(q) * width;
            heap.clear();
            for (int i = 0; i < work.nobs; ++i) {
                const double d = knncolle::distances::Euclidean::raw_distance<double>(
                    work.stored.data() + static_cast<size_t>(i) * width, target, work.ndim);
                if (heap.size() < static_cast<size_t>(num_neighbors)) {
                    heap.emplace_back(d, i);
                    std::push_heap(heap.begin(), heap.end());
                } else if (d < heap.front().first) {
                    std::pop_heap(heap.begin(), heap.end());
                    heap.back() = {d, i};
                    std::push_heap(heap.begin(), heap.end());
                }
            }
            benchmark::DoNotOptimize(heap.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["queries"] = count;
    state.counters["s_per_query"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

/// The tree's queries as the engine runs them: all query points, in `locality_order`.
void query_in_locality_order(benchmark::State& state, const Index& index, const Workload& work) {
    const int count = work.nqueries();
    const std::vector<size_t> order =
        mnncorrect::locality_order(work.ndim, static_cast<size_t>(count), work.queries.data());
    for (auto _ : state) {
        for (const size_t q : order) {
            auto found = index.find_nearest_neighbors(
                work.queries.data() + q * static_cast<size_t>(work.ndim), num_neighbors);
            benchmark::DoNotOptimize(found.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["queries"] = count;
    state.counters["s_per_query"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

/// The exhaustive search sorts every point per query: subsample its queries to about 2e7 points visited.
int brute_force_queries(int nobs) {
    return std::max(10, std::min(tree_queries, 20000000 / std::max(nobs, 1)));
}

/// The tree and the exhaustive index over a workload, built on first use and kept, so that
/// repeated runs of a query benchmark do not rebuild them.
template <class Built>
const Built& built_over(const Workload& work) {
    static std::map<const Workload*, std::unique_ptr<Built>> cache;
    auto& slot = cache[&work];
    if (!slot) {
        slot = std::make_unique<Built>(work.ndim, work.nobs, work.stored.data());
    }
    return *slot;
}

/// Registers the three benchmarks of one workload; `supply` produces its points on first use.
void register_workload(const std::string& name, const std::function<const Workload&()>& supply) {
    benchmark::RegisterBenchmark((name + "/build_vptree").c_str(), [supply](benchmark::State& state) {
        build_tree(state, supply());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/query_vptree").c_str(), [supply](benchmark::State& state) {
        const Workload& work = supply();
        query(state, built_over<Tree>(work), work, tree_queries);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/query_vptree_locality_order").c_str(),
                                 [supply](benchmark::State& state) {
                                     const Workload& work = supply();
                                     query_in_locality_order(state, built_over<Tree>(work), work);
                                 })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/query_linear_scan").c_str(), [supply](benchmark::State& state) {
        const Workload& work = supply();
        query_linear_scan(state, work, brute_force_queries(work.nobs));
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/query_brute_force").c_str(), [supply](benchmark::State& state) {
        const Workload& work = supply();
        query(state, built_over<pairmend_test::BruteForce>(work), work, brute_force_queries(work.nobs));
    })->Unit(benchmark::kMillisecond);
}

/// Real tables by number, read once: batch 1 is indexed and the other batch queried.
const char* const table_names[] = {"cytof_all", "flow_wnv_all"};

const Workload& table(int number) {
    static std::map<int, std::unique_ptr<Workload>> cache;
    auto& slot = cache[number];
    if (!slot) {
        slot = std::make_unique<Workload>(read_table(
            table_names[number], std::string(PAIRMEND_SHARED_DATA) + "/" + table_names[number] + ".csv"));
    }
    return *slot;
}

} // namespace

int main(int argc, char** argv) {
    for (int nobs : {10000, 100000, 1000000}) {
        for (int ndim : {10, 30}) {
            register_workload("clustered/n" + std::to_string(nobs) + "/d" + std::to_string(ndim),
                              [ndim, nobs]() -> const Workload& { return clustered(ndim, nobs); });
        }
    }
    for (int number = 0; number < 2; ++number) {
        const Workload& work = table(number);
        if (work.nobs > 0 && work.nqueries() > 0) {
            register_workload(std::string("table/") + table_names[number],
                              [number]() -> const Workload& { return table(number); });
        }
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
