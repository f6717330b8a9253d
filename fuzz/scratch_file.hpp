#ifndef PAIRMEND_FUZZ_SCRATCH_FILE_HPP
#define PAIRMEND_FUZZ_SCRATCH_FILE_HPP

// The targets under test read files by name, so every input is first written to one scratch
// file that belongs to this process.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace pairmend_fuzz {

/**
 * A file in the temporary folder named after the process id and `suffix`, removed at exit.
 * Not thread-safe: fuzz targets run one input at a time.
 */
class ScratchFile {
public:
    /// @param suffix The end of the file name, for example ".json".
    explicit ScratchFile(const std::string& suffix)
        : path_((std::filesystem::temp_directory_path() /
                 ("pairmend-fuzz-" + std::to_string(getpid()) + suffix))
                    .string()) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    /// Replaces the file's contents by `size` bytes from `data`; aborts if that fails, since
    /// every later result would be meaningless.
    void write(const std::uint8_t* data, std::size_t size) const {
        std::ofstream file(path_, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        file.close();
        if (!file) {
            std::abort();
        }
    }

    /// The file's absolute path.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace pairmend_fuzz

#endif
