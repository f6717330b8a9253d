#ifndef PAIRMEND_R_EVENT_VALUES_HPP
#define PAIRMEND_R_EVENT_VALUES_HPP

// The measured values of an R matrix in the layout the engine reads and writes: the values of one
// event after another. R keeps a matrix column by column, so a matrix with events in its rows
// (correct()) is transposed on the way in and out, while a matrix with events in its columns (the
// cells of a SingleCellExperiment assay) is already in the engine's layout: a double assay is read
// where it lies and the engine writes straight into the R matrix that is returned.

#include <Rcpp.h>

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend_r {

/** Whether a matrix holds one event per row (events x parameters) or one per column. */
enum class EventAxis { rows, columns };

/** A matrix's shape in events and parameters. */
struct EventShape {
    std::size_t nobs = 0; ///< events.
    std::size_t ndim = 0; ///< parameters (values per event).
};

/**
 * The events of a matrix as messages count them: "x has 8 events (rows)", "assay \"exprs\" has 8
 * cells (columns)".
 */
std::string events_text(const std::string& name, std::size_t nobs, EventAxis axis);

/**
 * The shape of `matrix` for events along `axis`.
 * @param name How messages name the matrix: "x" or "assay \"exprs\"".
 * @throws std::runtime_error when `matrix` is not a double or integer matrix or has no parameters,
 *         and (check_table_size) when it holds more events or values than the engine can count.
 */
EventShape event_shape(SEXP matrix, EventAxis axis, const std::string& name);

/**
 * The values of a double or integer matrix, event after event, every one of them finite.
 * Not copyable; the matrix must outlive the object, since a double matrix with events in its
 * columns is read in place.
 */
class EventValues {
public:
    /**
     * @param matrix A double or integer matrix of the shape `shape`.
     * @param axis Whether its events are its rows or its columns.
     * @param name How messages name the matrix.
     * @throws std::runtime_error with the shared non-finite message for the first event (in event
     *         order) that holds NA, NaN or an infinite value, naming the value's row and column
     *         and their names.
     */
    EventValues(SEXP matrix, EventShape shape, EventAxis axis, const std::string& name);
    EventValues(const EventValues&) = delete;
    EventValues& operator=(const EventValues&) = delete;

    /** shape.nobs * shape.ndim values, event after event. */
    const double* data() const { return data_; }

private:
    std::vector<double> copy_;
    const double* data_ = nullptr;
};

/**
 * The corrected values as R receives them: a double matrix of the input's shape and dimnames.
 * With events in the columns the engine writes into the R matrix itself; with events in the rows
 * it writes into a buffer that finish() transposes into a matrix made only then, after the input's
 * copy is gone, so that no more than two copies of the values are alive at a time.
 * Not copyable; call engine_output() once, then finish() once.
 */
class CorrectedMatrix {
public:
    /** The output for `shape` events along `axis` of `like`, whose dimnames it takes. */
    CorrectedMatrix(SEXP like, EventShape shape, EventAxis axis);
    CorrectedMatrix(const CorrectedMatrix&) = delete;
    CorrectedMatrix& operator=(const CorrectedMatrix&) = delete;

    /** Where the engine writes its output: room for nobs * ndim values, event after event. */
    double* engine_output();

    /** The finished matrix, once the engine has written its output. */
    Rcpp::NumericMatrix finish();

private:
    /// A matrix of the input's shape and dimnames, its values not yet set.
    Rcpp::NumericMatrix shaped_matrix() const;

    EventShape shape_;
    EventAxis axis_;
    Rcpp::RObject dimnames_;
    Rcpp::NumericMatrix matrix_;
    std::vector<double> buffer_; ///< the engine's output when it must be transposed.
};

} // namespace pairmend_r

#endif
