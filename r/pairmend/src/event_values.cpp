#include "event_values.hpp"

#include "pairmend/messages.hpp"
#include "r_text.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace pairmend_r {

namespace {

// Events read between two looks at Ctrl-C: a few milliseconds of copying.
constexpr std::size_t events_per_interrupt_check = 1 << 16;

// The name of entry `index` of a dimnames component, or "" when there is none.
std::string dim_name(SEXP names, std::size_t index) {
    if (Rf_isNull(names) || TYPEOF(names) != STRSXP) {
        return "";
    }
    const SEXP name = STRING_ELT(names, static_cast<R_xlen_t>(index));
    return name == NA_STRING ? "" : utf8_text(name);
}

// "3 (\"cell_17\")": a position counted from 1 as R counts, with its name when it has one.
std::string position_text(std::size_t index, SEXP names) {
    std::ostringstream text;
    text << index + 1;
    const std::string name = dim_name(names, index);
    if (!name.empty()) {
        text << " (" << pairmend::quoted_value(name) << ")";
    }
    return text.str();
}

// Where a value sits, for the shared non-finite message: by the matrix's own row and column, as
// the user indexes it.
std::string value_place(SEXP matrix, std::size_t row, std::size_t column, const std::string& name) {
    const SEXP dimnames = Rf_getAttrib(matrix, R_DimNamesSymbol);
    const SEXP row_names = Rf_isNull(dimnames) ? R_NilValue : VECTOR_ELT(dimnames, 0);
    const SEXP column_names = Rf_isNull(dimnames) ? R_NilValue : VECTOR_ELT(dimnames, 1);
    return "in row " + position_text(row, row_names) + ", column " + position_text(column, column_names) +
           " of " + name;
}

// A value that is not finite as R prints it.
std::string value_text(double value) {
    if (R_IsNA(value)) {
        return "NA";
    }
    if (std::isnan(value)) {
        return "NaN";
    }
    return value > 0 ? "Inf" : "-Inf";
}

double as_double(int value) {
    return value == NA_INTEGER ? NA_REAL : static_cast<double>(value);
}

double as_double(double value) {
    return value;
}

// Reads event after event, so that the first event with a value that is not finite is the one
// named, as the program names the first row of its table.
template <typename T>
void copy_events(const T* values, EventShape shape, EventAxis axis, double* out, SEXP matrix,
                 const std::string& name) {
    const std::size_t event_step = axis == EventAxis::rows ? 1 : shape.ndim;
    const std::size_t parameter_step = axis == EventAxis::rows ? shape.nobs : 1;
    for (std::size_t i = 0; i < shape.nobs; ++i) {
        if (i % events_per_interrupt_check == 0) {
            Rcpp::checkUserInterrupt();
        }
        for (std::size_t j = 0; j < shape.ndim; ++j) {
            const double value = as_double(values[i * event_step + j * parameter_step]);
            if (!std::isfinite(value)) {
                const std::size_t row = axis == EventAxis::rows ? i : j;
                const std::size_t column = axis == EventAxis::rows ? j : i;
                throw std::runtime_error(pairmend::non_finite_value_message(
                    value_text(value), value_place(matrix, row, column, name)));
            }
            if (out != nullptr) {
                out[i * shape.ndim + j] = value;
            }
        }
    }
}

} // namespace

std::string events_text(const std::string& name, std::size_t nobs, EventAxis axis) {
    return name + " has " + std::to_string(nobs) +
           (axis == EventAxis::rows ? " events (rows)" : " cells (columns)");
}

EventShape event_shape(SEXP matrix, EventAxis axis, const std::string& name) {
    if ((TYPEOF(matrix) != REALSXP && TYPEOF(matrix) != INTSXP) || !Rf_isMatrix(matrix)) {
        throw std::runtime_error(name + " must be a numeric matrix.");
    }
    const auto rows = static_cast<std::size_t>(Rf_nrows(matrix));
    const auto columns = static_cast<std::size_t>(Rf_ncols(matrix));
    const EventShape shape{axis == EventAxis::rows ? rows : columns,
                           axis == EventAxis::rows ? columns : rows};
    if (shape.ndim == 0) {
        throw std::runtime_error(name + " has no parameters (" +
                                 (axis == EventAxis::rows ? "columns" : "rows") +
                                 "): it needs one for each measured parameter.");
    }
    pairmend::check_table_size(shape.nobs, shape.ndim);
    return shape;
}

EventValues::EventValues(SEXP matrix, EventShape shape, EventAxis axis, const std::string& name) {
    if (TYPEOF(matrix) == REALSXP && axis == EventAxis::columns) {
        copy_events(REAL(matrix), shape, axis, nullptr, matrix, name);
        data_ = REAL(matrix);
        return;
    }
    copy_.resize(shape.nobs * shape.ndim);
    if (TYPEOF(matrix) == REALSXP) {
        copy_events(REAL(matrix), shape, axis, copy_.data(), matrix, name);
    } else {
        copy_events(INTEGER(matrix), shape, axis, copy_.data(), matrix, name);
    }
    data_ = copy_.data();
}

CorrectedMatrix::CorrectedMatrix(SEXP like, EventShape shape, EventAxis axis)
    : shape_(shape), axis_(axis), dimnames_(Rf_getAttrib(like, R_DimNamesSymbol)) {}

Rcpp::NumericMatrix CorrectedMatrix::shaped_matrix() const {
    const auto events = static_cast<int>(shape_.nobs);
    const auto parameters = static_cast<int>(shape_.ndim);
    Rcpp::NumericMatrix matrix = axis_ == EventAxis::rows ? Rcpp::no_init_matrix(events, parameters)
                                                          : Rcpp::no_init_matrix(parameters, events);
    if (!Rf_isNull(dimnames_)) {
        matrix.attr("dimnames") = dimnames_;
    }
    return matrix;
}

double* CorrectedMatrix::engine_output() {
    if (axis_ == EventAxis::columns) {
        matrix_ = shaped_matrix();
        return REAL(matrix_);
    }
    buffer_.resize(shape_.nobs * shape_.ndim);
    return buffer_.data();
}

Rcpp::NumericMatrix CorrectedMatrix::finish() {
    if (axis_ == EventAxis::rows) {
        matrix_ = shaped_matrix();
        double* out = REAL(matrix_);
        for (std::size_t i = 0; i < shape_.nobs; ++i) {
            for (std::size_t j = 0; j < shape_.ndim; ++j) {
                out[j * shape_.nobs + i] = buffer_[i * shape_.ndim + j];
            }
        }
        std::vector<double>().swap(buffer_);
    }
    return matrix_;
}

} // namespace pairmend_r
