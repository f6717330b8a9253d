#ifndef QN_RUN_MNN_HPP
#define QN_RUN_MNN_HPP

#include "MnnSettings.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "plugin_framework/Summary.hpp"

#include <string>
#include <utility>
#include <vector>

namespace QN {

/**
 * Runs one batch-correction job: reads the input table, corrects it with the MNN engine and
 * writes the output table.
 *
 * @param settings A loaded and validated job (one input file, one output file).
 * @return A successful summary holding the number of events; failures never return.
 * @throws std::runtime_error "Couldn't open or read <input path>" when the input table cannot
 *         be read, and every error of prepare_mnn_input(), the engine and save_mnn_output().
 */
Summary run_mnn(const MnnSettings& settings);

/**
 * The correction engine's options, every one taken from the job: the settings' MNN options, no
 * observation cap, and pairmend::default_engine_threads() threads.
 */
mnncorrect::Options configure_engine(const MnnSettings& settings);

/**
 * Every option the engine runs with, by its job-file key and as the job file writes its value
 * (run_ID first); defaults included, since a reader wants to know what was used, not only what
 * the job file said.
 */
std::vector<std::pair<std::string, std::string>> settings_used(const MnnSettings& settings);

} // namespace QN

#endif
