// The run driver: command line, files, report and block loop.
#include <ostream>

#include "app/Tarvio.h"

namespace tarvio {

int run(int /*argc*/, const char* const* /*argv*/, std::ostream& out) {
    out << "[Tarvio, ver. 1.00]\n" << std::endl;
    out << "minimalistic four-channel spatializer" << std::endl;
    return 0;
}

}  // namespace tarvio
