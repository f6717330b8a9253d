// Reading list-mode FCS 2.0, 3.0 and 3.1 files, written from the Flow Cytometry Standard.
//
// Layout of a data set: a HEADER of 58 bytes (version, then the first and last byte offsets of
// the TEXT, DATA and ANALYSIS segments), the primary TEXT (keyword/value pairs separated by a
// delimiter, the segment's first byte), an optional supplemental TEXT and the DATA segment. Every
// offset and count the file declares is checked against the file's size before anything is read
// or any buffer is sized from it.

#include "pairmend/fcs/fcs_file.hpp"

#include "internal/byte_source.hpp"
#include "internal/data_layout.hpp"
#include "internal/fcs_text.hpp"
#include "internal/header.hpp"
#include "internal/optional_segments.hpp"
#include "internal/text_segments.hpp"

#include <stdexcept>
#include <string>

namespace pairmend::fcs {

namespace {

/// Where a file's events lie and how they are decoded.
struct DataPlace {
    std::uint64_t begin = 0;
    detail::DataLayout layout; ///< its channels moved into the file's description
};

/// The first data set of the file whose bytes `source` gives, without its values; `name` stands
/// for it in messages. Everything the values need is checked against the file's size.
FcsFile describe(detail::ByteSource& source, const std::string& name, DataPlace& place) {
    const detail::Header header = detail::read_header(source, name);
    detail::TextKeywords text = detail::read_primary_text(source, header, name);
    detail::read_supplemental_text(source, header, text);
    place.layout = detail::read_layout(text, name);
    const detail::Segment data = detail::data_segment_of(header, text, name);
    detail::check_analysis_segment(header, data, source.size(), text);
    place.begin = data.begin;

    FcsFile file;
    file.path = name;
    file.version = header.version;
    file.data_type = place.layout.data_type;
    file.num_events = detail::count_events(data, header, text, place.layout, source.size(), name);
    file.channels = std::move(place.layout.channels);
    // Further data sets are not read; the file says whether there are any.
    if (const std::string* next = text.find("$NEXTDATA")) {
        std::uint64_t offset = 0;
        file.more_data_sets = !(detail::parse_unsigned(*next, offset, true) && offset == 0);
    }
    file.set_aside_notes = text.set_aside_notes();
    file.disagreeing_keywords = text.disagreeing_keywords();
    file.keywords = text.release();
    return file;
}

FcsFile parse(detail::ByteSource& source, const std::string& name) {
    DataPlace place;
    FcsFile file = describe(source, name, place);
    file.raw.resize(file.num_events * file.channels.size());
    detail::read_values(source, place.begin, 0, file.num_events, place.layout, file.raw.data());
    return file;
}

} // namespace

FcsFile parse_fcs(std::string_view bytes, const std::string& name) {
    detail::MemorySource source(bytes);
    return parse(source, name);
}

FcsFile read_fcs(const std::string& path) {
    detail::FileSource source(path);
    return parse(source, path);
}

struct FcsReader::State {
    explicit State(const std::string& path) : source(path), file(describe(source, path, place)) {}
    detail::FileSource source;
    DataPlace place;
    FcsFile file;
};

FcsReader::FcsReader(const std::string& path) : state_(std::make_unique<State>(path)) {}

FcsReader::~FcsReader() = default;
FcsReader::FcsReader(FcsReader&&) noexcept = default;
FcsReader& FcsReader::operator=(FcsReader&&) noexcept = default;

const FcsFile& FcsReader::file() const {
    return state_->file;
}

void FcsReader::read_events(std::size_t first, std::size_t count, double* out) {
    const std::size_t total = state_->file.num_events;
    if (first > total || count > total - first) {
        throw std::out_of_range("FcsReader::read_events: events " + std::to_string(first + 1) + " to " +
                                std::to_string(first + count) + " asked of " + state_->file.path +
                                ", which holds " + std::to_string(total) + ".");
    }
    detail::read_values(state_->source, state_->place.begin, first, count, state_->place.layout, out);
}

} // namespace pairmend::fcs
