// Replays fuzz inputs without libFuzzer: runs LLVMFuzzerTestOneInput once on every file of the
// folders (or files) named on the command line, in sorted order, so that the seed corpus and
// every input that ever failed are checked by the regular test suite.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path place(argv[a]);
        if (std::filesystem::is_directory(place)) {
            for (const auto& entry : std::filesystem::directory_iterator(place)) {
                // Hidden files such as .gitkeep only keep empty folders in version control.
                if (entry.is_regular_file() && entry.path().filename().string().rfind('.', 0) != 0) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (std::filesystem::is_regular_file(place)) {
            inputs.push_back(place);
        } else {
            std::cerr << "No fuzz input at " << place.string() << ".\n";
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::filesystem::path& input : inputs) {
        // The name goes out first, so a crash on this input shows which file caused it.
        std::cout << "Replaying " << input.string() << std::endl;
        const std::vector<std::uint8_t> bytes = read_bytes(input);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::cout << "Replayed " << inputs.size() << " inputs." << std::endl;
    return 0;
}
