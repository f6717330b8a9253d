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

namespace pairmend::fcs {

namespace {

/// The first data set of the file whose bytes `source` gives; `name` stands for it in messages.
FcsFile parse(detail::ByteSource& source, const std::string& name) {
    const detail::Header header = detail::read_header(source, name);
    detail::TextKeywords text = detail::read_primary_text(source, header, name);
    detail::read_supplemental_text(source, header, text);
    detail::DataLayout layout = detail::read_layout(text, name);
    const detail::Segment data = detail::data_segment_of(header, text, name);
    detail::check_analysis_segment(header, data, source.size(), text);
    const std::size_t num_events = detail::count_events(data, header, text, layout, source.size(), name);

    FcsFile file;
    file.path = name;
    file.version = header.version;
    file.data_type = layout.data_type;
    file.num_events = num_events;
    file.raw = detail::read_values(source, data.begin, num_events, layout);
    file.channels = std::move(layout.channels);
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

} // namespace

FcsFile parse_fcs(std::string_view bytes, const std::string& name) {
    detail::MemorySource source(bytes);
    return parse(source, name);
}

FcsFile read_fcs(const std::string& path) {
    detail::FileSource source(path);
    return parse(source, path);
}

} // namespace pairmend::fcs
