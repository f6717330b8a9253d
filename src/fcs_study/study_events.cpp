// What every operation on a study reads from its files: the chosen channels' transformed values,
// of every event a block at a time, or of an evenly spread subsample of each batch.

#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/event_blocks.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/transforms.hpp"
#include "pairmend/model/subsample.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace {

/// Events first .. first + count - 1 of the reader's file on the linear scale, as measured, into
/// `linear`.
void read_measured(fcs::FcsReader& reader, const fcs::LinearScale& scale, std::size_t first,
                   std::size_t count, std::vector<double>& linear) {
    linear.resize(count * reader.file().channels.size());
    reader.read_events(first, count, linear.data());
    scale.apply(linear.data(), count);
}

/// Two chosen events at most this far apart are read with the events between them: one read
/// instead of two, and the decoding of a few events is cheaper than a seek.
constexpr std::size_t kLargestGap = 16;

/// Events [first, end) of a file.
struct Span {
    std::size_t first = 0;
    std::size_t end = 0;
};

/// The next span of the file to read for the chosen events `rows` (positions in the batch, from
/// `taken` on; the file's events are the batch's from `offset`): the next chosen event and those
/// after it no more than kLargestGap apart, at most `step` events. Empty when the file holds no
/// chosen event left.
Span next_span(const std::vector<std::size_t>& rows, std::size_t taken, std::size_t offset,
               std::size_t num_events, std::size_t step) {
    if (taken == rows.size() || rows[taken] >= offset + num_events) {
        return {};
    }
    const std::size_t first = rows[taken] - offset;
    const std::size_t end = std::min(first + step, num_events);
    std::size_t last = first; // the last chosen event of the span
    for (std::size_t r = taken + 1;
         r < rows.size() && rows[r] - offset < end && rows[r] - offset - last <= kLargestGap; ++r) {
        last = rows[r] - offset;
    }
    return {first, last + 1};
}

} // namespace

void transform_events(const fcs::FcsFile& file, const double* linear, const std::vector<std::size_t>& chosen,
                      const std::vector<model::Transform>& transforms, std::size_t first, std::size_t count,
                      double* out) {
    const std::size_t width = file.channels.size();
    const std::size_t ndim = chosen.size();
    for (std::size_t e = 0; e < count; ++e, out += ndim) {
        for (std::size_t j = 0; j < ndim; ++j) {
            const double value = linear[e * width + chosen[j]];
            if (!std::isfinite(value)) {
                std::ostringstream text;
                text << "Event " << first + e + 1 << " of " << file.path << " has the value " << value
                     << " in the channel " << channel_display_name(file.channels[chosen[j]])
                     << ", which is not a finite number. Remove that event from the file, or leave the "
                        "channel out of --channels.";
                throw std::runtime_error(text.str());
            }
            out[j] = transforms[j].forward(value);
        }
    }
}

std::size_t events_per_file_block(std::size_t channels) {
    const std::size_t events = (std::size_t{8} << 20) / (sizeof(double) * std::max<std::size_t>(channels, 1));
    return std::max<std::size_t>(1, events / kEventBlock) * kEventBlock;
}

void for_each_file_block(const Study& study, std::size_t f, int threads,
                         const std::function<void(const fcs::FcsFile&, const EventBlock&)>& use,
                         EventBlock& block) {
    fcs::FcsReader reader(study.files[f].path);
    const fcs::FcsFile& file = reader.file();
    const std::size_t width = file.channels.size();
    const std::vector<std::size_t>& chosen = study.channels.chosen[f];
    const std::vector<model::Transform> transforms = prepared(study.transforms);
    const fcs::LinearScale scale(file);
    const std::size_t step = events_per_file_block(width);
    std::vector<double> compensated;
    for (block.first = 0; block.first < file.num_events; block.first += step) {
        block.count = std::min(step, file.num_events - block.first);
        read_measured(reader, scale, block.first, block.count, block.linear);
        // The file is written with its values as measured; the correction reads them compensated.
        const bool compensates = study.compensation.compensates();
        if (compensates) {
            compensated = block.linear;
        }
        block.events.resize(block.count * chosen.size());
        for_each_event_block(block.count, threads, [&](std::size_t first, std::size_t count) {
            double* linear = (compensates ? compensated : block.linear).data() + first * width;
            compensate(study.compensation, f, file, block.first + first, count, linear);
            transform_events(file, linear, chosen, transforms, block.first + first, count,
                             block.events.data() + first * chosen.size());
        });
        use(file, block);
    }
}

std::vector<std::vector<double>> gather_events(const Study& study, std::uint64_t fit_events) {
    const std::size_t ndim = study.ndim();
    const std::size_t nbatches = study.batches.names.size();
    std::vector<std::vector<std::size_t>> chosen_rows(nbatches);
    std::vector<std::vector<double>> events(nbatches);
    for (std::size_t b = 0; b < nbatches; ++b) {
        const std::size_t n = study.batch_events[b];
        const std::size_t count =
            fit_events == 0 ? n : static_cast<std::size_t>(std::min<std::uint64_t>(n, fit_events));
        chosen_rows[b] = model::even_positions(n, count);
        events[b].resize(chosen_rows[b].size() * ndim);
    }
    const std::vector<model::Transform> transforms = prepared(study.transforms);
    // Compensation refuses a value it cannot use in any event, not only in those chosen.
    const bool every_event = study.compensation.compensates();
    std::vector<std::size_t> seen(nbatches, 0);  // events of the batch in the files before
    std::vector<std::size_t> taken(nbatches, 0); // rows of chosen_rows[b] gathered so far
    std::vector<double> linear;
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const auto b = static_cast<std::size_t>(study.batches.file_batch[f] - 1);
        fcs::FcsReader reader(study.files[f].path);
        const fcs::FcsFile& file = reader.file();
        const std::size_t width = file.channels.size();
        const std::size_t step = events_per_file_block(width);
        const std::vector<std::size_t>& rows = chosen_rows[b];
        // Events are read in spans of chosen events no more than kLargestGap apart, or all of them.
        const fcs::LinearScale scale(file);
        for (Span span{0, std::min(step, file.num_events)};;) {
            if (!every_event) {
                span = next_span(rows, taken[b], seen[b], file.num_events, step);
            }
            if (span.first == span.end) {
                break;
            }
            read_measured(reader, scale, span.first, span.end - span.first, linear);
            compensate(study.compensation, f, file, span.first, span.end - span.first, linear.data());
            for (; taken[b] < rows.size() && rows[taken[b]] < seen[b] + span.end; ++taken[b]) {
                const std::size_t event = rows[taken[b]] - seen[b];
                transform_events(file, linear.data() + (event - span.first) * width, study.channels.chosen[f],
                                 transforms, event, 1, events[b].data() + taken[b] * ndim);
            }
            span = {span.end, std::min(span.end + step, file.num_events)};
        }
        seen[b] += file.num_events;
    }
    return events;
}

} // namespace pairmend::fcs_study
