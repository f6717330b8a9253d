#include "fcs_tool.hpp"

#include "correct_files.hpp"
#include "info_export.hpp"
#include "model_commands.hpp"
#include "pairmend/model/correct.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

#include <exception>
#include <new>

namespace pairmend::fcs_tool {

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
            if (!print_info(parse_info_options(rest), out, err)) {
                return 1;
            }
        } else if (command == "export") {
            export_csv(parse_export_options(rest));
        } else if (command == "correct") {
            const CorrectOptions options = parse_correct_options(rest);
            Progress progress(err);
            // Another method, like a subsample, runs as a model learnt and then applied.
            if (model::runs_as_model(options.method, options.fit_events)) {
                fit_and_apply_files(options, progress);
            } else {
                correct_files(options, progress);
            }
        } else if (command == "fit" || command == "apply" || command == "extend") {
            const CorrectOptions options = parse_model_options(command, rest);
            Progress progress(err);
            if (command == "fit") {
                fit_files(options, progress);
            } else if (command == "apply") {
                apply_files(options, progress);
            } else {
                extend_files(options, progress);
            }
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
