#pragma once

#include "Driver.h"

namespace ucanx {

// The back end this build talks to: the adapter's kernel driver on Windows, a CAN device of
// Qt Serial Bus elsewhere.
std::unique_ptr<Driver> openPlatformDriver(int number);

// Called once when the library is being unloaded, before the adapters still open are closed.
void prepareUnload();

} // namespace ucanx
