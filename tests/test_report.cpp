// Tests of the quality-control report: its statistics against hand-checked values and independent
// computations, the deterministic subsample, escaping, the structure of generated reports, write
// failures, and (when a browser is installed) that a report renders to a non-blank image.

#include "internal/html_text.hpp"
#include "internal/svg_plot.hpp"
#include "pairmend/report/qc_report.hpp"
#include "pairmend/report/qc_statistics.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend::report::DensityGrid;

constexpr double kPi = 3.14159265358979323846;

std::vector<double> normal_sample(std::size_t n, double mean, double sd, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> dist(mean, sd);
    std::vector<double> out(n);
    for (double& v : out) {
        v = dist(rng);
    }
    return out;
}

/// The density estimate evaluated directly, event by event, as a reference for the binned version.
double direct_density(const std::vector<double>& values, double x, double h) {
    double sum = 0;
    for (const double v : values) {
        const double z = (x - v) / h;
        sum += std::exp(-0.5 * z * z);
    }
    return sum / (static_cast<double>(values.size()) * h * std::sqrt(2 * kPi));
}

// ---------------------------------------------------------------------------------------------
// Earth mover's distance

TEST(EarthMoversDistance, HandCheckedCases) {
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({0}, {1}), 1.0);
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({0, 1}, {0, 1}), 0.0);
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({1, 0}, {0, 1}), 0.0); // order does not matter
    // Unequal sizes: half the mass of {0, 2} has to travel 2.
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({0}, {0, 2}), 1.0);
    // Quarter steps against one point: 0.25 + 0.5 + 0.25.
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({0, 1, 2, 3}, {1}), 1.0);
    // Ties across samples.
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({1, 1, 1}, {1, 1}), 0.0);
    EXPECT_DOUBLE_EQ(pairmend::report::earth_movers_distance({0, 0, 4}, {0, 4, 4}), 4.0 / 3.0);
    EXPECT_TRUE(std::isnan(pairmend::report::earth_movers_distance({}, {1})));
    EXPECT_TRUE(std::isnan(pairmend::report::earth_movers_distance({1}, {})));

    // The same case per batch: the distribution functions of {0, 10} and {1, 2, 3} cross between 2 and 3.
    const std::vector<double> both =
        pairmend::report::distances_to_other_batches({2, 10, 1, 0, 3}, {1, 0, 1, 0, 1}, 2);
    EXPECT_NEAR(both[0], 13.0 / 3.0, 1e-12);
    EXPECT_NEAR(both[1], 13.0 / 3.0, 1e-12);
    EXPECT_NEAR(pairmend::report::earth_movers_distance({0, 10}, {1, 2, 3}), 13.0 / 3.0, 1e-12);
}

TEST(EarthMoversDistance, ShiftedSampleGivesTheShiftAndIsSymmetric) {
    const std::vector<double> sample = normal_sample(500, 0.0, 1.0, 11);
    std::vector<double> shifted(sample);
    for (double& v : shifted) {
        v += 2.5;
    }
    EXPECT_NEAR(pairmend::report::earth_movers_distance(sample, shifted), 2.5, 1e-9);
    const std::vector<double> other = normal_sample(301, 0.3, 2.0, 12);
    EXPECT_NEAR(pairmend::report::earth_movers_distance(sample, other),
                pairmend::report::earth_movers_distance(other, sample), 1e-12);
}

class PerBatchDistances : public ::testing::TestWithParam<double> {};

TEST_P(PerBatchDistances, MatchTheTwoSampleDistance) {
    // Four batches of unequal size (one of a single event); batch 3 shares batch 0's distribution, so
    // their distribution functions cross many times. With a rounding step, ties are common.
    const double rounding = GetParam();
    const auto round = [rounding](double v) {
        return rounding > 0 ? std::round(v / rounding) * rounding : v;
    };
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::vector<std::size_t> sizes = {400, 37, 1, 250};
    std::vector<double> values;
    std::vector<int> batch;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        for (std::size_t i = 0; i < sizes[b]; ++i) {
            values.push_back(
                round(noise(rng) * (1.0 + 0.3 * static_cast<double>(b % 3)) + static_cast<double>(b % 3)));
            batch.push_back(static_cast<int>(b));
        }
    }
    // Interleave the batches so that positions in the input carry no information.
    std::vector<std::size_t> order(values.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<double> shuffled_values;
    std::vector<int> shuffled_batch;
    for (const std::size_t i : order) {
        shuffled_values.push_back(values[i]);
        shuffled_batch.push_back(batch[i]);
    }

    const std::vector<double> fast =
        pairmend::report::distances_to_other_batches(shuffled_values, shuffled_batch, 5);
    ASSERT_EQ(fast.size(), 5U);
    for (int b = 0; b < 4; ++b) {
        std::vector<double> mine;
        std::vector<double> others;
        for (std::size_t i = 0; i < values.size(); ++i) {
            (batch[i] == b ? mine : others).push_back(values[i]);
        }
        const double expected = pairmend::report::earth_movers_distance(mine, others);
        EXPECT_NEAR(fast[static_cast<std::size_t>(b)], expected, 1e-9 * std::max(1.0, expected))
            << "batch " << b;
        EXPECT_GT(expected, 0.0);
    }
    EXPECT_TRUE(std::isnan(fast[4])); // a batch without events

    // One batch only: nothing to compare with.
    const std::vector<double> lonely = pairmend::report::distances_to_other_batches({1, 2, 3}, {0, 0, 0}, 1);
    EXPECT_TRUE(std::isnan(lonely[0]));
    EXPECT_THROW(pairmend::report::distances_to_other_batches({1, 2}, {0, 2}, 2), std::invalid_argument);
    EXPECT_THROW(pairmend::report::distances_to_other_batches({1, 2}, {0}, 2), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(EarthMoversDistance, PerBatchDistances, ::testing::Values(0.0, 0.25));

// ---------------------------------------------------------------------------------------------
// Densities

TEST(KernelDensity, MatchesTheDirectEstimateIntegratesToOneAndPeaksAtTheMode) {
    const std::vector<double> sample = normal_sample(2000, 3.0, 0.5, 7);
    const double h = pairmend::report::silverman_bandwidth(sample);
    ASSERT_GT(h, 0.0);
    const DensityGrid grid{0.0, 6.0, 241};
    const std::vector<double> density = pairmend::report::kernel_density(sample, grid, h);
    ASSERT_EQ(density.size(), grid.num_points);

    double mass = 0;
    std::size_t peak = 0;
    double worst = 0;
    for (std::size_t i = 0; i < density.size(); ++i) {
        mass += density[i] * grid.step();
        if (density[i] > density[peak]) {
            peak = i;
        }
        worst = std::max(worst, std::abs(density[i] - direct_density(sample, grid.point(i), h)));
    }
    EXPECT_NEAR(mass, 1.0, 1e-3);
    EXPECT_NEAR(grid.point(peak), 3.0, 0.15);
    // Linear binning on a grid of step h/4 or finer is accurate to well under 1% of the peak height.
    EXPECT_LT(worst, 0.01 * density[peak]);
}

TEST(KernelDensity, FindsBothModesOfAMixture) {
    std::vector<double> sample = normal_sample(1500, -2.0, 0.3, 21);
    const std::vector<double> second = normal_sample(500, 4.0, 0.3, 22);
    sample.insert(sample.end(), second.begin(), second.end());
    const DensityGrid grid{-5.0, 7.0, 301};
    const std::vector<double> density =
        pairmend::report::kernel_density(sample, grid, pairmend::report::silverman_bandwidth(sample));
    const auto at = [&](double x) {
        return density[static_cast<std::size_t>(std::lround((x - grid.lower) / grid.step()))];
    };
    EXPECT_GT(at(-2.0), 2.0 * at(4.0)); // three times the events in the first mode
    EXPECT_GT(at(4.0), 10.0 * at(1.0)); // and an empty valley in between
}

TEST(KernelDensity, EdgeCases) {
    const DensityGrid grid{0.0, 1.0, 11};
    // A kernel far narrower than the grid step keeps the full mass at the nearest grid point.
    const std::vector<double> spike = pairmend::report::kernel_density({0.5}, grid, 1e-9);
    EXPECT_NEAR(spike[5], 10.0, 1e-9);
    EXPECT_NEAR(spike[4] + spike[6], 0.0, 1e-12);
    // A value between two grid points shares its weight linearly.
    const std::vector<double> split = pairmend::report::kernel_density({0.525}, grid, 1e-9);
    EXPECT_NEAR(split[5], 7.5, 1e-9);
    EXPECT_NEAR(split[6], 2.5, 1e-9);
    // No bandwidth given: the grid step is used, so the curve still integrates to one.
    const std::vector<double> fallback = pairmend::report::kernel_density({0.5, 0.5}, grid, 0.0);
    double mass = 0;
    for (const double d : fallback) {
        mass += d * grid.step();
    }
    EXPECT_NEAR(mass, 1.0, 1e-9);
    // An empty sample is flat zero; a value far off the grid contributes nothing.
    for (const double d : pairmend::report::kernel_density({}, grid, 0.1)) {
        EXPECT_EQ(d, 0.0);
    }
    for (const double d : pairmend::report::kernel_density({50.0}, grid, 0.1)) {
        EXPECT_EQ(d, 0.0);
    }
    EXPECT_THROW(pairmend::report::kernel_density({1.0}, DensityGrid{1.0, 1.0, 11}, 0.1),
                 std::invalid_argument);
    EXPECT_THROW(pairmend::report::kernel_density({1.0}, DensityGrid{0.0, 1.0, 1}, 0.1),
                 std::invalid_argument);
}

TEST(KernelDensity, QuantilesInterpolateBetweenOrderStatistics) {
    std::vector<double> values = {3, 1, 2, 4};
    EXPECT_DOUBLE_EQ(pairmend::report::quantile(values, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(pairmend::report::quantile(values, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(pairmend::report::quantile(values, 1.0), 4.0);
    EXPECT_DOUBLE_EQ(pairmend::report::quantile(values, 0.25), 1.75);
    std::vector<double> single = {7};
    EXPECT_DOUBLE_EQ(pairmend::report::quantile(single, 0.3), 7.0);
    std::vector<double> empty;
    EXPECT_THROW(pairmend::report::quantile(empty, 0.5), std::invalid_argument);
}

TEST(KernelDensity, SilvermanBandwidth) {
    // Standard deviation sqrt(2.5), interquartile range 2: the smaller, 2 / 1.34, wins.
    EXPECT_NEAR(pairmend::report::silverman_bandwidth({5, 1, 4, 2, 3}),
                0.9 * (2.0 / 1.34) * std::pow(5.0, -0.2), 1e-12);
    // A dominant repeated value has no interquartile range; the standard deviation is used instead.
    const std::vector<double> mostly_zero = {0, 0, 0, 0, 0, 0, 0, 0, 0, 10};
    const double sd = std::sqrt(90.0 / 9.0);
    EXPECT_NEAR(pairmend::report::silverman_bandwidth(mostly_zero), 0.9 * sd * std::pow(10.0, -0.2), 1e-12);
    EXPECT_EQ(pairmend::report::silverman_bandwidth({2, 2, 2}), 0.0);
    EXPECT_EQ(pairmend::report::silverman_bandwidth({2}), 0.0);
}

// ---------------------------------------------------------------------------------------------
// Subsample

TEST(Subsample, DeterministicPerBatchAndUniform) {
    std::vector<int> batch;
    for (int i = 0; i < 1000; ++i) {
        batch.push_back(i % 3 == 0 ? 0 : 1); // 334 events of batch 0, 666 of batch 1
    }
    batch.push_back(2); // one event of batch 2
    const auto first = pairmend::report::subsample_per_batch(batch, 3, 100, 42);
    EXPECT_EQ(first, pairmend::report::subsample_per_batch(batch, 3, 100, 42));
    EXPECT_NE(first, pairmend::report::subsample_per_batch(batch, 3, 100, 43));
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    EXPECT_EQ(std::adjacent_find(first.begin(), first.end()), first.end());
    std::vector<int> per_batch(3, 0);
    for (const std::size_t i : first) {
        ++per_batch[static_cast<std::size_t>(batch[i])];
    }
    EXPECT_EQ(per_batch, (std::vector<int>{100, 100, 1}));

    // Small batches are taken whole.
    const auto all = pairmend::report::subsample_per_batch(batch, 3, 1000, 42);
    EXPECT_EQ(all.size(), batch.size());

    // Every event of a batch is equally likely to be kept: 2000 seeds keeping 10 of 100 events give
    // each event 200 selections on average (binomial standard deviation about 13).
    const std::vector<int> single(100, 0);
    std::vector<int> hits(100, 0);
    for (std::uint64_t seed = 1; seed <= 2000; ++seed) {
        for (const std::size_t i : pairmend::report::subsample_per_batch(single, 1, 10, seed)) {
            ++hits[i];
        }
    }
    EXPECT_GT(*std::min_element(hits.begin(), hits.end()), 140);
    EXPECT_LT(*std::max_element(hits.begin(), hits.end()), 260);

    EXPECT_THROW(pairmend::report::subsample_per_batch({0, 3}, 2, 10, 1), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Text and drawing helpers

TEST(HtmlText, EscapesMarkupAndControlCharacters) {
    EXPECT_EQ(pairmend::report::escape_html("<b class=\"x\">Tom & Jerry's</b>"),
              "&lt;b class=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/b&gt;");
    EXPECT_EQ(pairmend::report::escape_html(std::string("a\x01"
                                                        "b\tc",
                                                        5)),
              "a\xEF\xBF\xBD"
              "b\tc");
    EXPECT_EQ(pairmend::report::escape_html("CD45RA \xCE\xB1-\xE2\x82\xAC"),
              "CD45RA \xCE\xB1-\xE2\x82\xAC"); // UTF-8 kept
    EXPECT_EQ(pairmend::report::format_number(std::nan("")), "n/a");
    EXPECT_EQ(pairmend::report::format_number(0.000123456, 3), "0.000123");
}

TEST(SvgPlot, TicksAreRoundAndInsideTheAxis) {
    for (const auto& range :
         std::vector<std::pair<double, double>>{{0, 10}, {-3.7, 12.2}, {0.013, 0.0171}, {-1e6, 3e6}}) {
        const std::vector<double> ticks = pairmend::report::nice_ticks(range.first, range.second, 5);
        ASSERT_GE(ticks.size(), 2U) << range.first;
        ASSERT_LE(ticks.size(), 11U);
        const double step = ticks[1] - ticks[0];
        const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
        EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
                    std::abs(mantissa - 5) < 1e-9)
            << step;
        for (const double t : ticks) {
            EXPECT_GE(t, range.first - 1e-9 * step);
            EXPECT_LE(t, range.second + 1e-9 * step);
        }
    }
    EXPECT_TRUE(pairmend::report::nice_ticks(1, 1, 5).empty());
    EXPECT_NE(pairmend::report::batch_colour(0), pairmend::report::batch_colour(1));
    EXPECT_NE(pairmend::report::batch_colour(9), pairmend::report::batch_colour(10));
}

// ---------------------------------------------------------------------------------------------
// Generated reports

/// A synthetic run: batches with labels 7, 2 and 9 and a shift per batch that the "correction" removes.
struct SyntheticRun {
    std::vector<double> uncorrected;
    std::vector<double> corrected;
    std::vector<int> labels;
    pairmend::report::QcReportInput input;

    SyntheticRun(std::size_t per_batch_scale, std::vector<int> pairs) {
        const std::vector<int> batch_labels = {7, 2, 9};
        const std::vector<std::size_t> sizes = {3 * per_batch_scale, 2 * per_batch_scale,
                                                4 * per_batch_scale};
        const std::vector<double> shifts = {1.5, 0.0, -1.0};
        const int ndim = 3;
        std::mt19937_64 rng(99);
        std::normal_distribution<double> noise(0.0, 1.0);
        // Batches interleaved event by event, as a host's table might hold them.
        std::vector<std::size_t> left(sizes);
        while (left[0] + left[1] + left[2] > 0) {
            for (std::size_t b = 0; b < 3; ++b) {
                if (left[b] == 0) {
                    continue;
                }
                --left[b];
                labels.push_back(batch_labels[b]);
                for (int d = 0; d < ndim; ++d) {
                    const double truth = noise(rng) + 2.0 * d;
                    uncorrected.push_back(truth + shifts[b] * (d + 1));
                    corrected.push_back(truth + 0.01 * noise(rng));
                }
            }
        }
        input.input_file = "/data/run <A&B>.csv";
        input.run_id = "R7";
        input.parameter_names = {"CD3", "CD4<b>&", "CD8"};
        input.settings = {{"num_neighbors", "15"}, {"reference_policy", "MaxRSS"}, {"note", "x<y"}};
        input.phase_seconds = {{"reading", 0.25}, {"correction", 1.5}};
        input.ndim = ndim;
        input.nobs = labels.size();
        input.uncorrected = uncorrected.data();
        input.corrected = corrected.data();
        input.batch_labels = labels.data();
        input.merge_order = {2, 7, 9};
        input.num_pairs = std::move(pairs);
    }
};

/// The report without its time table, the one part that differs between runs of the same input.
std::string without_times(const std::string& html) {
    const std::size_t start = html.find("<table id=\"phases\">");
    if (start == std::string::npos) {
        return html;
    }
    return html.substr(0, start) + html.substr(html.find("</table>", start));
}

/// The text of the first <table ...> after `marker`, up to its end.
std::string table_after(const std::string& html, const std::string& marker) {
    const std::size_t start = html.find(marker);
    if (start == std::string::npos) {
        return "";
    }
    return html.substr(start, html.find("</table>", start) - start);
}

TEST(QcReport, ShowsEveryParameterBatchAndMergeStepConsistentWithTheInput) {
    SyntheticRun run(100, {150, 3});
    const std::string html = pairmend::report::render_qc_report(run.input);

    // Self-contained: no scripts, no external style sheets, images or fonts.
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_EQ(html.find("src="), std::string::npos);
    EXPECT_EQ(html.find("url("), std::string::npos);

    // User texts appear escaped, never raw.
    EXPECT_NE(html.find("/data/run &lt;A&amp;B&gt;.csv"), std::string::npos);
    EXPECT_NE(html.find("CD4&lt;b&gt;&amp;"), std::string::npos);
    EXPECT_EQ(html.find("CD4<b>"), std::string::npos);
    EXPECT_NE(html.find("x&lt;y"), std::string::npos);
    EXPECT_NE(html.find("reference_policy"), std::string::npos);
    EXPECT_NE(html.find("correction</td><td class=\"num\">1.5</td>"), std::string::npos);
    // The report's own figures are timed and shown after the run's phases, and counted in the total.
    const std::string phases = table_after(html, "<table id=\"phases\">");
    const std::regex part_row("<tr class=\"report-part\"><td>([^<]+)</td>");
    std::vector<std::string> parts;
    for (auto it = std::sregex_iterator(phases.begin(), phases.end(), part_row); it != std::sregex_iterator();
         ++it) {
        parts.push_back((*it)[1]);
    }
    EXPECT_EQ(parts,
              (std::vector<std::string>{"Density curves and distances", "Neighbourhood mixing",
                                        "Structure kept", "Noise floor and displacements", "2-D view"}));
    std::smatch total;
    ASSERT_TRUE(std::regex_search(phases, total, std::regex("<th>Total</th><th class=\"num\">([^<]+)</th>")));
    EXPECT_GE(std::stod(total[1]), 1.75);

    // Events per batch label, from all events.
    const std::string batches = table_after(html, "<table id=\"batches\">");
    const std::map<int, std::size_t> expected_events = {{2, 200}, {7, 300}, {9, 400}};
    for (const auto& [label, events] : expected_events) {
        const std::regex row("<tr data-batch=\"" + std::to_string(label) +
                             "\">.*?<td class=\"num events\">(\\d+)</td>");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(batches, match, row)) << label;
        EXPECT_EQ(std::stoul(match[1]), events);
    }

    // Merge order in order, with its pair counts.
    const std::string merge = table_after(html, "<table id=\"merge-steps\">");
    const std::regex step_row("<tr data-batch=\"(\\d+)\"[^>]*>.*?<td class=\"num pairs\">([^<]*)</td>");
    std::vector<std::string> order;
    std::vector<std::string> pairs;
    for (auto it = std::sregex_iterator(merge.begin(), merge.end(), step_row); it != std::sregex_iterator();
         ++it) {
        order.push_back((*it)[1]);
        pairs.push_back((*it)[2]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"2", "7", "9"}));
    EXPECT_EQ(pairs, (std::vector<std::string>{"first reference", "150", "3"}));

    // 3 pairs for 400 events is below 5%: batch 9 is flagged, batch 7 (150 for 300) is not.
    EXPECT_NE(html.find("few-pairs-warning\" data-batch=\"9\""), std::string::npos);
    EXPECT_EQ(html.find("few-pairs-warning\" data-batch=\"7\""), std::string::npos);

    // Every parameter has a figure and a distance table whose numbers match an independent computation.
    for (int d = 0; d < 3; ++d) {
        const std::string marker = "data-parameter=\"" + std::to_string(d + 1) + "\"";
        const std::size_t at = html.find(marker);
        ASSERT_NE(at, std::string::npos) << marker;
        const std::size_t end = html.find("</section>", at);
        const std::string section = html.substr(at, end - at);
        EXPECT_NE(section.find("<svg"), std::string::npos);
        EXPECT_NE(section.find("Before correction"), std::string::npos);
        EXPECT_NE(section.find("After correction"), std::string::npos);
        for (const int label : {2, 7, 9}) {
            EXPECT_NE(section.find("<title>batch " + std::to_string(label) + "</title>"), std::string::npos);
            std::vector<double> mine_before, others_before, mine_after, others_after;
            for (std::size_t i = 0; i < run.labels.size(); ++i) {
                const double before = run.uncorrected[i * 3 + static_cast<std::size_t>(d)];
                const double after = run.corrected[i * 3 + static_cast<std::size_t>(d)];
                (run.labels[i] == label ? mine_before : others_before).push_back(before);
                (run.labels[i] == label ? mine_after : others_after).push_back(after);
            }
            const double expected_before =
                pairmend::report::earth_movers_distance(mine_before, others_before);
            const double expected_after = pairmend::report::earth_movers_distance(mine_after, others_after);
            const std::regex row("<tr data-batch=\"" + std::to_string(label) +
                                 "\">.*?class=\"num before\">([^<]+)</td><td class=\"num after\">([^<]+)</td>"
                                 "<td class=\"num change (\\w+)\">");
            std::smatch match;
            ASSERT_TRUE(std::regex_search(section, match, row)) << label;
            EXPECT_NEAR(std::stod(match[1]), expected_before, 1e-3 * expected_before) << label << " " << d;
            EXPECT_NEAR(std::stod(match[2]), expected_after, 1e-3 * expected_before + 1e-4)
                << label << " " << d;
            // The synthetic correction removes the shifts, so every distance falls.
            EXPECT_EQ(match[3], "better") << label << " " << d;
        }
    }
}

TEST(QcReport, WarningsAppearOnlyWhenDue) {
    SyntheticRun good(100, {150, 200});
    const std::string html = pairmend::report::render_qc_report(good.input);
    EXPECT_EQ(html.find("id=\"warnings\""), std::string::npos);
    EXPECT_EQ(html.find("few-pairs-warning"), std::string::npos);

    // A run without a known merge order says so instead of inventing one.
    good.input.merge_order.clear();
    good.input.num_pairs.clear();
    EXPECT_NE(pairmend::report::render_qc_report(good.input).find("merge order of this run is not known"),
              std::string::npos);

    // Values that are not numbers are counted, left out, and reported.
    SyntheticRun broken(100, {150, 200});
    broken.corrected[4] = std::nan("");
    broken.uncorrected[7] = std::numeric_limits<double>::infinity();
    const std::string warned = pairmend::report::render_qc_report(broken.input);
    EXPECT_NE(warned.find("non-finite-warning"), std::string::npos);
    EXPECT_EQ(warned.find("few-pairs-warning"), std::string::npos);
    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(broken.input);
    EXPECT_EQ(summary.parameters[1].non_finite, 2U);
    EXPECT_EQ(summary.parameters[0].non_finite, 0U);
    EXPECT_TRUE(std::isfinite(summary.parameters[1].distance_after[0]));
}

TEST(QcReport, LargeRunsAreSubsampledDeterministically) {
    SyntheticRun run(100, {150, 200});
    run.input.parameter_names.clear();
    pairmend::report::QcReportOptions options;
    options.max_events_per_batch = 50;
    const std::string first = pairmend::report::render_qc_report(run.input, options);
    EXPECT_EQ(without_times(first), without_times(pairmend::report::render_qc_report(run.input, options)));
    EXPECT_NE(first.find("subsample of at most 50 events per batch"), std::string::npos);
    EXPECT_NE(first.find("parameter 2"), std::string::npos);

    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(run.input, options);
    ASSERT_EQ(summary.batches.size(), 3U);
    for (const pairmend::report::BatchSummary& batch : summary.batches) {
        EXPECT_EQ(batch.sampled, 50U);
        EXPECT_GT(batch.events, 50U); // counts still refer to all events
    }
    EXPECT_EQ(summary.sampled_events, 150U);
}

TEST(QcReport, StaysSmallForManyEventsAndParameters) {
    // 180,000 events in 3 batches and 12 parameters: the curve budget and subsample bound the size.
    const int ndim = 12;
    const std::size_t nobs = 180000;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values(nobs * ndim);
    for (double& v : values) {
        v = noise(rng);
    }
    std::vector<int> labels(nobs);
    for (std::size_t i = 0; i < nobs; ++i) {
        labels[i] = static_cast<int>(i % 3) + 1;
    }
    pairmend::report::QcReportInput input;
    input.ndim = ndim;
    input.nobs = nobs;
    input.uncorrected = values.data();
    input.corrected = values.data();
    input.batch_labels = labels.data();
    const std::string html = pairmend::report::render_qc_report(input);
    EXPECT_LT(html.size(), 5U * 1024U * 1024U);
    EXPECT_NE(html.find("data-parameter=\"12\""), std::string::npos);
}

TEST(QcReport, EmptyRunGivesAValidReport) {
    pairmend::report::QcReportInput input;
    input.ndim = 2;
    const std::string html = pairmend::report::render_qc_report(input);
    EXPECT_NE(html.find("data-parameter=\"2\""), std::string::npos);
    EXPECT_NE(html.find("</html>"), std::string::npos);
    EXPECT_EQ(html.find("data-batch="), std::string::npos);
}

TEST(QcReport, RejectsInconsistentInput) {
    SyntheticRun run(10, {15, 20});
    run.input.num_pairs = {15};
    EXPECT_THROW(pairmend::report::render_qc_report(run.input), std::invalid_argument);
    run.input.num_pairs = {15, 20};
    run.input.merge_order = {2, 7, 4};
    try {
        pairmend::report::render_qc_report(run.input);
        FAIL() << "a merge order with an unknown label was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "The merge order names batch label 4, which no event carries.");
    }
    run.input.merge_order = {2, 7, 9};
    run.input.parameter_names = {"CD3"};
    EXPECT_THROW(pairmend::report::render_qc_report(run.input), std::invalid_argument);
    run.input.parameter_names.clear();
    run.input.corrected = nullptr;
    EXPECT_THROW(pairmend::report::render_qc_report(run.input), std::invalid_argument);
}

TEST(QcReport, PrecomputedSummaryGivesTheSameReportAndMustFitTheRun) {
    SyntheticRun run(10, {15, 20});
    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(run.input);
    EXPECT_EQ(without_times(pairmend::report::render_qc_report(run.input, summary)),
              without_times(pairmend::report::render_qc_report(run.input)));

    pairmend::report::QcSummary fewer_batches = summary;
    fewer_batches.batches.pop_back();
    EXPECT_THROW(pairmend::report::render_qc_report(run.input, fewer_batches), std::invalid_argument);
    pairmend::report::QcSummary fewer_parameters = summary;
    fewer_parameters.parameters.pop_back();
    EXPECT_THROW(pairmend::report::render_qc_report(run.input, fewer_parameters), std::invalid_argument);
}

TEST(QcReport, WritesTheFileAndReportsWriteFailures) {
    SyntheticRun run(20, {15, 20});
    const fs::path dir = fs::temp_directory_path() / "pairmend_test_report";
    fs::create_directories(dir);
    const fs::path path = dir / "report.html";
    pairmend::report::write_qc_report(path.string(), run.input);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream written;
    written << in.rdbuf();
    EXPECT_EQ(without_times(written.str()), without_times(pairmend::report::render_qc_report(run.input)));

    for (const std::string& bad : {std::string("/dev/full"), (dir / "missing" / "report.html").string()}) {
        try {
            pairmend::report::write_qc_report(bad, run.input);
            FAIL() << "writing to " << bad << " succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write the quality-control report to " + bad);
        }
    }
    fs::remove_all(dir);
}

TEST(QcReport, RendersToANonBlankImageInABrowser) {
    const fs::path chromium = "/usr/bin/chromium";
    if (!fs::exists(chromium)) {
        GTEST_SKIP() << "chromium is not installed";
    }
    const fs::path dir = fs::temp_directory_path() / "pairmend_test_report_browser";
    fs::remove_all(dir);
    fs::create_directories(dir);
    SyntheticRun run(200, {150, 3});
    pairmend::report::write_qc_report((dir / "report.html").string(), run.input);
    std::ofstream(dir / "blank.html") << "<!DOCTYPE html><html><body></body></html>\n";

    const auto screenshot = [&](const std::string& name) {
        const fs::path png = dir / (name + ".png");
        const std::string command =
            chromium.string() +
            " --headless --no-sandbox --disable-gpu --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --user-data-dir=" +
            (dir / ("profile-" + name)).string() + " --screenshot=" + png.string() +
            " --window-size=1200,2000 file://" + (dir / (name + ".html")).string() + " > /dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return fs::exists(png) ? fs::file_size(png) : 0;
    };
    // The correction evidence and the 2-D view alone, with the report's styles, on a page of their own.
    const std::string html = pairmend::report::render_qc_report(run.input);
    const auto cut = [&html](const std::string& open) {
        const std::size_t at = html.find(open);
        return at == std::string::npos ? std::string()
                                       : html.substr(at, html.find("</section>", at) + 10 - at);
    };
    const std::string evidence = cut("<section id=\"evidence\">");
    const std::string view = cut("<section id=\"view\">");
    ASSERT_FALSE(evidence.empty());
    ASSERT_FALSE(view.empty());
    std::ofstream(dir / "parts.html")
        << html.substr(0, html.find("<body>") + 6) << evidence << view << "</body></html>\n";

    // A blank page compresses to almost nothing; tables, text, curves and points do not.
    const auto blank = screenshot("blank");
    const auto rendered = screenshot("report");
    const auto parts = screenshot("parts");
    ASSERT_GT(blank, 0U);
    EXPECT_GT(rendered, 5 * blank);
    EXPECT_GT(parts, 5 * blank);
    fs::remove_all(dir);
}

} // namespace
