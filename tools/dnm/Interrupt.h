// Ctrl-C and SIGTERM end the commands that run until interrupted (io, monitor) cleanly, also
// when they were started with SIGINT ignored, as a shell starts a script's background job.
#pragma once

namespace dnm::tool {

// Installs the handlers; call once before waiting.
void CatchInterrupts();

bool Interrupted();

// Waits until fd is readable (true) or an interrupt came (false).
bool WaitReadable(int fd);

// Sleeps for ms milliseconds or until an interrupt comes; false when interrupted.
bool PauseUnlessInterrupted(int ms);

}  // namespace dnm::tool
