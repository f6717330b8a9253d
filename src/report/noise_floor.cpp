#include "internal/noise_floor.hpp"

#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/report/qc_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::report {

namespace {

/// The rows of the listed events, in the listed order.
std::vector<double> take_rows(const std::vector<double>& rows, std::size_t width,
                              const std::vector<std::size_t>& events) {
    std::vector<double> taken(events.size() * width);
    for (std::size_t e = 0; e < events.size(); ++e) {
        std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(events[e] * width), width,
                    taken.begin() + static_cast<std::ptrdiff_t>(e * width));
    }
    return taken;
}

} // namespace

std::vector<double> parameter_deviations(const std::vector<double>& rows, int ndim) {
    const auto width = static_cast<std::size_t>(std::max(ndim, 0));
    std::vector<double> sd(width, 0.0);
    const std::size_t n = width == 0 ? 0 : rows.size() / width;
    if (n < 2) {
        return sd;
    }
    for (std::size_t d = 0; d < width; ++d) {
        double mean = 0;
        for (std::size_t i = 0; i < n; ++i) {
            mean += rows[i * width + d];
        }
        mean /= static_cast<double>(n);
        double squares = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double centred = rows[i * width + d] - mean;
            squares += centred * centred;
        }
        sd[d] = std::sqrt(squares / static_cast<double>(n - 1));
    }
    return sd;
}

double rms_displacement(const std::vector<double>& before, const std::vector<double>& after) {
    if (before.size() != after.size()) {
        throw std::invalid_argument("A displacement needs the same events before and after correction.");
    }
    if (before.empty()) {
        return 0.0;
    }
    double squares = 0;
    for (std::size_t v = 0; v < before.size(); ++v) {
        const double moved = after[v] - before[v];
        squares += moved * moved;
    }
    return std::sqrt(squares / static_cast<double>(before.size()));
}

namespace {

// Splits the rows into two random halves, corrects one onto the other with `correct` (false: no
// mutual pairs) and measures how far the moved half moved.
template <class Correct>
SplitBatchFloor split_and_correct(const std::vector<double>& rows, int ndim, double unit, int num_neighbors,
                                  std::uint64_t seed, Correct&& correct) {
    SplitBatchFloor floor;
    if (ndim <= 0) {
        floor.reason = "The noise floor needs at least one parameter.";
        return floor;
    }
    const auto width = static_cast<std::size_t>(ndim);
    const std::size_t n = rows.size() / width;
    const auto needed = 2 * (static_cast<std::size_t>(std::max(num_neighbors, 1)) + 1);
    if (n < needed) {
        std::ostringstream reason;
        reason << "The noise floor was not measured: the first reference batch has " << n
               << " events in the report's sample, and splitting it into two halves that can be corrected "
                  "with "
               << num_neighbors << " neighbours needs at least " << needed << ".";
        floor.reason = reason.str();
        return floor;
    }

    // A random half of the events stays in place, the other half is corrected onto it.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = i;
    }
    std::mt19937_64 rng(seed);
    for (std::size_t i = n - 1; i > 0; --i) {
        std::swap(order[i], order[static_cast<std::size_t>(uniform_below(rng, i + 1))]);
    }
    std::vector<std::size_t> stay(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n / 2));
    std::vector<std::size_t> move(order.begin() + static_cast<std::ptrdiff_t>(n / 2), order.end());
    std::sort(stay.begin(), stay.end());
    std::sort(move.begin(), move.end());
    const std::vector<double> stay_rows = take_rows(rows, width, stay);
    const std::vector<double> move_rows = take_rows(rows, width, move);

    std::vector<double> output(rows.size());
    if (!correct(stay_rows, move_rows, output)) {
        floor.reason = "The noise floor was not measured: the two random halves of the first reference batch "
                       "share no mutual nearest neighbours, so one cannot be corrected onto the other.";
        return floor;
    }

    // The output holds the halves in batch order: the half that stayed, then the moved half.
    const std::vector<double> moved(output.begin() + static_cast<std::ptrdiff_t>(stay_rows.size()),
                                    output.end());
    floor.computed = true;
    floor.reference = stay.size();
    floor.moved = move.size();
    floor.displacement = rms_displacement(move_rows, moved) / unit;
    return floor;
}

} // namespace

SplitBatchFloor split_batch_floor(const std::vector<double>& rows, int ndim, double unit,
                                  const mnncorrect::MnnCorrect<int, double>& engine, std::uint64_t seed) {
    // The split run is the report's own: it neither times nor keeps states for the caller's run.
    mnncorrect::MnnCorrect<int, double>::Hooks hooks = engine.hooks();
    hooks.phase_times = nullptr;
    hooks.target_states = nullptr;
    const mnncorrect::MnnCorrect<int, double> split_engine(engine.options(), std::move(hooks));
    return split_and_correct(
        rows, ndim, unit, engine.options().num_neighbors, seed,
        [&](const std::vector<double>& stay, const std::vector<double>& move, std::vector<double>& output) {
            const int merge_order[] = {0, 1};
            const auto width = static_cast<std::size_t>(ndim);
            try {
                split_engine.run(ndim, std::vector<std::size_t>{stay.size() / width, move.size() / width},
                                 std::vector<const double*>{stay.data(), move.data()}, output.data(),
                                 merge_order);
            } catch (const mnncorrect::NoMutualPairsError&) {
                return false;
            }
            return true;
        });
}

SplitBatchFloor split_batch_floor(const std::vector<double>& rows, int ndim, double unit,
                                  const SplitCorrection& correction, std::uint64_t seed) {
    return split_and_correct(
        rows, ndim, unit, correction.num_neighbors, seed,
        [&](const std::vector<double>& stay, const std::vector<double>& move, std::vector<double>& output) {
            return correction.correct(ndim, stay, move, output);
        });
}

} // namespace pairmend::report
