#include "plugin_framework/Settings.hpp"

#include "plugin_framework/utilities.hpp"

#include <rapidjson/document.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace QN {

namespace {

// Builds an error message from its pieces, numbers in plain decimal.
template <typename... Parts>
std::string message(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

// Reads the whole file, dropping the line feeds between lines (carriage returns stay).
bool read_joined_lines(const std::string& path, std::string& text) {
    std::ifstream file;
    if (!open_text_file(path, file)) {
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        text += line;
    }
    return true;
}

// The member of an object with this key, or null when it is absent; the first one wins
// when a key occurs twice.
const rapidjson::Value* find_member(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

// "input" as "Input", to start a message.
std::string capitalise(const std::string& word) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(word[0]))) + word.substr(1);
}

// The entry `index` (from 0) of `files`, the input or output files (`kind`) of the job file, with
// its name as `name_of` gives it.
template <typename File, typename NameOf>
File file_at(const std::vector<File>& files, int index, const std::string& kind, NameOf name_of) {
    if (index < 0 || index >= static_cast<int>(files.size())) {
        throw std::out_of_range(message(capitalise(kind), " file ", index + 1,
                                        " was asked for, but the job file names ", files.size(), " ", kind,
                                        " files."));
    }
    File file = files[static_cast<std::size_t>(index)];
    file.name = name_of(file.name);
    return file;
}

// The name of a file entry of the job file; `kind` ("input" or "output") and `position` name the
// entry in the messages.
std::string file_entry_name(const rapidjson::Value& entry, const std::string& kind, int position) {
    const std::string capitalised = capitalise(kind);
    if (!entry.IsObject()) {
        throw std::runtime_error(message(capitalised, " file ", position, " must be a JSON object"));
    }
    const rapidjson::Value* name = find_member(entry, Settings::name_Att);
    if (name == nullptr) {
        throw std::runtime_error(message(capitalised, " file ", position, " has no name"));
    }
    if (!name->IsString()) {
        throw std::runtime_error(
            message("The \"name\" of ", kind, " file ", position, " must be a JSON string"));
    }
    return name->GetString();
}

Settings::InputFile read_input_file(const rapidjson::Value& entry, int position) {
    Settings::InputFile file;
    file.name = file_entry_name(entry, "input", position);
    if (const rapidjson::Value* normalized = find_member(entry, Settings::isNormalized_Att)) {
        if (!normalized->IsBool()) {
            throw std::runtime_error(
                message("The \"is_normalized\" of input file ", position, " must be true or false"));
        }
        file.isNormalized = normalized->GetBool();
    }
    return file;
}

Settings::OutputFile read_output_file(const rapidjson::Value& entry, int position) {
    Settings::OutputFile file;
    file.name = file_entry_name(entry, "output", position);
    if (const rapidjson::Value* labels = find_member(entry, Settings::outputColumnLabels_Att)) {
        if (!labels->IsArray()) {
            throw std::runtime_error(
                message("Output file ", position, " column labels must be in a JSON array"));
        }
        for (const rapidjson::Value& label : labels->GetArray()) {
            if (!label.IsString()) {
                throw std::runtime_error(
                    message("Output file ", position, " has a column label that is not text"));
            }
            file.columnLabels.emplace_back(label.GetString());
        }
    }
    return file;
}

// A top-level list of file entries; absent is fine, anything but an array is not.
const rapidjson::Value* find_file_list(const rapidjson::Value& document, const char* key) {
    const rapidjson::Value* list = find_member(document, key);
    if (list != nullptr && !list->IsArray()) {
        throw std::runtime_error(
            message("The job file's \"", key, "\" must be a JSON array of file entries"));
    }
    return list;
}

} // namespace

Settings::Settings() : executablePath_(GetExecutablePath()) {}

Settings::Settings(const std::vector<NameValue>& settings, const std::vector<InputFile>& inputFiles,
                   const std::vector<OutputFile>& outputFiles,
                   const std::vector<std::string>& calculationNames, const std::string& summaryFile)
    : Settings() {
    store(settings, inputFiles, outputFiles, calculationNames, summaryFile);
}

void Settings::loadJSONSetup(const std::string& path) {
    doLoadJSONSetup(path);
    processLoadedJSON();
}

void Settings::doLoadJSONSetup(const std::string& path) {
    std::string text;
    if (!read_joined_lines(path, text)) {
        throw std::runtime_error("Couldn't open " + path);
    }

    const std::string parse_error = "Couldn't parse JSON in " + path;
    try {
        rapidjson::Document document;
        document.Parse(text.data(), text.size());
        // The parser takes a NUL byte for the end of the text; text after one would go unseen.
        if (document.HasParseError() || text.find('\0') != std::string::npos) {
            throw std::runtime_error(parse_error);
        }
        if (!document.IsObject()) {
            throw std::runtime_error("The job file " + path + " must hold one JSON object");
        }

        clear();

        if (const rapidjson::Value* inputs = find_file_list(document, inputFiles_Att)) {
            int position = 0;
            for (const rapidjson::Value& entry : inputs->GetArray()) {
                inputFiles_.push_back(read_input_file(entry, ++position));
            }
        }

        if (const rapidjson::Value* values = find_member(document, settings_Att)) {
            if (!values->IsObject()) {
                throw std::runtime_error("The job file's \"settings\" must be a JSON object of named values");
            }
            int index = 0;
            for (auto member = values->MemberBegin(); member != values->MemberEnd(); ++member) {
                settings_.push_back(fromJSON(member, index++));
            }
        }

        const rapidjson::Value* summary = find_member(document, summaryFile_Att);
        if (summary == nullptr || summary->IsNull()) {
            throw std::runtime_error("The summary-file name is missing");
        }
        if (!summary->IsString()) {
            throw std::runtime_error("The job file's \"summary_file\" must be a JSON string");
        }
        summaryFile_ = summary->GetString();

        if (const rapidjson::Value* outputs = find_file_list(document, outputFiles_Att)) {
            outputFiles_.reserve(outputs->Size());
            int position = 0;
            for (const rapidjson::Value& entry : outputs->GetArray()) {
                outputFiles_.push_back(read_output_file(entry, ++position));
            }
        }
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        throw std::runtime_error(error.what());
    } catch (...) {
        throw std::runtime_error(parse_error);
    }
}

NameValue Settings::fromJSON(const JsonMember& member, int index) const {
    const std::string name = member->name.GetString();
    const rapidjson::Value& value = member->value;
    if (value.IsNull()) {
        throw std::runtime_error(message("Value ", index + 1, " is missing or empty"));
    }
    if (value.IsBool()) {
        return NameValue(name, value.GetBool());
    }
    // A fraction or exponent makes a double, and so does an integer beyond 64 bits, which
    // the parser can only keep as a double.
    if (value.IsDouble()) {
        return NameValue(name, value.GetDouble());
    }
    if (value.IsInt()) {
        return NameValue(name, value.GetInt());
    }
    if (value.IsString()) {
        return NameValue(name, value.GetString());
    }
    throw std::runtime_error("Value must be a boolean, integer, floating-point or string");
}

void Settings::store(const std::vector<NameValue>& settings, const std::vector<InputFile>& inputFiles,
                     const std::vector<OutputFile>& outputFiles,
                     const std::vector<std::string>& calculationNames, const std::string& summaryFile) {
    settings_ = settings;
    inputFiles_ = inputFiles;
    outputFiles_ = outputFiles;
    calculationNames_ = calculationNames;
    summaryFile_ = summaryFile;
}

void Settings::clear() {
    calculationNames_.clear();
    inputFiles_.clear();
    outputFiles_.clear();
    settings_.clear();
    summaryFile_.clear();
}

int Settings::numInputFiles() const {
    return static_cast<int>(inputFiles_.size());
}

int Settings::numOutputFiles() const {
    return static_cast<int>(outputFiles_.size());
}

Settings::InputFile Settings::inputFile(int index, bool resolve) const {
    return file_at(inputFiles_, index, "input",
                   [&](const std::string& name) { return resolve ? addPath(name) : name; });
}

Settings::OutputFile Settings::outputFile(int index, bool resolve) const {
    return file_at(outputFiles_, index, "output",
                   [&](const std::string& name) { return resolve ? addPath(name) : name; });
}

std::string Settings::summaryFile(bool resolve) const {
    return resolve ? addPath(summaryFile_) : summaryFile_;
}

std::string Settings::executablePath() const {
    return GetExecutablePath();
}

bool Settings::has_setting(const std::string& name) const {
    for (const NameValue& entry : settings_) {
        if (entry.name == name) {
            return true;
        }
    }
    return false;
}

NameValue Settings::setting(const std::string& name) const {
    for (const NameValue& entry : settings_) {
        if (entry.name == name) {
            return entry;
        }
    }
    throw std::runtime_error("There is no setting whose name is \"" + name + "\"");
}

std::string Settings::addPath(const std::string& name) const {
    if (executablePath_.empty()) {
        return name;
    }
    return (std::filesystem::path(executablePath_) / name).string();
}

} // namespace QN
