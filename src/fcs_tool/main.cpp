// pairmend-fcs: batch correction of FCS files from a terminal.

#include "fcs_tool.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return pairmend::fcs_tool::run_fcs_tool(args, std::cout, std::cerr);
}
