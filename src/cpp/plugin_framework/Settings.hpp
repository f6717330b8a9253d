#ifndef QN_SETTINGS_HPP
#define QN_SETTINGS_HPP

#include "plugin_framework/NameValue.hpp"

#include <rapidjson/fwd.h>

#include <string>
#include <vector>

namespace QN {

/**
 * The job file of a plug-in program: its input files, output files, summary-file name and
 * named settings, read from JSON.
 *
 * A program derives its own settings class and overrides processLoadedJSON() to check the job
 * and convert the settings it needs. Relative file names are resolved against the program's
 * own directory, recorded at construction. Not thread-safe: use one object from one thread.
 */
class Settings {
public:
    /// One input table named by the job file.
    struct InputFile {
        std::string name;         ///< the file name as written in the job file (or resolved)
        bool isNormalized = true; ///< the "is_normalized" flag; true when the key is absent
    };

    /// One output table named by the job file.
    struct OutputFile {
        std::string name;                      ///< the file name as written in the job file (or resolved)
        std::vector<std::string> columnLabels; ///< the "column_labels", in job-file order
    };

    /// An iterator to one member of a parsed JSON object (rapidjson::Value::ConstMemberIterator).
    using JsonMember =
        rapidjson::GenericMemberIterator<true, rapidjson::UTF8<char>,
                                         rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>>;

    static constexpr const char* inputFiles_Att = "input_files";
    static constexpr const char* name_Att = "name";
    static constexpr const char* isNormalized_Att = "is_normalized";
    static constexpr const char* settings_Att = "settings";
    static constexpr const char* summaryFile_Att = "summary_file";
    static constexpr const char* outputFiles_Att = "output_files";
    static constexpr const char* outputColumnLabels_Att = "column_labels";

    /**
     * Creates empty settings and records the program's directory.
     * @throws std::runtime_error "Couldn't get path of executable" when it cannot be found.
     */
    Settings();

    /**
     * Creates settings holding copies of the given job members.
     * @throws std::runtime_error as the default constructor.
     */
    Settings(const std::vector<NameValue>& settings, const std::vector<InputFile>& inputFiles,
             const std::vector<OutputFile>& outputFiles, const std::vector<std::string>& calculationNames,
             const std::string& summaryFile);

    virtual ~Settings() = default;
    Settings(const Settings&) = default;
    Settings& operator=(const Settings&) = default;
    Settings(Settings&&) = default;
    Settings& operator=(Settings&&) = default;

    /**
     * Loads a job file with doLoadJSONSetup(), then runs the program's checks in
     * processLoadedJSON().
     * @param path The job file's path, used unchanged.
     * @throws std::runtime_error with a message naming the problem; see doLoadJSONSetup().
     */
    void loadJSONSetup(const std::string& path);

    /**
     * Reads and parses a job file and refills the job members from it.
     *
     * A file that cannot be opened or parsed leaves the members untouched; a problem found
     * after parsing leaves them filled up to the failing key.
     * @param path The job file's path, used unchanged.
     * @throws std::runtime_error "Couldn't open <path>", "Couldn't parse JSON in <path>", or a
     *         message naming the key (and the 1-based entry) whose content is wrong.
     */
    void doLoadJSONSetup(const std::string& path);

    /**
     * Turns one member of the job file's "settings" object into a named value: true/false
     * gives a bool, an integer literal within 32 bits an int, a number with fraction or
     * exponent (or an integer beyond 64 bits) a double, a string a string.
     * @param member The member.
     * @param index The member's 0-based position, used in messages.
     * @throws std::runtime_error "Value <index+1> is missing or empty" for null, and
     *         "Value must be a boolean, integer, floating-point or string" for other kinds.
     */
    NameValue fromJSON(const JsonMember& member, int index) const;

    /// Replaces the five job members by copies of the arguments; the program directory stays.
    void store(const std::vector<NameValue>& settings, const std::vector<InputFile>& inputFiles,
               const std::vector<OutputFile>& outputFiles, const std::vector<std::string>& calculationNames,
               const std::string& summaryFile);

    /// Empties every job member; the program directory stays.
    void clear();

    /// The number of input files.
    int numInputFiles() const;
    /// The number of output files.
    int numOutputFiles() const;

    /**
     * Returns a copy of one input file.
     * @param index 0-based position.
     * @param resolve When true, the name is resolved with addPath().
     * @throws std::out_of_range when the job file names no input file at that position.
     */
    InputFile inputFile(int index, bool resolve) const;

    /**
     * Returns a copy of one output file.
     * @param index 0-based position.
     * @param resolve When true, the name is resolved with addPath().
     * @throws std::out_of_range when the job file names no output file at that position.
     */
    OutputFile outputFile(int index, bool resolve) const;

    /// Returns the summary-file name, resolved with addPath() when `resolve` is true.
    std::string summaryFile(bool resolve) const;

    std::vector<InputFile> inputFiles() const { return inputFiles_; }
    std::vector<OutputFile> outputFiles() const { return outputFiles_; }
    std::vector<NameValue> settings() const { return settings_; }
    std::vector<std::string> calculationNames() const { return calculationNames_; }

    /**
     * Returns the program's directory as the platform reports it now.
     * @throws std::runtime_error "Couldn't get path of executable" when it cannot be found.
     */
    std::string executablePath() const;

    /// True when some setting has exactly this name (byte-wise, case-sensitive).
    bool has_setting(const std::string& name) const;

    /**
     * Returns a copy of the first setting with exactly this name.
     * @throws std::runtime_error "There is no setting whose name is "<name>"" when none has it.
     */
    NameValue setting(const std::string& name) const;

    /**
     * Resolves a file name against the recorded program directory: an absolute name comes
     * back unchanged, a relative one is placed inside the directory.
     */
    std::string addPath(const std::string& name) const;

    /// Hook run at the end of every loadJSONSetup(); the base version accepts every job.
    virtual void processLoadedJSON() {}

private:
    std::vector<std::string> calculationNames_;
    std::string executablePath_;
    std::vector<InputFile> inputFiles_;
    std::vector<OutputFile> outputFiles_;
    std::vector<NameValue> settings_;
    std::string summaryFile_;
};

} // namespace QN

#endif
