#ifndef PAIRMEND_FCS_TOOL_OUTPUT_TRANSACTION_HPP
#define PAIRMEND_FCS_TOOL_OUTPUT_TRANSACTION_HPP

// Files that appear all together or not at all: each is written under a temporary name beside its
// final place, and only commit() moves them there.

#include <filesystem>
#include <string>
#include <vector>

namespace fcs_tool {

/**
 * A set of output files written under temporary names and renamed into place by commit(). When
 * the object goes away without a successful commit, the temporary files are removed and so are
 * the folders it created, so a failed run leaves nothing new behind; the same happens when SIGINT,
 * SIGTERM or SIGHUP ends the program before the commit (see interrupt_cleanup). Files that already
 * existed under a final name are replaced only by commit(). Not copyable; use one object from one
 * thread.
 */
class OutputTransaction {
public:
    OutputTransaction();
    ~OutputTransaction();
    OutputTransaction(const OutputTransaction&) = delete;
    OutputTransaction& operator=(const OutputTransaction&) = delete;

    /**
     * Creates `folder` and its missing parents; the ones created are removed again on failure.
     * @throws std::runtime_error naming the folder when it cannot be created or is not a folder.
     */
    void create_folder(const std::filesystem::path& folder);

    /**
     * Registers a file and returns the temporary name to write it under, in the same folder
     * (".<name>.pairmend-<random token>.tmp").
     */
    std::string add(const std::filesystem::path& final_path);

    /**
     * Renames every registered file into place. When one rename fails, the files already moved that
     * did not exist before are removed again, and every temporary file too.
     * @throws std::runtime_error naming the file when a rename fails.
     */
    void commit();

private:
    struct Entry {
        std::filesystem::path temporary;
        std::filesystem::path final_path;
        bool existed = false;  ///< whether a file was at the final place when it was registered.
        int registration = -1; ///< its registration for removal when a signal ends the program.
    };

    /// Ends every registration for removal on a signal.
    void forget_all() noexcept;

    void roll_back() noexcept;

    std::vector<Entry> entries_;
    std::vector<std::filesystem::path> created_folders_; ///< outermost first.
    std::vector<int> folder_registrations_;              ///< for removal when a signal ends the program.
    std::string token_;                                  ///< the random part of the temporary names.
    bool committed_ = false;
};

} // namespace fcs_tool

#endif
