// Build time, 15-nearest-neighbour query rate and recall of the approximate forest index
// against the exhaustive search, on seeded clustered points (10^4 to 10^6 points in 10 and
// 30 dimensions) and on the real tables in the shared data folder (batch 1 indexed, the
// other batch queried).
//
// Run everything:            bench_annoy
// Only the smaller sizes:    bench_annoy --benchmark_filter='/(10000|100000)/'
// Only the real tables:      bench_annoy --benchmark_filter=table

#include "knncolle/Annoy.hpp"

#include "brute_force.hpp"
#include "point_sets.hpp"
#include "workload.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using pairmend_bench::read_table;
using pairmend_bench::Workload;

using Forest = knncolle::Annoy<Annoy::Euclidean, int, double, double, int, float>;
using Index = knncolle::Base<int, double, double>;

constexpr int num_neighbors = 15;
constexpr int forest_queries = 1000; // queries per timed iteration of the forest
constexpr int recall_queries = 200;  // queries checked against the exhaustive search

/// A workload with its indices, built on first use. Only one is kept at a time, as the
/// largest ones need about a gigabyte each.
struct Prepared {
    const Workload* work = nullptr;
    std::unique_ptr<Forest> forest;
    std::unique_ptr<pairmend_test::BruteForce> brute;
    std::vector<knncolle::NeighborList<int, double>> truth; // exact answers of the first recall queries
};

Prepared& prepared(const Workload& work) {
    static Prepared slot;
    if (slot.work != &work) {
        slot = Prepared{};
        slot.work = &work;
    }
    return slot;
}

const Forest& forest_of(const Workload& work) {
    Prepared& p = prepared(work);
    if (!p.forest) {
        p.forest = std::make_unique<Forest>(work.ndim, work.nobs, work.stored.data(), 50, -1.0);
    }
    return *p.forest;
}

const pairmend_test::BruteForce& brute_of(const Workload& work) {
    Prepared& p = prepared(work);
    if (!p.brute) {
        p.brute = std::make_unique<pairmend_test::BruteForce>(work.ndim, work.nobs, work.stored.data());
    }
    return *p.brute;
}

/// Share of the exact 15 nearest neighbours that the forest finds, over the first 200 queries.
double recall_of(const Workload& work) {
    Prepared& p = prepared(work);
    const int count = std::min(recall_queries, work.nqueries());
    if (p.truth.empty()) {
        const auto& brute = brute_of(work);
        for (int q = 0; q < count; ++q) {
            p.truth.push_back(brute.find_nearest_neighbors(work.query(q), num_neighbors));
        }
    }
    const auto& forest = forest_of(work);
    size_t found = 0;
    size_t wanted = 0;
    for (int q = 0; q < count; ++q) {
        const auto approx = forest.find_nearest_neighbors(work.query(q), num_neighbors);
        for (const auto& entry : approx) {
            for (const auto& exact : p.truth[static_cast<size_t>(q)]) {
                found += (entry.first == exact.first);
            }
        }
        wanted += p.truth[static_cast<size_t>(q)].size();
    }
    return wanted == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(wanted);
}

/// Clustered points (10 Gaussian clusters, standard deviation 1, centres in [0, 10)^ndim, seed 42):
/// the first `nobs` are indexed, the next 1000 (from the same clusters) are queries.
Workload clustered(int ndim, int nobs) {
    Workload out;
    out.name = "clustered/" + std::to_string(nobs) + "/" + std::to_string(ndim);
    out.ndim = ndim;
    out.nobs = nobs;
    std::vector<double> all = pairmend_test::clustered_points(ndim, nobs + forest_queries, 10, 1.0, 42);
    const auto split = all.begin() + static_cast<std::ptrdiff_t>(nobs) * ndim;
    out.queries.assign(split, all.end());
    all.resize(static_cast<size_t>(nobs) * static_cast<size_t>(ndim));
    out.stored = std::move(all);
    return out;
}

void build_forest(benchmark::State& state, const Workload& work) {
    for (auto _ : state) {
        const Forest forest(work.ndim, work.nobs, work.stored.data(), 50, -1.0);
        benchmark::DoNotOptimize(forest.nobs());
    }
    state.counters["points"] = work.nobs;
}

/// Runs `count` queries by vector per iteration; reports queries per second as items/s.
void run_queries(benchmark::State& state, const Index& index, const Workload& work, int count) {
    count = std::min(count, work.nqueries());
    for (auto _ : state) {
        for (int q = 0; q < count; ++q) {
            auto found = index.find_nearest_neighbors(work.query(q), num_neighbors);
            benchmark::DoNotOptimize(found.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["queries"] = count;
}

/// The exhaustive search visits and sorts every point per query: about 2e7 points per iteration.
int brute_force_queries(int nobs) {
    return std::max(10, std::min(forest_queries, 20000000 / std::max(nobs, 1)));
}

void register_workload(const std::function<const Workload&()>& supply, const std::string& name, bool large) {
    auto* build =
        benchmark::RegisterBenchmark((name + "/build_forest").c_str(),
                                     [supply](benchmark::State& state) { build_forest(state, supply()); });
    build->Unit(benchmark::kMillisecond);
    if (large) {
        build->Iterations(1);
    }

    benchmark::RegisterBenchmark((name + "/query_forest").c_str(), [supply](benchmark::State& state) {
        const Workload& work = supply();
        const auto& forest = forest_of(work);
        run_queries(state, forest, work, forest_queries);
        state.counters["recall"] = recall_of(work);
    })->Unit(benchmark::kMillisecond);

    auto* brute = benchmark::RegisterBenchmark(
        (name + "/query_brute_force").c_str(), [supply](benchmark::State& state) {
            const Workload& work = supply();
            run_queries(state, brute_of(work), work, brute_force_queries(work.nobs));
        });
    brute->Unit(benchmark::kMillisecond);
    if (large) {
        brute->Iterations(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    for (const int nobs : {10000, 100000, 1000000}) {
        for (const int ndim : {10, 30}) {
            const std::string name = "clustered/" + std::to_string(nobs) + "/" + std::to_string(ndim);
            // Generated on first use and kept until the next shape is needed.
            auto supply = [ndim, nobs]() -> const Workload& {
                static std::unique_ptr<Workload> current;
                if (!current || current->ndim != ndim || current->nobs != nobs) {
                    current = std::make_unique<Workload>(clustered(ndim, nobs));
                }
                return *current;
            };
            register_workload(supply, name, nobs >= 1000000);
        }
    }

    const std::string folder = PAIRMEND_SHARED_DATA;
    for (const std::string table : {"cytof_all", "flow_wnv_mock"}) {
        auto work = std::make_shared<Workload>(read_table("table/" + table, folder + "/" + table + ".csv"));
        if (work->nobs == 0 || work->nqueries() == 0) {
            std::fprintf(stderr,
                         "Skipping the benchmarks of %s: the table is absent or has no two batches.\n",
                         table.c_str());
            continue;
        }
        register_workload([work]() -> const Workload& { return *work; }, work->name, false);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
