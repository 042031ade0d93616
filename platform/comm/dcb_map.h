// The DCB and the line: which fields a device keeps, which the driver keeps, and which
// values are refused.
//
// A device keeps the baud rate, data bits, parity, stop bits, hardware and X-on/X-off
// flow control and the X-on/X-off characters (termios on a tty). Everything else in the
// DCB has no place there and is kept by the driver, which honours it in software where
// Linux allows (see comm_device): fNull, fErrorChar/ErrorChar, EvtChar, fParity,
// fAbortOnError, fDsrSensitivity, fDtrControl, fRtsControl, XonLim/XoffLim. fBinary,
// fOutxDsrFlow, fTXContinueOnXoff and EofChar are kept and read back but not honoured:
// Linux has no DSR flow control and the driver is always binary.
#pragma once

#include "platform/comm/comm.h"
#include "platform/comm/serial_line.h"

namespace platform {

// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a DCB no device can take: ByteSize
// outside 5..8, Parity above SPACEPARITY, StopBits above TWOSTOPBITS, 1.5 stop bits
// with other than 5 data bits or 2 stop bits with 5, a baud rate of 0, fDtrControl 3,
// and X-on/X-off flow control with XonChar equal to XoffChar.
DWORD validate_dcb(const DCB& dcb);

// The device's part of a (valid) DCB.
line_settings line_settings_from_dcb(const DCB& dcb);

// The DCB a freshly opened device reads as: its own settings, and the driver's defaults
// for the rest (binary, DTR and RTS enabled as Linux raises them on open, or RTS
// handshake when the device has hardware flow control on).
DCB dcb_from_line(const line_settings& device);

// Puts what the device really holds into dcb, whose other fields are the driver's.
// requested is what the driver last asked the device for: where the device's hardware
// flow control still matches it, fOutxCtsFlow and fRtsControl stay as the driver keeps
// them (Linux has one bit for both); where it differs, both follow the device.
void overlay_line(DCB& dcb, const line_settings& device, const line_settings& requested);

// Hardware flow control as the DCB asks for it: CTS output flow or RTS handshake.
bool dcb_wants_rts_cts(const DCB& dcb);

}  // namespace platform
