// Names the calling thread for top -H, ps -L and debuggers (at most 15 characters); best effort.
#pragma once

namespace dnm::platform {

void NameCurrentThread(const char* name);

}  // namespace dnm::platform
