// Qt's notes about the environment it starts in (no XDG_RUNTIME_DIR, a
// runtime folder with other permissions, what the offscreen platform cannot
// do) tell a user of the host programs nothing they can act on: the filter
// drops them. Every other message of Qt (errors, critical and fatal ones
// always) goes on to the handler that was installed before.
#pragma once

namespace host {

// Installs the filter once per process; later calls do nothing.
void installQtMessageFilter();

}  // namespace host
