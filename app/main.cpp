// Entry point of the tarvio program; all work is done by tarvio::run.
#include <iostream>

#include "app/Tarvio.h"

int main(int argc, char** argv) {
    return tarvio::run(argc, argv, std::cout);
}
