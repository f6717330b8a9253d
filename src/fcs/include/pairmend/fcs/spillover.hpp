#ifndef PAIRMEND_FCS_SPILLOVER_HPP
#define PAIRMEND_FCS_SPILLOVER_HPP

// Spillover matrices and compensation: the matrix a file records ($SPILLOVER of FCS 3.1, SPILL or
// $SPILL as FCS 3.0 instruments write it, $DFCiTOj of FCS 2.0) or one read from a CSV file, and the
// compensation of a file's linear values by its inverse. The functions keep no state and may be
// called from any thread; a Compensator is immutable once built and safe to share between threads.

#include "pairmend/fcs/fcs_file.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairmend::fcs {

/**
 * A spillover matrix: entry (i, j) is the share of the signal of channel i's dye that channel j's
 * detector records, so that a measured event is its compensated values times the matrix.
 */
struct SpilloverMatrix {
    std::string source; ///< "$SPILLOVER", "SPILL", "$SPILL", "$DFCiTOj" or the CSV file's path.
    std::vector<std::string> channels; ///< the $PnN of every row (and column), blanks at the ends trimmed.
    std::vector<double> values;        ///< channels.size()^2 entries, row after row.
};

/** The matrix a file's own keywords give, and why the unusable ones were set aside. */
struct FileSpillover {
    /// The first usable matrix of $SPILLOVER, SPILL, $SPILL and $DFCiTOj, in this order; none when
    /// the file has no usable one.
    std::optional<SpilloverMatrix> matrix;
    /// One complete sentence per spillover keyword that could not be used, e.g. "The $SPILLOVER
    /// keyword was set aside because it names 6 channels but gives none of the 36 values of their
    /// matrix."
    std::vector<std::string> notes;
};

/**
 * The spillover matrix a file records. $SPILLOVER, SPILL and $SPILL hold "n,name1,...,namen,
 * f11,f12,...,fnn": n channels by $PnN, then the matrix row after row. $DFCiTOj (i and j channel
 * numbers from 1) holds the percentage of channel i's signal that channel j records; the channels
 * that some $DFCiTOj names make the matrix, with 1 on its diagonal and 0 where no keyword is given.
 * A keyword is unusable (and noted) when its count is missing or not a whole number, it has too
 * few or too many values, a value is not a number, it names a channel twice or one the file lacks,
 * or its matrix is singular.
 */
FileSpillover file_spillover(const FcsFile& file);

/**
 * Reads a spillover matrix from a CSV file as analysis programs export it: a header of channel
 * names ($PnN), then one row of numbers per channel in the header's order. Rows may begin with
 * their channel's name (then the header may begin with an empty or a label cell). Cells may be
 * quoted ("FL1,A"), quotes doubled inside; blank lines are skipped.
 * @throws std::runtime_error naming the file and the fault when it cannot be read, a row has the
 *         wrong number of cells, a cell is not a number, a row's name differs from its column's, a
 *         channel is named twice, or the matrix is singular.
 */
SpilloverMatrix read_spillover_csv(const std::string& path);

/**
 * The compensation of one file's values by a spillover matrix: the matrix's channels found in the
 * file and the inverse of the matrix. Compensated values are the linear values of those channels
 * times the inverse; every other channel stays as it was.
 */
class Compensator {
public:
    /**
     * @throws std::runtime_error naming the matrix's source, the file and the channel when the file
     *         lacks a channel of the matrix, and naming the source when the matrix is singular.
     */
    Compensator(const SpilloverMatrix& matrix, const FcsFile& file);

    /**
     * Compensates `linear` (file.num_events x file.channels.size() values, event after event) in
     * place.
     * @throws std::runtime_error naming the event, file and channel of a value of the matrix's
     *         channels that is not finite.
     */
    void apply(const FcsFile& file, std::vector<double>& linear) const;

    /** As apply, on events first .. first + count - 1 of the file, whose values `linear` holds
     *  (count * channels, event after event); messages count the events from `first`. */
    void apply(const FcsFile& file, std::size_t first, std::size_t count, double* linear) const;

    /** The positions (from 0) in the file of the matrix's channels, in the matrix's order. */
    const std::vector<std::size_t>& positions() const { return positions_; }

    /** The inverse of the spillover matrix, row after row. */
    const std::vector<double>& inverse() const { return inverse_; }

private:
    std::vector<std::size_t> positions_;
    std::vector<double> inverse_;
};

/**
 * The inverse of an n x n matrix (row after row) by Gauss-Jordan elimination with partial
 * pivoting, or none when the matrix is singular: a pivot at most 1e-12 times its largest entry.
 */
std::optional<std::vector<double>> invert_matrix(const std::vector<double>& matrix, std::size_t n);

} // namespace pairmend::fcs

#endif
