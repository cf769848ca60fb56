// dnm run: a standing scanner that runs a scan list until it is told to stop.
#include "Commands.h"

namespace dnm::tool {

int RunRun(const CommandLine&) { throw UsageError("dnm run is not built yet"); }

}  // namespace dnm::tool
