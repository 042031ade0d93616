// The simulated UART's back end, as the driver core opens it (see sim_uart.h for the
// side a test holds).
#pragma once

#include "platform/comm/serial_line.h"

#include <memory>
#include <string>

namespace platform {

// Opens the simulated UART of this name: 0, ENOENT when there is none, EBUSY when it is
// open already.
int open_sim_line(const std::string& name, std::unique_ptr<serial_line>& line);

class arrival_watch;
// A watch that wakes when the simulated UART of this name is plugged in again
// (sim_uart::replug): 0, or ENOENT when there is no such UART.
int watch_sim_arrival(const std::string& name, std::unique_ptr<arrival_watch>& watch);

}  // namespace platform
