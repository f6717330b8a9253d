#ifndef PAIRMEND_FCS_FCS_FILE_HPP
#define PAIRMEND_FCS_FCS_FILE_HPP

// Reading and writing list-mode data in the Flow Cytometry Standard (FCS 2.0, 3.0 and 3.1).
// Everything lives in namespace `pairmend::fcs`. The functions keep no state and may be called from any
// thread; an FcsFile is plain data.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairmend::fcs {

/** One parameter (channel) of a data set, as its TEXT keywords describe it. */
struct Channel {
    std::string name;       ///< $PnN, the short name ("P<n>" when an FCS 2.0 file has none).
    std::string label;      ///< $PnS, the marker or long name; empty when the file has none.
    std::string range_text; ///< $PnR exactly as written in the file.
    double range = 0;       ///< $PnR as a number.
    int bits = 0;           ///< $PnB: bits per stored value.
    double log_decades = 0; ///< $PnE f1: 0 for a linear channel.
    double log_offset = 0;  ///< $PnE f2; a written 0 is read as 1 when f1 > 0.
    /// The channel's other $Pn keywords ($PnV, $PnG, $PnD, $PnL, $PnF, $PnT, ...) as (suffix,
    /// value) pairs in file order, the suffix as written without "$Pn" ({"V", "538"}). write_fcs
    /// writes them with the channel's number in the output, so they follow the channel.
    /// Never N, S, R, B, E or DATATYPE; a suffix never begins with a digit.
    std::vector<std::pair<std::string, std::string>> keywords;
};

/** The first data set of an FCS file. */
struct FcsFile {
    std::string path;           ///< the file it was read from, as given to read_fcs.
    std::string version;        ///< "FCS2.0", "FCS3.0" or "FCS3.1", from the HEADER.
    char data_type = 'F';       ///< $DATATYPE: 'I', 'F' or 'D'.
    std::size_t num_events = 0; ///< $TOT.
    std::vector<Channel> channels;
    /// Every keyword of the primary and the supplemental TEXT, in file order, names as written.
    /// A supplemental TEXT that was set aside adds none.
    std::vector<std::pair<std::string, std::string>> keywords;
    /// One complete sentence for each optional segment (the supplemental TEXT, the ANALYSIS
    /// segment) that could not be used and was set aside, saying which and why, e.g. "The
    /// supplemental TEXT segment (byte offsets 1207 to 5000) was set aside because it holds binary
    /// data, not text (the control byte 0x00 at byte offset 1210)." The data set was read from the
    /// primary TEXT and the DATA segment.
    std::vector<std::string> set_aside_notes;
    /// Keywords that the primary and the supplemental TEXT both hold with different values (blanks
    /// around values aside), names as the primary TEXT writes them; its value is the one used.
    std::vector<std::string> disagreeing_keywords;
    /// true when $NEXTDATA points to a further data set, which was not read.
    bool more_data_sets = false;
    /// num_events * channels.size() values as stored, event after event; integers masked to the
    /// bits their $PnR range needs.
    std::vector<double> raw;

    /** The value of a keyword, its name compared without regard to case ("$CYT", "$cyt"). */
    std::optional<std::string> keyword(std::string_view name) const;

    /** The instrument ($CYT), or an empty text when the file does not say. */
    std::string instrument() const;

    /**
     * The values on the linear scale: raw values of log-amplified integer channels converted as
     * the standard says (10^(f1 * x / range) * f2), every other value unchanged (a $PnE on float
     * data is recorded in the channel but not applied: FCS 3.1 requires 0,0 there). Same layout
     * as raw.
     */
    std::vector<double> linear_values() const;

    /**
     * The channels as linear_values() describes them, ready for write_fcs: a log-amplified
     * integer channel gets the range 10^f1 * f2 (its largest linear value); $PnE is 0,0 for
     * every channel; a channel without a positive range gets range 0 and an empty range_text,
     * which write_fcs fills from the values. Names, labels and keyword values that are not UTF-8
     * (older files wrote single-byte text) are read as Latin-1 and converted to UTF-8, and
     * channel keywords whose suffix is not printable ASCII are left out; all else is unchanged.
     */
    std::vector<Channel> linear_channels() const;
};

/**
 * The conversion of a file's stored values to the linear scale, exactly as
 * FcsFile::linear_values() converts them, prepared once for a file read a block at a time.
 */
class LinearScale {
public:
    explicit LinearScale(const FcsFile& file);

    /** Converts `count` events of stored values (channels values each, event after event) in place. */
    void apply(double* values, std::size_t count) const;

private:
    struct Log {
        std::size_t column;
        double f1, f2, range;
        std::vector<double> table; ///< the value of every whole number below the range's power of two
        double convert(double x) const;
    };
    std::size_t width_;
    std::vector<Log> logs_; ///< the log-amplified integer channels
};

/**
 * Reads the first data set of a list-mode FCS file.
 *
 * Reads FCS2.0, FCS3.0 and FCS3.1; $MODE L (or no $MODE); $DATATYPE F (32 bits), D (64 bits)
 * and I (integers of 1 to 8 whole bytes, widths may differ per channel, masked to their range).
 * $BYTEORD little- or big-endian of any length applies to every width; a mixed order (3,4,1,2,
 * 2,1,4,3) applies to values of its own width and, for narrower widths that divide it, as the
 * relative order of its first bytes. The DATA offsets come from the HEADER, or from
 * $BEGINDATA/$ENDDATA when the HEADER gives 0 (or blanks). Lenient where nothing is lost: blanks
 * around numbers, blanks or NULs after the TEXT's last delimiter, a missing last delimiter, no
 * $TOT in FCS 2.0 (then the DATA segment must hold whole events), a DATA segment up to one event
 * longer than $TOT events (some writers count its end one byte too far); $NEXTDATA is not
 * followed (more_data_sets says so). Keywords of the supplemental TEXT come after the primary
 * TEXT's; where both have a keyword, the primary's value is the one used (disagreeing_keywords
 * names those whose values differ).
 *
 * The optional segments are set aside, with a sentence in set_aside_notes, when they cannot be
 * used: a supplemental TEXT or ANALYSIS segment whose offsets are not numbers, lie outside the
 * file or overlap the HEADER, the TEXT or the DATA segment, and a supplemental TEXT that is not
 * keywords and values of printable text (some instruments keep binary data of their own there).
 * A usable ANALYSIS segment is not read. What the DATA needs ($PAR, $TOT, $DATATYPE, $PnB,
 * $BYTEORD, the DATA offsets) must still be valid; when such a keyword is missing and the
 * supplemental TEXT, the only other place for it, was set aside, the refusal says so.
 *
 * Messages are one sentence beginning "The file <path> ", e.g. "The file a.fcs is cut short: its
 * DATA segment runs from byte offset 1207 to 321206, but the file holds only 30000 bytes." Byte
 * offsets in messages count from 0, as FCS offsets do.
 *
 * @throws std::runtime_error naming the file and what is wrong when it is not an FCS file, is cut
 *         short, or its offsets, event count, widths and file size disagree; also for a version,
 *         mode or data type it does not read (FCS3.2, $MODE C, $DATATYPE A, bit-packed integers,
 *         integers wider than 64 bits), and when the HEADER's and the TEXT's DATA offsets
 *         differ. No buffer is sized from a declared count before it is checked against the size.
 */
FcsFile read_fcs(const std::string& path);

/** As read_fcs, from bytes already in memory; `name` stands for the file in messages. */
FcsFile parse_fcs(std::string_view bytes, const std::string& name);

/**
 * An FCS file read a block of events at a time, so that a file of any size is read in little
 * memory. The description is read and checked when it is opened, exactly as read_fcs reads and
 * checks it (the same messages); the values when asked. Not thread-safe: one thread reads it.
 */
class FcsReader {
public:
    /** @throws std::runtime_error as read_fcs does. */
    explicit FcsReader(const std::string& path);
    ~FcsReader();
    FcsReader(FcsReader&&) noexcept;
    FcsReader& operator=(FcsReader&&) noexcept;

    /** The data set as read_fcs reads it, without its values: `raw` is empty. */
    const FcsFile& file() const;

    /**
     * The stored values of events first .. first + count - 1 into `out`, count * channels values
     * event after event, as read_fcs stores them in FcsFile::raw.
     * @throws std::out_of_range for events the file does not hold; std::runtime_error naming the
     *         file when its bytes cannot be read (it was changed while it was read).
     */
    void read_events(std::size_t first, std::size_t count, double* out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

/** What write_fcs writes: channels, descriptive keywords and float32 values. */
struct FcsOutput {
    /// The channels; name, label, range and keywords are written, bits are always 32 and $PnE
    /// "0,0". The range written is range_text (blanks trimmed) when set, else `range` when
    /// positive, else the channel's largest value rounded up (at least 1).
    std::vector<Channel> channels;
    /// Further keywords to write (descriptive ones such as $CYT, $DATE or $FIL). Keywords that
    /// describe the layout, the segments or the channels are written by write_fcs itself and
    /// must not be here.
    std::vector<std::pair<std::string, std::string>> keywords;
    std::size_t num_events = 0;
    /// num_events * channels.size() values, event after event.
    std::vector<float> values;
};

/**
 * The keywords of a file that stay true when its events are written again with other channels:
 * every keyword but those of the layout, the segments and the channels ($BEGINDATA, $TOT, $PAR,
 * $PnN, ...).
 *
 * Left out, names compared without regard to case: the layout and segment keywords; every $Pn
 * keyword ($PnN, $PnV, $PnDISPLAY, ...: the standard ones of existing channels travel with
 * Channel::keywords instead); keywords that refer to channels by number or describe data no
 * longer there ($COMP, $GATE, $GATING, $Gn*, $RnI, $RnW, $PKn, $PKNn, $CSMODE, $CSVBITS,
 * $CSVnFLAG); $UNICODE (the output is UTF-8); the source's history ($ORIGINALITY,
 * $LAST_MODIFIED, $LAST_MODIFIER), replaced by "$ORIGINALITY" "DataModified" at the end; names
 * that are not printable ASCII; a second keyword of the same name. Kept unchanged: everything
 * else, among them $CYT, $DATE, $FIL, the spillover keywords $SPILLOVER, SPILL, $SPILL (they name
 * channels by $PnN, and the original channels keep their names) and $DFCiTOj (by channel number,
 * and the original channels keep their order) and custom keywords (P1DISPLAY, flowCore_$P1Rmax: their
 * channel numbers hold as long as the original channels keep their order). Values that are not
 * UTF-8 are read as Latin-1 and converted. The result can be given to write_fcs as it is.
 */
std::vector<std::pair<std::string, std::string>> descriptive_keywords(const FcsFile& file);

/**
 * Writes an FCS 3.1 file, float32 little-endian, replacing any file of that name.
 *
 * Layout: HEADER ("FCS3.1", TEXT at byte 58, DATA right after it, ANALYSIS 0; DATA offsets 0
 * when the DATA segment ends beyond byte 99,999,999, the real ones always in $BEGINDATA and
 * $ENDDATA), primary TEXT, DATA, then "00000000" for the CRC (not computed, as FCS 3.1 allows).
 * TEXT: $BEGINANALYSIS, $ENDANALYSIS, $BEGINSTEXT, $ENDSTEXT, $BEGINDATA, $ENDDATA, $BYTEORD
 * 1,2,3,4, $DATATYPE F, $MODE L, $NEXTDATA 0, $PAR, $TOT; per channel $PnN, $PnS (when the label
 * is set), $PnB 32, $PnE 0,0, $PnR and the channel's keywords; then output.keywords in order. The
 * delimiter is a character that occurs in no keyword or value when there is one, else one that
 * begins none, doubled where it occurs.
 *
 * @throws std::invalid_argument (nothing is written) when the output would make an invalid file:
 *         values not num_events * channels; no channels; an empty name or value (FCS values are
 *         never empty: leave an empty keyword out); text that is not UTF-8; a comma in a name
 *         or two channels of the same name; a keyword name that is not printable ASCII or has
 *         blanks at its ends; a keyword that write_fcs writes itself (layout, segments, $Pn...)
 *         or one given twice; a channel keyword suffix N, S, R, B, E or DATATYPE or beginning
 *         with a digit; a range text that is not a positive number.
 * @throws std::runtime_error naming the file when it cannot be written completely (the partial
 *         file is removed).
 */
void write_fcs(const std::string& path, const FcsOutput& output);

/**
 * The ranges write_fcs gives the channels that have neither a range text nor a positive range:
 * the largest finite value of each (at least 1), rounded up, over every block of values added.
 * For a file written a block at a time, whose TEXT, with the ranges, comes before the values.
 */
class ValueRanges {
public:
    explicit ValueRanges(const std::vector<Channel>& channels);

    /** True when every channel has its range already, so that no values need to be seen. */
    bool empty() const { return columns_.empty(); }

    /** Takes in `count` events of channels.size() values each, event after event. */
    void add(const float* values, std::size_t count);

    /** Sets the range of each channel without one to what the values added give it. */
    void apply(std::vector<Channel>& channels) const;

private:
    std::size_t width_;
    std::vector<std::size_t> columns_; ///< the channels without a range
    std::vector<float> largest_;       ///< the largest finite value of each so far, at least 1
};

/**
 * An FCS file written a block of events at a time, byte for byte as write_fcs writes the same
 * values, so that a file of any size is written in little memory. The HEADER and TEXT are written
 * when it is opened. A file that is not finished is removed when the writer is destroyed.
 */
class FcsWriter {
public:
    /**
     * Opens `path` (replacing any file of that name) for a file laid out as `layout` says;
     * `layout.values` is not used, and every channel needs its range (a range text or a positive
     * range: see ValueRanges).
     * @throws std::invalid_argument (nothing is written) as write_fcs, and for a channel without a
     *         range; std::runtime_error naming the file when it cannot be written.
     */
    FcsWriter(const std::string& path, const FcsOutput& layout);
    ~FcsWriter();
    FcsWriter(const FcsWriter&) = delete;
    FcsWriter& operator=(const FcsWriter&) = delete;

    /**
     * Writes the next `count` events of channels.size() values each.
     * @throws std::logic_error for more events than the layout's; std::runtime_error naming the
     *         file when it cannot be written (the partial file is removed).
     */
    void write_events(const float* values, std::size_t count);

    /**
     * Ends and closes the file.
     * @throws std::logic_error when fewer events than the layout's were written; std::runtime_error
     *         naming the file when it cannot be written completely (the partial file is removed).
     */
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace pairmend::fcs

#endif
