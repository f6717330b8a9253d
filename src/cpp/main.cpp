#include "driver.hpp"

#include <iostream>

// The host starts pairmend with the path of one JSON job file.
int main(int argc, char** argv) {
    return QN::run_pairmend(argc, argv, std::cout);
}
