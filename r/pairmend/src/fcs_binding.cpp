// read_fcs for R: the first data set of an FCS file through the project's FCS library.

// The FCS library's header and namespace: the only two lines that name them.
#include "pairmend/fcs/fcs_file.hpp"
namespace fcs_library = pairmend::fcs;
// The choice of compensation that pairmend-fcs makes, so that a file reads here as it corrects there.
#include "pairmend/fcs_study/compensation.hpp"
// The transforms per channel of pairmend-fcs --transforms.
#include "pairmend/fcs_study/transforms.hpp"

#include "r_text.hpp"

#include <Rcpp.h>

#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

/**
 * Reads the first data set of an FCS file.
 * @param path The file's name in the native encoding.
 * @param compensation "auto", "none" or a CSV file of a spillover matrix, as pairmend-fcs
 *        --compensation takes it for the file alone.
 * @param transforms_file a transforms file as pairmend-fcs --transforms takes it, or "".
 * @param channels, transforms (channel, "transform parameters") pairs, used when there is no file.
 * @return list(values = events by channels on the linear scale with the $PnN as column names,
 *         labels = the $PnS named by $PnN, NA where a channel has none, keywords = every TEXT
 *         keyword (the first of a repeated one) as a named character vector, compensation = the
 *         matrix used as PAIRMEND_COMPENSATION names it ("" for none), more_data_sets =
 *         whether the file holds further data sets, which are not read); the channels the
 *         transforms name on their transform's scale.
 * @throws std::runtime_error naming the file and what is wrong when it is not a readable FCS file,
 *         or a matrix file cannot be read or used with it, or a transform cannot be used.
 */
// [[Rcpp::export(rng = false)]]
Rcpp::List fcs_read(std::string path, std::string compensation, std::string transforms_file,
                    std::vector<std::string> channels, std::vector<std::string> transforms) {
    const fcs_library::FcsFile file = fcs_library::read_fcs(path);
    const std::size_t nevents = file.num_events;
    const std::size_t nchannels = file.channels.size();
    if (nevents > static_cast<std::size_t>(INT_MAX)) {
        throw std::runtime_error("The file " + path + " holds " + std::to_string(nevents) +
                                 " events, more than the 2147483647 rows an R matrix can have.");
    }

    const pairmend::fcs_study::CompensationChoice choice =
        pairmend::fcs_study::choose_compensation(compensation, {file});
    Rcpp::NumericMatrix values(static_cast<int>(nevents), static_cast<int>(nchannels));
    {
        std::vector<double> linear = file.linear_values();
        pairmend::fcs_study::compensate(choice, 0, file, linear);
        std::vector<std::pair<std::string, std::string>> pairs;
        for (std::size_t k = 0; k < channels.size() && k < transforms.size(); ++k) {
            pairs.emplace_back(channels[k], transforms[k]);
        }
        pairmend::fcs_study::transform_file_values(
            !transforms_file.empty() ? pairmend::fcs_study::read_transform_sheet(transforms_file)
            : pairs.empty()          ? pairmend::fcs_study::TransformSheet()
                            : pairmend::fcs_study::transform_pairs(pairs, "the transforms given to read_fcs"),
            file, linear);
        double* out = REAL(values);
        for (std::size_t i = 0; i < nevents; ++i) {
            for (std::size_t j = 0; j < nchannels; ++j) {
                out[j * nevents + i] = linear[i * nchannels + j];
            }
        }
    }

    Rcpp::CharacterVector names(static_cast<R_xlen_t>(nchannels));
    Rcpp::CharacterVector labels(static_cast<R_xlen_t>(nchannels));
    for (std::size_t j = 0; j < nchannels; ++j) {
        const fcs_library::Channel& channel = file.channels[j];
        names[static_cast<R_xlen_t>(j)] = pairmend_r::file_text(channel.name);
        labels[static_cast<R_xlen_t>(j)] =
            channel.label.empty() ? NA_STRING : pairmend_r::file_text(channel.label);
    }
    values.attr("dimnames") = Rcpp::List::create(R_NilValue, names);
    labels.attr("names") = names;

    std::unordered_set<std::string> seen;
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < file.keywords.size(); ++k) {
        if (seen.insert(file.keywords[k].first).second) {
            kept.push_back(k);
        }
    }
    Rcpp::CharacterVector keywords(static_cast<R_xlen_t>(kept.size()));
    Rcpp::CharacterVector keyword_names(static_cast<R_xlen_t>(kept.size()));
    for (std::size_t k = 0; k < kept.size(); ++k) {
        keyword_names[static_cast<R_xlen_t>(k)] = pairmend_r::file_text(file.keywords[kept[k]].first);
        keywords[static_cast<R_xlen_t>(k)] = pairmend_r::file_text(file.keywords[kept[k]].second);
    }
    keywords.attr("names") = keyword_names;

    Rcpp::CharacterVector used(1);
    used[0] = pairmend_r::file_text(pairmend::fcs_study::compensation_keyword(choice, 0));
    return Rcpp::List::create(Rcpp::Named("values") = values, Rcpp::Named("labels") = labels,
                              Rcpp::Named("keywords") = keywords, Rcpp::Named("compensation") = used,
                              Rcpp::Named("more_data_sets") = file.more_data_sets);
}
