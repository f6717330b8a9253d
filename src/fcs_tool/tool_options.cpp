#include "tool_options.hpp"

#include "pairmend/fcs_study/number_text.hpp"
#include "pairmend/model/method.hpp"

#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace pairmend::fcs_tool {

namespace {

constexpr int int_max = std::numeric_limits<int>::max();

using command_line::Argument;
using command_line::ArgumentReader;

int parse_int(const std::string& text, const std::string& option, int min) {
    return command_line::whole_number(text, option, min, int_max);
}

double parse_double(const std::string& text, const std::string& option, double min, double max,
                    const std::string& range) {
    return command_line::bounded_number(text, option, min, max, range);
}

std::vector<std::string> split_channels(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name.empty()) {
            throw UsageError("The channel list \"" + text +
                             "\" of --channels has an empty name; separate the names by single commas.");
        }
        names.push_back(std::move(name));
        if (comma == std::string::npos) {
            return names;
        }
        start = comma + 1;
    }
}

// Other names of the engine options, kept for command lines written before the short names.
struct OptionAlias {
    const char* alias;
    const char* key;
};
constexpr OptionAlias option_aliases[] = {{"--num-neighbors", "num_neighbors"}};

// The engine setting that a command-line option sets, or nullptr.
const SettingInfo* engine_setting(const std::string& option) {
    for (const OptionAlias& alias : option_aliases) {
        if (option == alias.alias) {
            return find_setting(alias.key);
        }
    }
    for (const SettingInfo& setting : engine_settings()) {
        if (option == setting.option) {
            return &setting;
        }
    }
    return nullptr;
}

// The two words of a flag given as "a|b", true's first.
std::pair<std::string, std::string> two_words(const std::string& text) {
    const std::size_t bar = text.find('|');
    return {text.substr(0, bar), text.substr(bar + 1)};
}

// Reads the value of an engine option into `engine`, checked against the setting's range.
void read_engine_option(const SettingInfo& setting, const std::string& option, ArgumentReader& reader,
                        EngineOptions& engine) {
    if (setting.kind == SettingKind::flag && *setting.metavar == '\0') {
        reader.no_value();
        setting.set(engine, 1);
        return;
    }
    const std::string text = reader.value();
    switch (setting.kind) {
    case SettingKind::flag: {
        const auto [on, off] = two_words(setting.metavar);
        if (text != on && text != off) {
            throw UsageError("The value \"" + text + "\" of " + option + " must be " + on + " or " + off +
                             ".");
        }
        setting.set(engine, text == on ? 1 : 0);
        return;
    }
    case SettingKind::policy: {
        const std::optional<mnncorrect::ReferencePolicy> policy = find_reference_policy(text);
        if (!policy) {
            throw UsageError("The value \"" + text + "\" of " + option + " must be " + setting.range + ".");
        }
        setting.set(engine, static_cast<double>(*policy));
        return;
    }
    case SettingKind::whole_number:
        setting.set(engine, parse_int(text, option, static_cast<int>(setting.minimum)));
        return;
    case SettingKind::number:
        setting.set(engine, parse_double(text, option, setting.minimum, setting.maximum, setting.range));
        return;
    }
}

// One option of the usage text: the option and its value padded to a column, then the words.
std::string usage_line(const std::string& option, const std::string& words) {
    constexpr std::size_t column = 28;
    std::string line = "  " + option;
    line += line.size() < column ? std::string(column - line.size(), ' ') : " ";
    return line + words + "\n";
}

// An option's usage lines with its words wrapped at 88 columns, the later lines under the first.
std::string wrapped_usage_lines(const std::string& option, const std::string& words) {
    constexpr std::size_t width = 88 - 28;
    std::string text;
    std::string line;
    std::size_t start = 0;
    while (start < words.size()) {
        std::size_t end = words.find(' ', start);
        end = end == std::string::npos ? words.size() : end;
        const std::string word = words.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            text += usage_line(text.empty() ? option : "", line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return text + usage_line(text.empty() ? option : "", line);
}

// "; also --num-neighbors" for a setting with another option name, or nothing.
std::string alias_words(const SettingInfo& setting) {
    std::string words;
    for (const OptionAlias& alias : option_aliases) {
        if (std::string(alias.key) == setting.key) {
            words += std::string("; also ") + alias.alias;
        }
    }
    return words;
}

// The usage lines of the engine's options, with the defaults of the shared settings.
std::string engine_usage() {
    std::string text;
    for (const SettingInfo& setting : engine_settings()) {
        const std::string option =
            setting.option + std::string(*setting.metavar ? " " : "") + setting.metavar;
        const bool on = setting.default_value != 0;
        switch (setting.kind) {
        case SettingKind::flag:
            if (*setting.choices == '\0') {
                text += usage_line(option, std::string(setting.description) + (on ? " (default)" : ""));
            } else {
                const auto [yes, no] = two_words(setting.choices);
                text +=
                    usage_line(option, std::string(setting.description) + ": " + yes +
                                           (on ? " (default)" : "") + " or " + no + (on ? "" : " (default)"));
            }
            break;
        case SettingKind::policy: {
            const std::vector<std::string>& names = reference_policy_names();
            std::string list;
            for (std::size_t i = 0; i < names.size(); ++i) {
                list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
            }
            text += usage_line(option, std::string(setting.description) + ": " + list);
            text += usage_line("", "(default " + setting.default_text + ")");
            break;
        }
        case SettingKind::whole_number:
        case SettingKind::number:
            text += usage_line(option, std::string(setting.description) + " (default " +
                                           fcs_study::shortest_text(setting.default_value) +
                                           alias_words(setting) + ")");
            break;
        }
    }
    return text;
}

bool is_option(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

} // namespace

namespace {

// The options each command that reads FCS files for a correction takes.
bool takes_option(const std::string& command, const std::string& option) {
    static const std::map<std::string, std::set<std::string>> options{
        {"correct",
         {"--out", "--channels", "--channel-names", "--batches", "--cofactor", "--transforms",
          "--compensation", "--engine", "--threads", "--report", "--fit-events", "--method"}},
        {"fit",
         {"--model", "--channels", "--channel-names", "--batches", "--cofactor", "--transforms",
          "--compensation", "--engine", "--threads", "--fit-events", "--method"}},
        {"apply",
         {"--model", "--out", "--channel-names", "--batches", "--cofactor", "--transforms", "--compensation",
          "--threads", "--report"}},
        {"extend",
         {"--model", "--new-model", "--channel-names", "--batches", "--transforms", "--compensation",
          "--threads"}}};
    const auto found = options.find(command);
    return found != options.end() && found->second.count(option) > 0;
}

std::string non_empty(const std::string& value, const std::string& what) {
    if (value.empty()) {
        throw UsageError("The " + what + " must not be empty.");
    }
    return value;
}

// Every option of the commands that read a study, as given; each command keeps its own.
struct RunArguments {
    fcs_study::StudyFiles study;
    fcs_study::LearnSettings learning;
    fcs_study::CorrectedOutput output;
    std::optional<int> threads;
    std::string model;
    std::string new_model;
};

RunArguments parse_run_options(const std::string& command, const std::vector<std::string>& args) {
    RunArguments options;
    ArgumentReader reader(args, true);
    bool only_files = false;
    while (!reader.done()) {
        const Argument arg = reader.next();
        const std::string& name = arg.name;
        const SettingInfo* setting = engine_setting(name);
        if (only_files || !is_option(name)) {
            options.study.files.push_back(arg.value ? name + "=" + *arg.value : name);
        } else if (name == "--") {
            only_files = true;
        } else if (!takes_option(command, setting != nullptr ? "--engine" : name)) {
            throw UsageError("pairmend-fcs " + command + " has no option " + name + ".");
        } else if (setting != nullptr) {
            read_engine_option(*setting, name, reader, options.learning.engine);
        } else if (name == "--out") {
            options.output.out_dir = non_empty(reader.value(), "folder of --out");
        } else if (name == "--channels") {
            options.study.channels = split_channels(reader.value());
        } else if (name == "--channel-names") {
            options.study.channel_map = non_empty(reader.value(), "file name of --channel-names");
        } else if (name == "--batches") {
            options.study.batch_sheet = reader.value();
        } else if (name == "--cofactor") {
            options.study.cofactor = parse_double(reader.value(), name, std::numeric_limits<double>::min(),
                                                  std::numeric_limits<double>::max(), "a positive number");
        } else if (name == "--transforms") {
            options.study.transforms = non_empty(reader.value(), "file name of --transforms");
        } else if (name == "--compensation") {
            options.study.compensation =
                non_empty(reader.value(), "value of --compensation (auto, none or a CSV file)");
        } else if (name == "--threads") {
            options.threads = parse_int(reader.value(), name, 1);
        } else if (name == "--report") {
            options.output.report = non_empty(reader.value(), "file name of --report");
        } else if (name == "--fit-events") {
            options.learning.fit_events = static_cast<std::uint64_t>(parse_int(reader.value(), name, 1));
        } else if (name == "--method") {
            try {
                options.learning.method = model::parse_method(reader.value());
            } catch (const std::runtime_error& error) {
                throw UsageError(error.what());
            }
        } else if (name == "--model") {
            options.model = non_empty(reader.value(), "file name of --model");
        } else if (name == "--new-model") {
            options.new_model = non_empty(reader.value(), "file name of --new-model");
        }
    }
    if (takes_option(command, "--model") && options.model.empty()) {
        throw UsageError("pairmend-fcs " + command + " needs --model MODEL.pmm, the model file" +
                         (command == "fit" ? " to write." : " to read."));
    }
    if (command == "extend" && options.new_model.empty()) {
        throw UsageError("pairmend-fcs extend needs --new-model NEW.pmm, the file for the extended model.");
    }
    if (takes_option(command, "--out") && options.output.out_dir.empty()) {
        throw UsageError("pairmend-fcs " + command + " needs --out DIR, the folder for the corrected files.");
    }
    if (options.study.files.empty()) {
        throw UsageError("pairmend-fcs " + command + " needs the FCS files to " +
                         (command == "fit"      ? "learn from."
                          : command == "extend" ? "add."
                                                : "correct."));
    }
    return options;
}

} // namespace

CorrectCommand parse_correct_command(const std::vector<std::string>& args) {
    RunArguments given = parse_run_options("correct", args);
    return {std::move(given.study), std::move(given.learning), std::move(given.output), given.threads};
}

FitCommand parse_fit_command(const std::vector<std::string>& args) {
    RunArguments given = parse_run_options("fit", args);
    return {std::move(given.study), std::move(given.learning), std::move(given.model), given.threads};
}

ApplyCommand parse_apply_command(const std::vector<std::string>& args) {
    RunArguments given = parse_run_options("apply", args);
    return {std::move(given.study), std::move(given.model), std::move(given.output), given.threads};
}

ExtendCommand parse_extend_command(const std::vector<std::string>& args) {
    RunArguments given = parse_run_options("extend", args);
    return {std::move(given.study), std::move(given.model), std::move(given.new_model), given.threads};
}

fcs_study::ExportOptions parse_export_options(const std::vector<std::string>& args) {
    fcs_study::ExportOptions options;
    std::vector<std::string> names;
    for (const std::string& arg : args) {
        if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--compensated") {
            options.compensated = true;
        } else if (is_option(arg)) {
            throw UsageError("pairmend-fcs export has no option " + arg + ".");
        } else {
            names.push_back(arg);
        }
    }
    if (names.size() != 2) {
        throw UsageError("pairmend-fcs export needs two file names, the FCS file and the CSV file to write.");
    }
    if (options.raw && options.compensated) {
        throw UsageError("pairmend-fcs export takes --raw or --compensated, not both: values as stored are "
                         "never compensated.");
    }
    options.input = names[0];
    options.output = names[1];
    return options;
}

fcs_study::InfoOptions parse_info_options(const std::vector<std::string>& args) {
    fcs_study::InfoOptions options;
    for (std::size_t a = 0; a < args.size(); ++a) {
        const std::string& arg = args[a];
        if (arg == "--transforms" || arg.rfind("--transforms=", 0) == 0) {
            const bool joined = arg != "--transforms";
            if (!joined && a + 1 == args.size()) {
                throw UsageError("The option --transforms needs a value, the transforms file.");
            }
            options.transforms = non_empty(joined ? arg.substr(13) : args[++a], "file name of --transforms");
            continue;
        }
        if (is_option(arg)) {
            throw UsageError("pairmend-fcs info has no option " + arg + ".");
        }
        options.files.push_back(arg);
    }
    if (options.files.empty()) {
        throw UsageError("pairmend-fcs info needs one or more FCS files.");
    }
    return options;
}

const char* usage_text() {
    static const std::string text =
        std::string(
            "Usage: pairmend-fcs info [--transforms FILE.csv] FILE.fcs...\n"
            "       pairmend-fcs export [--raw | --compensated] FILE.fcs OUT.csv\n"
            "       pairmend-fcs correct --out DIR [options] FILE.fcs...\n"
            "       pairmend-fcs fit --model MODEL.pmm [options] FILE.fcs...\n"
            "       pairmend-fcs apply --model MODEL.pmm --out DIR [--batches SHEET] [--cofactor C]\n"
            "                          [--transforms FILE.csv] [--channel-names SHEET]\n"
            "                          [--compensation C] [--threads N] [--report FILE.html] FILE.fcs...\n"
            "       pairmend-fcs extend --model MODEL.pmm --new-model NEW.pmm [--batches SHEET]\n"
            "                          [--transforms FILE.csv] [--channel-names SHEET]\n"
            "                          [--compensation C] [--threads N] FILE.fcs...\n"
            "\n"
            "info     prints per file the FCS version, event count, data type, instrument and every\n"
            "         channel ($PnN, $PnS, range), and whether correct picks it by default; with\n"
            "         --transforms, the transform the file gives each channel.\n"
            "export   writes the events as CSV: a header of the $PnN names, then one line per event, on\n"
            "         the linear scale (log-amplified channels converted), or as stored with --raw, or\n"
            "         compensated with the file's own spillover matrix with --compensated.\n"
            "correct  corrects the batch effects between the files and writes, for every input file, a\n"
            "         file of the same name into DIR: the original channels, then one corrected\n"
            "         channel per chosen channel (<$PnN>_mnn, labelled \"<$PnS> (MNN)\").\n"
            "fit      learns a correction model from the files (for example each batch's anchor\n"
            "         files) and writes it to MODEL.pmm; takes the options of correct but --out and\n"
            "         --report.\n"
            "apply    corrects files of batches the model knows and writes them as correct does, one\n"
            "         file at a time; --cofactor only for a model learnt without FCS channels, and\n"
            "         --transforms, when given, must give the model's own.\n"
            "extend   adds the files' batches to the model and writes the new model to NEW.pmm; the\n"
            "         batches already in the model are kept unchanged.\n"
            "\n"
            "Options of correct:\n"
            "  --out DIR                 folder for the corrected files (created when missing)\n"
            "  --channels A,B,...        channels to correct, by $PnN or $PnS (default: every channel\n"
            "                            but time, event counters, scatter and, in mass cytometry,\n"
            "                            unlabelled, barcode, DNA, bead and viability channels)\n"
            "  --channel-names SHEET.csv header line, then \"name,channel\" lines giving one common\n"
            "                            name to channels ($PnN or $PnS) named differently in\n"
            "                            different files; without --channels, the default channels\n"
            "                            all files hold are corrected, the rest kept as they are\n"
            "  --batches SHEET.csv       header line, then \"file,batch\" per file (default: every\n"
            "                            file is its own batch)\n"
            "  --cofactor C              arcsinh cofactor (default 5 for mass cytometry; required\n"
            "                            otherwise) for the channels --transforms leaves out\n"
            "  --transforms FILE.csv     header line, then \"channel,transform,parameters\" per channel\n"
            "                            ($PnN, $PnS or common name): arcsinh COFACTOR, logicle\n"
            "                            [T [W [M [A]]]] (defaults $PnR, 0.5, 4.5, 0) or linear\n"
            "                            (values already transformed)\n"
            "  --compensation C          auto: every file with its own spillover matrix (default;\n"
            "                            mass cytometry files are not compensated), none, or\n"
            "                            MATRIX.csv: one spillover matrix for every file\n") +
        engine_usage() +
        std::string(
            "  --threads N               threads (default: half the processors, at least 1)\n"
            "  --report FILE.html        write the quality-control report\n"
            "  --fit-events N            learn from at most N events per batch (evenly spread), then\n"
            "                            correct every event with what was learnt\n") +
        wrapped_usage_lines("--method M", "correction method: " + model::method_choices()) +
        std::string("\n"
                    "Progress goes to standard error. The exit status is 0 on success, 1 when the work\n"
                    "failed (nothing is left behind in DIR) and 2 for a wrong command line.\n");
    return text.c_str();
}

} // namespace pairmend::fcs_tool
