#ifndef PAIRMEND_R_BATCH_LABELS_HPP
#define PAIRMEND_R_BATCH_LABELS_HPP

// The batch labels of R's events, numbered as the program numbers the labels of its input table
// (pairmend::number_batch_labels): numbers by value, texts by their UTF-8 bytes (the C locale's
// order, whatever R's collation), a factor by the order of its levels. Correction models name
// their batches by these labels as text.

#include <Rcpp.h>

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend_r {

/** How many different labels a vector of batch labels must hold. */
enum class BatchesNeeded { at_least_two, any };

/** The labels of a vector of batch labels, numbered 0 to k-1. Not copyable. */
class BatchLabels {
public:
    /**
     * @param labels An integer, double or character vector, or a factor, one label per event.
     * @param nobs The number of events.
     * @param events How messages count the events: "x has 8 events (rows)".
     * @param event What one event is called: "event", or "cell" in an assay.
     * @param needed Whether at least two labels must differ (a correction or a fit), or any
     *        number of batches will do (events to correct with a model or to add to it).
     * @throws std::runtime_error when the count differs from `nobs`; for an NA label, a double
     *         that is not a whole number, a vector of another type; "There must be at least two
     *         batches" when two are needed and fewer than two labels differ.
     */
    BatchLabels(SEXP labels, std::size_t nobs, const std::string& events, const std::string& event,
                BatchesNeeded needed = BatchesNeeded::at_least_two);
    BatchLabels(const BatchLabels&) = delete;
    BatchLabels& operator=(const BatchLabels&) = delete;

    /** The batch number (0 to k-1) of every event. */
    const std::vector<int>& batches() const { return batches_; }

    /** The number of batches: of different labels. */
    std::size_t count() const;

    /** The label of batch number `batch` as messages write it. */
    std::string label_text(int batch) const;

    /**
     * The names of the batches in number order, as a correction model names them: the labels as
     * UTF-8 text, numbers as whole numbers in decimal digits (7 and 7.0 are "7"), a factor's
     * levels. These are the names Python and pairmend-fcs give the same batches.
     */
    std::vector<std::string> names() const;

    /**
     * The labels of the batch numbers `batches` as an R vector of the input's kind: integer,
     * double, character, or a factor with the input's levels.
     */
    Rcpp::RObject labels_of(const std::vector<int>& batches) const;

    /**
     * Gives `options` (CorrectOptions, FitOptions or ExtendOptions) the conditions `labels`
     * numbers, when `condition` is not NULL: one label per event, of the kinds batch labels take.
     */
    template <class Options>
    static void give_conditions(SEXP condition, std::size_t nobs, const std::string& events,
                                std::vector<int>& ids, Options& options) {
        if (Rf_isNull(condition)) {
            return;
        }
        const BatchLabels labels(condition, nobs, events, "event", BatchesNeeded::any);
        ids = labels.batches();
        options.condition_names = labels.names();
        options.condition_ids = ids.data();
    }

private:
    enum class Kind { integer, number, text, factor };

    Kind kind_ = Kind::integer;
    std::vector<int> batches_;
    std::vector<int> integers_;      ///< distinct labels of integer vectors, codes of factors.
    std::vector<double> numbers_;    ///< distinct labels of double vectors.
    std::vector<std::string> texts_; ///< distinct labels of character vectors (UTF-8).
    std::vector<SEXP> text_labels_;  ///< each distinct text as R holds it, encoding and all.
    Rcpp::RObject input_;            ///< the labels as given, which keeps text_labels_ alive.
    Rcpp::RObject levels_;           ///< a factor's levels.
    Rcpp::RObject factor_class_;     ///< "factor", or c("ordered", "factor").
};

} // namespace pairmend_r

#endif
