#ifndef PAIRMEND_TESTS_FCS_READ_CHECKS_HPP
#define PAIRMEND_TESTS_FCS_READ_CHECKS_HPP

// What the FCS reader's test files share: a small file to vary and the refusal of a file.

#include "pairmend/fcs/fcs_file.hpp"

#include "fcs_builder.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace fcs_test {

/// The message of the runtime_error parse_fcs throws, or a failure when it throws none.
inline std::string refusal(const std::string& bytes, const std::string& name = "test.fcs") {
    try {
        pairmend::fcs::parse_fcs(bytes, name);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "parse_fcs accepted the file";
    return {};
}

/// Two float channels, the second with a label, and three events.
inline FcsBuilder two_channel_builder() {
    FcsBuilder builder;
    builder.channels = {{"FSC-A", "", "262144", 32, "0,0"}, {"CD3", "CD3 marker", "262144", 32, "0,0"}};
    builder.events = {{1.5, -2.25}, {100, 3e5}, {0, 7}};
    return builder;
}

} // namespace fcs_test

#endif
