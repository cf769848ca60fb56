// Ctrl-C and SIGTERM end the commands that run until interrupted (io, monitor, run) cleanly,
// also when they were started with SIGINT ignored, as a shell starts a script's background job.
// SIGHUP asks dnm run to read its scan list again.
#pragma once

namespace dnm::tool {

// Installs the handlers; call once before waiting.
void CatchInterrupts();

bool Interrupted();

// Waits until fd is readable (true) or an interrupt came (false).
bool WaitReadable(int fd);

// Sleeps for ms milliseconds or until an interrupt comes; false when interrupted.
bool PauseUnlessInterrupted(int ms);

// SIGHUP too: it ends the next PauseUnlessInterrupted early and is taken by TakeReload.
void CatchReloads();
// True once for each run of SIGHUPs since the last call.
bool TakeReload();

}  // namespace dnm::tool
