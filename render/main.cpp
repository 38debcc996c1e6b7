// SPDX-License-Identifier: MIT
// Entry point of the tarvio-render program; all work is done by
// tarvio::render::run.
#include <iostream>

#include "cli/Interrupt.h"
#include "render/Render.h"

int main(int argc, char** argv) {
    tarvio::interrupt::install();
    return tarvio::render::run(argc, argv, std::cout, std::cerr);
}
