// The card's threads stand for the adapter and the bus; their names tell them apart from the
// master's own threads in top -H, ps -L and /proc/PID/task/*/comm.
#pragma once

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vcan {

// At most 15 characters; longer names are refused by the kernel and the thread keeps its name.
inline void NameThisThread([[maybe_unused]] const char* name) {
#ifndef _WIN32
  pthread_setname_np(pthread_self(), name);
#endif
}

}  // namespace vcan
