// Shared by the systems' thread implementations: the error of a failed thread operation and
// the failures that tests inject.
#pragma once

namespace dnm::platform {

// Records error as the calling thread's last thread error; returns false.
bool FailWith(int error);
// True (and counts it off) when a test asked the next creation to fail.
bool TakeInjectedFailure();

}  // namespace dnm::platform
