// Changes to the simulated machine from its console rather than through a
// driver: editing it under the machine lock, and replacing it whole.
#pragma once

#include <functional>
#include <string>

#include "host/Machine.h"

namespace host {

// Under the machine lock: reads the machine afresh (creating it from the
// default machine when absent), lets `change` alter it and, when `change`
// returns true, writes it back atomically before the lock is released.
// False with a message when the machine is refused or cannot be written;
// then it is left as it was.
bool updateMachine(const std::function<bool(Machine&)>& change, std::string* error);

// Replaces the machine whole, under the machine lock.
bool replaceMachine(const Machine& machine, std::string* error);

}  // namespace host
