#include "pairmend/output_transaction.hpp"

#include "internal/interrupt_cleanup.hpp"

#include <cstdio>
#include <random>
#include <stdexcept>
#include <system_error>

namespace pairmend {

namespace fs = std::filesystem;

namespace {

// A token that sets this run's temporary names apart from those of a run beside it.
std::string run_token() {
    std::random_device source;
    char text[17];
    std::snprintf(text, sizeof(text), "%08x%08x", source(), source());
    return text;
}

} // namespace

OutputTransaction::OutputTransaction() : token_(run_token()) {}

OutputTransaction::~OutputTransaction() {
    if (!committed_) {
        roll_back();
    }
}

void OutputTransaction::create_folder(const fs::path& folder) {
    std::error_code error;
    if (fs::is_directory(folder, error)) {
        return;
    }
    if (fs::exists(folder, error)) {
        throw std::runtime_error("The output folder " + folder.string() + " exists but is not a folder.");
    }
    // The missing folders from the outermost in, so that a failure removes exactly those.
    std::vector<fs::path> missing;
    for (fs::path part = folder; !part.empty() && !fs::exists(part, error); part = part.parent_path()) {
        missing.insert(missing.begin(), part);
        if (part == part.parent_path()) {
            break;
        }
    }
    for (const fs::path& part : missing) {
        // Registered for removal before it is made, so that a signal arriving between the two
        // cannot leave it behind; removing a folder that does not exist yet does no harm.
        const int registration = interrupt_cleanup::remember(part.string());
        if (!fs::create_directory(part, error)) {
            interrupt_cleanup::forget(registration);
            if (!fs::is_directory(part)) {
                throw std::runtime_error("Could not create the output folder " + folder.string() + ": " +
                                         error.message() + ".");
            }
            continue; // made meanwhile by someone else, so not this run's to remove
        }
        created_folders_.push_back(part);
        folder_registrations_.push_back(registration);
    }
}

std::string OutputTransaction::add(const fs::path& final_path) {
    Entry entry;
    entry.final_path = final_path;
    entry.temporary =
        final_path.parent_path() / ("." + final_path.filename().string() + ".pairmend-" + token_ + ".tmp");
    std::error_code error;
    const fs::file_status status = fs::status(final_path, error);
    entry.existed = fs::exists(status);
    if (entry.existed && !fs::is_regular_file(status)) {
        entry.in_place = true;
        entry.temporary = final_path;
        entries_.push_back(entry);
        return final_path.string();
    }
    entry.registration = interrupt_cleanup::remember(entry.temporary.string());
    entries_.push_back(entry);
    return entry.temporary.string();
}

void OutputTransaction::commit() {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].in_place) {
            continue;
        }
        std::error_code error;
        fs::rename(entries_[i].temporary, entries_[i].final_path, error);
        if (error) {
            // The files moved so far that replaced nothing go again; those that replaced an older
            // file cannot be undone and stay.
            for (std::size_t k = 0; k < i; ++k) {
                if (!entries_[k].existed) {
                    std::error_code ignored;
                    fs::remove(entries_[k].final_path, ignored);
                }
            }
            for (std::size_t k = 0; k < i; ++k) {
                interrupt_cleanup::forget(entries_[k].registration);
            }
            entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i));
            throw std::runtime_error("Could not move the finished file into place as " +
                                     entries_.front().final_path.string() + ": " + error.message() + ".");
        }
    }
    committed_ = true;
    forget_all();
}

void leave_signals_to_host() {
    interrupt_cleanup::leave_to_host();
}

void OutputTransaction::forget_all() noexcept {
    for (const Entry& entry : entries_) {
        interrupt_cleanup::forget(entry.registration);
    }
    for (const int registration : folder_registrations_) {
        interrupt_cleanup::forget(registration);
    }
}

void OutputTransaction::roll_back() noexcept {
    std::error_code ignored;
    for (const Entry& entry : entries_) {
        if (!entry.in_place) {
            fs::remove(entry.temporary, ignored);
        }
    }
    // Innermost first; a folder that someone else has meanwhile filled stays.
    for (auto folder = created_folders_.rbegin(); folder != created_folders_.rend(); ++folder) {
        fs::remove(*folder, ignored);
    }
    forget_all();
}

} // namespace pairmend
