#ifndef PAIRMEND_FCS_STUDY_BATCH_PLAN_HPP
#define PAIRMEND_FCS_STUDY_BATCH_PLAN_HPP

// Which input file belongs to which batch: every file its own batch, or as a batch sheet says.
// The functions keep no state and may be called from any thread.

#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** One line of a batch sheet. */
struct SheetEntry {
    std::string file;      ///< the file as the sheet names it (trimmed).
    std::string batch;     ///< the batch name (trimmed).
    std::string condition; ///< the condition (trimmed), when the sheet has a condition column.
    int line = 0;          ///< the line of the sheet, from 1.
};

/** A batch sheet as read. */
struct BatchSheet {
    std::string path;                ///< where it was read from, for messages.
    std::string header;              ///< its first line (trimmed).
    std::vector<SheetEntry> entries; ///< the lines after the header, empty lines left out.
    bool has_conditions = false;     ///< whether the header names a third column "condition".
};

/**
 * Reads a batch sheet: a header line, then one line "file,batch" per input file. Blanks around
 * the cells, empty lines and Windows line ends are allowed.
 * @throws std::runtime_error naming the sheet (and the line) when it cannot be read, is empty,
 *         or has a line that is not two non-empty cells.
 */
BatchSheet read_batch_sheet(const std::string& path);

/** The batches of a run, numbered 1..k; batch number b has name names[b - 1]. */
struct BatchPlan {
    std::vector<std::string> names;      ///< the name of every batch, in number order.
    std::vector<int> file_batch;         ///< the batch number (from 1) of every input file, in input order.
    std::vector<std::string> conditions; ///< with a condition column: the conditions, in natural order.
    std::vector<int> file_condition;     ///< with one: every input file's position in `conditions`.
};

/** Every file its own batch, numbered in the order of `files`, named by the file's base name. */
BatchPlan batches_per_file(const std::vector<std::string>& files);

/**
 * The batches a sheet assigns. A sheet entry names an input file as it was given (`files`) or by
 * its base name. Batches are numbered in natural order of their names ("run 2" before "run 10",
 * numbers by value), the order in which pairmend numbers integer labels.
 *
 * @param files the input files as given on the command line; their base names are distinct.
 * @param sheet the sheet.
 * @param other_files_allowed whether the sheet may name files that are not among `files`, as the
 *        sheet of a whole study does when a model is learnt from or applied to some of its files.
 * @throws std::runtime_error when a file is missing from the sheet, named twice, or (unless
 *         allowed) a sheet entry names no input file (or when the header line seems to be missing:
 *         its first cell names an input file).
 */
BatchPlan batches_from_sheet(const std::vector<std::string>& files, const BatchSheet& sheet,
                             bool other_files_allowed = false);

/**
 * Numbers the batches named per file, as a batch sheet's are numbered: in natural order of their
 * names (see batches_from_sheet).
 * @param file_batches the batch name of every input file, in input order.
 */
BatchPlan numbered_batches(const std::vector<std::string>& file_batches);

/** Natural order of two texts: runs of digits compare by value, everything else by character. */
bool natural_less(const std::string& a, const std::string& b);

} // namespace pairmend::fcs_study

#endif
