#ifndef PAIRMEND_TEST_CLI_HARNESS_HPP
#define PAIRMEND_TEST_CLI_HARNESS_HPP

// Helpers for tests that drive the built programs: temporary folders, text files, job files
// and running a program with its standard output and error captured.

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pairmend_test {

/// A fresh, empty folder under the system's temporary folder, removed with everything in it
/// when the object goes out of scope. Not copyable; use one object from one thread.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pairmend-test-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            throw std::runtime_error("Could not create a temporary folder from " + pattern);
        }
        path_ = buffer.data();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The folder itself.
    const std::filesystem::path& path() const { return path_; }
    /// The absolute path of `name` inside the folder, as a string.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

/// Writes `text` to `path` byte for byte, replacing any file there.
// A table of two parameters and two batches of three events, header line first.
inline const std::string two_batch_table = "p1,p2,batch,event\n"
                                           "1.0,2.0,1,1\n1.5,2.5,1,2\n1.2,2.2,1,3\n"
                                           "3.0,4.0,2,4\n3.5,4.5,2,5\n3.2,4.2,2,6\n";

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file) {
        throw std::runtime_error("Could not write the test file " + path);
    }
}

/// Returns the bytes of `path`; throws when it cannot be opened.
inline std::string read_text(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("Could not read the test file " + path);
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

/// `text` as a JSON string literal, quotes included.
inline std::string json_quote(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

/**
 * A job file of one input table, one output table and a summary file.
 * @param settings The members of the "settings" object as raw JSON, for example
 *        `"run_ID": "R7", "num_neighbors": 30`.
 */
inline std::string job_json(const std::string& input, const std::string& output, const std::string& summary,
                            const std::string& settings) {
    return "{\n  \"input_files\": [{\"name\": " + json_quote(input) +
           "}],\n  \"output_files\": [{\"name\": " + json_quote(output) +
           "}],\n  \"summary_file\": " + json_quote(summary) + ",\n  \"settings\": {" + settings + "}\n}\n";
}

/// What a finished program left behind.
struct RunResult {
    int exit_status = -1; ///< the exit status, or 128 + the signal number when a signal ended it
    std::string out;      ///< everything written to standard output
    std::string err;      ///< everything written to standard error
};

/// A resource limit set in the child before the program starts (soft and hard limit alike).
struct ResourceLimit {
    int resource; ///< as setrlimit() takes it, for example RLIMIT_AS
    rlim_t limit; ///< bytes for RLIMIT_AS and RLIMIT_FSIZE
};

/**
 * Runs `program` with `args` and waits for it.
 * @param workdir The child's working folder; the current one when empty.
 * @param environment Variables set (or replaced) in the child's environment.
 * @param limits Resource limits for the child. With RLIMIT_FSIZE the child also ignores
 *        SIGXFSZ, so that a write beyond the limit fails (EFBIG) instead of killing it, as a
 *        full disk would.
 */
inline RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const std::string& workdir = "",
                             const std::vector<std::pair<std::string, std::string>>& environment = {},
                             const std::vector<ResourceLimit>& limits = {}) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        throw std::runtime_error("Could not create the pipes to run " + program);
    }
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("Could not start " + program);
    }
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) {
            _exit(126);
        }
        for (const auto& variable : environment) {
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        }
        for (const ResourceLimit& limit : limits) {
            const rlimit value{limit.limit, limit.limit};
            if (setrlimit(limit.resource, &value) != 0) {
                _exit(125);
            }
            if (limit.resource == RLIMIT_FSIZE) {
                std::signal(SIGXFSZ, SIG_IGN);
            }
        }
        std::vector<std::string> storage;
        storage.push_back(program);
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : storage) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }

    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult result;
    // Both pipes are drained together so that a child filling one of them cannot block.
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(fds[i].fd, buffer, sizeof(buffer));
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exit_status = 128 + WTERMSIG(status);
    }
    return result;
}

/// Splits console text into its lines (without line feeds); a last line without one counts too.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace pairmend_test

#endif
