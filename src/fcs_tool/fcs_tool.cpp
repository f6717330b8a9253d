#include "fcs_tool.hpp"

#include "pairmend/engine_options.hpp"
#include "pairmend/fcs_study/correct_study.hpp"
#include "pairmend/fcs_study/info_export.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study_models.hpp"
#include "tool_options.hpp"

#include <exception>
#include <new>
#include <optional>

namespace pairmend::fcs_tool {

namespace {

// The threads given with --threads, or pairmend's default.
int threads(const std::optional<int>& given) {
    return given ? *given : default_engine_threads();
}

} // namespace

int run_fcs_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            throw UsageError("Name a command: info, export, correct, fit, apply or extend.");
        }
        const std::string& command = args.front();
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (command == "--help" || command == "-h" || command == "help") {
            out << usage_text();
            return 0;
        }
        if (command == "info") {
            if (!fcs_study::print_info(parse_info_options(rest), out, err)) {
                return 1;
            }
        } else if (command == "export") {
            fcs_study::export_csv(parse_export_options(rest));
        } else if (command == "correct") {
            const CorrectCommand options = parse_correct_command(rest);
            fcs_study::Progress progress(err);
            fcs_study::correct_study(options.study, options.learning, options.output,
                                     threads(options.threads), progress);
        } else if (command == "fit") {
            const FitCommand options = parse_fit_command(rest);
            fcs_study::Progress progress(err);
            fcs_study::fit_study(options.study, options.learning, options.model, threads(options.threads),
                                 progress);
        } else if (command == "apply") {
            const ApplyCommand options = parse_apply_command(rest);
            fcs_study::Progress progress(err);
            fcs_study::apply_study(options.study, options.model, options.output, threads(options.threads),
                                   progress);
        } else if (command == "extend") {
            const ExtendCommand options = parse_extend_command(rest);
            fcs_study::Progress progress(err);
            fcs_study::extend_study(options.study, options.model, options.new_model, threads(options.threads),
                                    progress);
        } else {
            throw UsageError("Unknown command \"" + command +
                             "\": use info, export, correct, fit, apply or extend.");
        }
        return 0;
    } catch (const UsageError& error) {
        err << "Error: " << error.what() << "\n\n" << usage_text();
        err.flush();
        return 2;
    } catch (const std::bad_alloc&) {
        err << "Error: There is not enough memory for these files. Correct fewer files or channels at once."
            << std::endl;
        return 1;
    } catch (const std::exception& error) {
        err << "Error: " << error.what() << std::endl;
        return 1;
    }
}

} // namespace pairmend::fcs_tool
