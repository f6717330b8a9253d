#include "batch_labels.hpp"

#include "pairmend/batch_labels.hpp"
#include "r_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace pairmend_r {

namespace {

// "batch[5]", counted from 1 as R counts.
std::string element(std::size_t index) {
    return "batch[" + std::to_string(index + 1) + "]";
}

[[noreturn]] void refuse_missing(std::size_t index) {
    throw std::runtime_error(
        element(index) +
        " is NA, but every event needs a batch label. Remove that event or give it a batch.");
}

// The values of an integer vector (or a factor's codes), refused if any is NA.
const int* integers_without_na(SEXP labels, std::size_t nobs) {
    const int* values = INTEGER(labels);
    for (std::size_t i = 0; i < nobs; ++i) {
        if (values[i] == NA_INTEGER) {
            refuse_missing(i);
        }
    }
    return values;
}

// The R vector of the labels `labels[b]` of the batches `b` of `batches`, one per element.
template <typename RVector, typename Labels>
RVector labels_at(const Labels& labels, const std::vector<int>& batches) {
    const auto n = static_cast<R_xlen_t>(batches.size());
    RVector out(n);
    for (R_xlen_t i = 0; i < n; ++i) {
        out[i] = labels.at(static_cast<std::size_t>(batches[static_cast<std::size_t>(i)]));
    }
    return out;
}

// A whole number as R prints it, without a decimal point or trailing digits.
std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A whole number in decimal digits, as other languages write an integer; 0 for -0.
std::string whole_number_text(double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", value + 0.0);
    return text;
}

// As pairmend::number_batch_labels, which refuses fewer than two different labels; when any
// number of batches will do, no events or one label give none or one batch.
template <typename Label>
std::vector<Label> number_labels(const Label* labels, std::size_t count, int* batches, BatchesNeeded needed) {
    if (needed == BatchesNeeded::any &&
        std::all_of(labels, labels + count, [&](const Label& label) { return label == labels[0]; })) {
        std::fill(batches, batches + count, 0);
        return count == 0 ? std::vector<Label>() : std::vector<Label>{labels[0]};
    }
    return pairmend::number_batch_labels(labels, count, batches);
}

} // namespace

BatchLabels::BatchLabels(SEXP labels, std::size_t nobs, const std::string& events, const std::string& event,
                         BatchesNeeded needed)
    : input_(labels) {
    const auto count = static_cast<std::size_t>(Rf_xlength(labels));
    if (count != nobs) {
        std::ostringstream text;
        text << "batch holds " << count << " labels, but " << events << "; give one batch label per " << event
             << ".";
        throw std::runtime_error(text.str());
    }
    batches_.resize(nobs);

    if (Rf_isFactor(labels)) {
        kind_ = Kind::factor;
        levels_ = Rf_getAttrib(labels, R_LevelsSymbol);
        factor_class_ = Rf_getAttrib(labels, R_ClassSymbol);
        // Codes follow the levels, so numbering the codes numbers the labels in level order.
        integers_ = number_labels(integers_without_na(labels, nobs), nobs, batches_.data(), needed);
    } else if (TYPEOF(labels) == INTSXP) {
        kind_ = Kind::integer;
        integers_ = number_labels(integers_without_na(labels, nobs), nobs, batches_.data(), needed);
    } else if (TYPEOF(labels) == REALSXP) {
        kind_ = Kind::number;
        const double* values = REAL(labels);
        for (std::size_t i = 0; i < nobs; ++i) {
            if (std::isnan(values[i])) {
                refuse_missing(i);
            }
            if (!std::isfinite(values[i]) || values[i] != std::trunc(values[i])) {
                throw std::runtime_error("Numeric batch labels must be whole numbers, but " + element(i) +
                                         " is " +
                                         (std::isfinite(values[i]) ? number_text(values[i])
                                          : values[i] > 0          ? std::string("Inf")
                                                                   : std::string("-Inf")) +
                                         ". Use whole numbers, texts or a factor.");
            }
        }
        numbers_ = number_labels(values, nobs, batches_.data(), needed);
    } else if (TYPEOF(labels) == STRSXP) {
        kind_ = Kind::text;
        // The same text in another encoding is the same label: compare UTF-8 bytes.
        std::vector<std::string> texts(nobs);
        for (std::size_t i = 0; i < nobs; ++i) {
            const SEXP text = STRING_ELT(labels, static_cast<R_xlen_t>(i));
            if (text == NA_STRING) {
                refuse_missing(i);
            }
            texts[i] = utf8_text(text);
        }
        texts_ = number_labels(texts.data(), nobs, batches_.data(), needed);
        text_labels_.assign(texts_.size(), nullptr);
        for (std::size_t i = 0; i < nobs; ++i) {
            SEXP& first = text_labels_[static_cast<std::size_t>(batches_[i])];
            if (first == nullptr) {
                first = STRING_ELT(labels, static_cast<R_xlen_t>(i));
            }
        }
    } else {
        throw std::runtime_error(std::string("batch must hold whole numbers, texts or a factor, not ") +
                                 Rf_type2char(TYPEOF(labels)) + " values.");
    }
}

std::size_t BatchLabels::count() const {
    return std::max({integers_.size(), numbers_.size(), texts_.size()});
}

std::string BatchLabels::label_text(int batch) const {
    const auto b = static_cast<std::size_t>(batch);
    switch (kind_) {
    case Kind::integer:
        return std::to_string(integers_.at(b));
    case Kind::number:
        return number_text(numbers_.at(b));
    case Kind::text:
        return texts_.at(b);
    case Kind::factor:
        return utf8_text(STRING_ELT(levels_, static_cast<R_xlen_t>(integers_.at(b) - 1)));
    }
    return "";
}

std::vector<std::string> BatchLabels::names() const {
    std::vector<std::string> all;
    for (std::size_t b = 0; b < count(); ++b) {
        all.push_back(kind_ == Kind::number ? whole_number_text(numbers_[b])
                                            : label_text(static_cast<int>(b)));
    }
    return all;
}

Rcpp::RObject BatchLabels::labels_of(const std::vector<int>& batches) const {
    switch (kind_) {
    case Kind::integer:
        return labels_at<Rcpp::IntegerVector>(integers_, batches);
    case Kind::number:
        return labels_at<Rcpp::NumericVector>(numbers_, batches);
    case Kind::text:
        return labels_at<Rcpp::CharacterVector>(text_labels_, batches);
    case Kind::factor: {
        Rcpp::IntegerVector out = labels_at<Rcpp::IntegerVector>(integers_, batches);
        out.attr("levels") = levels_;
        out.attr("class") = factor_class_;
        return out;
    }
    }
    return R_NilValue;
}

} // namespace pairmend_r
