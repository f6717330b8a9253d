#ifndef PAIRMEND_OUTPUT_TRANSACTION_HPP
#define PAIRMEND_OUTPUT_TRANSACTION_HPP

// Output files that appear complete or not at all: every front end writes its files under
// temporary names beside their final places, and only commit() moves them there.

#include <filesystem>
#include <string>
#include <vector>

namespace pairmend {

/**
 * A file or a group of files written under temporary names in their destination folders and
 * renamed into place by commit(). When the object goes away without a successful commit (an
 * exception, a failed write), the temporary files are removed and so are the folders it created,
 * so a failed run leaves nothing new behind; the same happens when SIGINT, SIGTERM or SIGHUP ends
 * the program before the commit (unless the process leaves its signals to its host, see
 * leave_signals_to_host). Files that already existed under a final name are replaced only
 * by commit(). A final path that names something other than a regular file (a device such as
 * /dev/null, a pipe) is written in place, since renaming onto it would replace it.
 * Not copyable; use one object from one thread.
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
     * Registers a file and returns the name to write it under: a temporary name in the same
     * folder (".<name>.pairmend-<random token>.tmp"), or the final path itself when that names an
     * existing file that is not a regular file.
     */
    std::string add(const std::filesystem::path& final_path);

    /**
     * Renames every registered file into place, in the order of registration. When one rename
     * fails, the files already moved that did not exist before are removed again, and every
     * temporary file too.
     * @throws std::runtime_error naming the file when a rename fails.
     */
    void commit();

    /** The random part of this group's temporary names, which sets them apart from another run's. */
    const std::string& token() const { return token_; }

private:
    struct Entry {
        std::filesystem::path temporary;
        std::filesystem::path final_path;
        bool existed = false;  ///< whether a file was at the final place when it was registered.
        bool in_place = false; ///< written straight to a device or pipe: nothing to move or remove.
        int registration = -1; ///< its registration for removal when a signal ends the program.
    };

    /// Ends every registration for removal on a signal.
    void forget_all() noexcept;

    void roll_back() noexcept;

    std::vector<Entry> entries_;
    std::vector<std::filesystem::path> created_folders_; ///< outermost first.
    std::vector<int> folder_registrations_;              ///< for removal when a signal ends the program.
    std::string token_;
    bool committed_ = false;
};

/**
 * For a host that handles SIGINT, SIGTERM and SIGHUP itself (a Python session, where Ctrl-C
 * raises KeyboardInterrupt): from this call on, no transaction of the process installs the
 * handler that removes its files and ends the program on such a signal, which would end the
 * session. An interrupted call of the host then fails as any other, and its transactions remove
 * their files as they go away. Call it before the first transaction.
 */
void leave_signals_to_host();

} // namespace pairmend

#endif
