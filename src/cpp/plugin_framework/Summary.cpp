#include "plugin_framework/Summary.hpp"

#include <fstream>
#include <stdexcept>

namespace QN {

Summary::Summary(bool success, int numEvents, const std::vector<NameValue>& calculations,
                 const std::string& information)
    : calculations_(calculations), information_(information), numEvents_(numEvents), success_(success) {}

void Summary::add_calculations(const std::vector<NameValue>& calculations) {
    calculations_.insert(calculations_.end(), calculations.begin(), calculations.end());
}

void Summary::saveAsINI(const std::string& path) const {
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) {
        throw std::runtime_error("Couldn't open summary file " + path);
    }
    file << status_Att << " = " << (success_ ? success_Val : failure_Val) << '\n';
    if (!information_.empty()) {
        file << information_Att << " = " << information_ << '\n';
    }
    // A summary that silently stays incomplete would tell the host nothing, so the write and
    // the close are both checked.
    file.close();
    if (file.fail()) {
        throw std::runtime_error("Couldn't write summary file " + path);
    }
}

} // namespace QN
