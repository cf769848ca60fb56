// Reading the options of a `slave` line and of the behaviour text the test interface takes.
// Both use key=value options as the network description does; numbers are decimal or hex with
// 0x. Errors throw std::invalid_argument saying what is wrong.
#pragma once

#include <map>
#include <string>

#include "Behaviour.h"
#include "SlaveSettings.h"

namespace dnsim {

using Options = std::map<std::string, std::string, std::less<>>;

// Every option of a slave line except those the card reads itself (segment, baud, name).
SlaveSettings ParseSlaveSettings(const Options& options);

// Behaviour options only, as the test interface changes them at run time.
BehaviourUpdate ParseBehaviour(const Options& options);

}  // namespace dnsim
