// From a CreateFileA name to the device behind it.
#pragma once

#include "platform/base/types.h"

#include <string>

namespace platform {

// The prefix of the simulated UARTs' device paths: "sim:<name>" (see sim_uart.h).
inline constexpr const char* sim_uart_prefix = "sim:";

// Resolves lpFileName to a device path:
// - "\\.\COM<n>" or "COM<n>" (any case): the port map in the registry store
//   (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, value name = device path, value
//   data = "COM<n>"), else COM1..32 = /dev/ttyS0..31, COM33..64 = /dev/ttyUSB0..31,
//   COM65..96 = /dev/ttyACM0..31;
// - an absolute path ("/dev/pts/3"), or a simulated UART's "sim:<name>", as it stands.
// ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND for a COM number with no device and
// ERROR_INVALID_NAME for a name of no known form.
DWORD resolve_port_name(const char* name, std::string& path);

// Whether a device path names a device that is there now: a character device, or a link
// that leads to one (a /dev/serial/by-id name); a simulated UART's name always counts
// (its UART lives in the process that made it).
bool device_exists(const std::string& path);

// The /dev/serial/by-id name of the device behind path (links followed), or "" when the
// device has none (a pseudo-terminal, a built-in UART) or path does not resolve.
std::string serial_by_id_name(const std::string& path);

}  // namespace platform
