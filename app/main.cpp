// SPDX-License-Identifier: MIT
// Entry point of the tarvio program; all work is done by tarvio::run.
#include <iostream>

#include "app/Tarvio.h"
#include "cli/Interrupt.h"

int main(int argc, char** argv) {
    tarvio::interrupt::install();
    return tarvio::run(argc, argv, std::cout);
}
