#include "plugin_framework/utilities.hpp"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#if defined(__APPLE__)
#include <dlfcn.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace QN {

namespace {

const char* const executable_path_error = "Couldn't get path of executable";

// The C locale's white space, independent of the process's current locale.
bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::string GetExecutablePath() {
#if defined(__APPLE__)
    // The loader names the image that holds one of our own functions: the program file.
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&add_file_path), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error(executable_path_error);
    }
    const std::string program(info.dli_fname);
    const std::string::size_type slash = program.rfind('/');
    return slash == std::string::npos ? program : program.substr(0, slash);
#elif defined(_WIN32)
    // A call that fills the whole buffer has cut the name (and returns the buffer's size), which
    // would resolve relative names against the wrong folder; a program in a folder that deep is
    // asked again with room for the longest path Windows allows.
    char buffer[260];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
    if (length == sizeof(buffer)) {
        std::vector<char> longer(32768);
        length = GetModuleFileNameA(nullptr, longer.data(), static_cast<DWORD>(longer.size()));
        if (length == 0 || length == longer.size()) {
            throw std::runtime_error(executable_path_error);
        }
        return std::filesystem::path(std::string(longer.data(), length)).parent_path().string();
    }
    if (length == 0) {
        throw std::runtime_error(executable_path_error);
    }
    return std::filesystem::path(std::string(buffer, length)).parent_path().string();
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || program.empty()) {
        throw std::runtime_error(executable_path_error);
    }
    return program.parent_path().string();
#endif
}

std::string add_file_path(const std::string& name) {
    return (std::filesystem::path(GetExecutablePath()) / name).string();
}

std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters,
                                  bool doubledDelimiterEscapes) {
    std::vector<std::string> tokens;
    if (text.empty()) {
        return tokens;
    }
    if (delimiters.empty()) {
        tokens.push_back(text);
        return tokens;
    }

    std::string current;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (delimiters.find(c) == std::string::npos) {
            current += c;
            continue;
        }
        if (doubledDelimiterEscapes && i + 1 < text.size() && text[i + 1] == c) {
            current += c;
            ++i;
            continue;
        }
        if (!current.empty()) {
            tokens.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

std::string trim(const std::string& text) {
    std::string::size_type first = 0;
    while (first < text.size() && is_c_space(text[first])) {
        ++first;
    }
    std::string::size_type last = text.size();
    while (last > first && is_c_space(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool open_text_file(const std::string& path, std::ifstream& file) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return false;
    }
    file.open(path);
    return static_cast<bool>(file);
}

} // namespace QN
