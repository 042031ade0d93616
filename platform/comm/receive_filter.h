// The shared receive path: from the bytes a line delivers to the bytes a reader gets,
// with the DCB's software parts applied the same way on every back end.
//
// - Marked input (PARMRK): \377\0c is a byte c received with a parity or framing error,
//   \377\0\0 a break, \377\377 a data byte 0xff. Which of parity and framing an error
//   was comes from the device's error counters where it keeps them; without counters an
//   error counts as a parity error while parity is on, else as a framing error.
// - A parity error is reported only with fParity; the byte is then replaced by ErrorChar
//   when fErrorChar is set (framing errors too), else kept.
// - fNull discards NUL bytes (after replacement); EvtChar raises EV_RXFLAG.
// - Every byte placed in the queue raises EV_RXCHAR; line errors raise EV_ERR and set
//   CE_FRAME, CE_RXPARITY or CE_OVERRUN; a break raises EV_BREAK and sets CE_BREAK;
//   an overflow of the device's own buffer sets CE_RXOVER.
#pragma once

#include "platform/base/types.h"
#include "platform/comm/serial_line.h"

#include <cstddef>

namespace platform {

struct receive_options {
    bool marked = false;          // the line delivers marked input
    bool discard_nul = false;     // fNull
    bool replace_errors = false;  // fErrorChar
    BYTE error_char = 0;
    bool report_parity = false;   // fParity
    bool parity_on = false;       // the line's parity is not NOPARITY
    bool want_event_char = false; // EV_RXFLAG is in the comm mask
    BYTE event_char = 0;
};

struct receive_result {
    DWORD events = 0;  // EV_* bits
    DWORD errors = 0;  // CE_* bits
};

class receive_filter {
public:
    // Decodes size bytes from the line into out (room for size bytes; out may be in
    // when the input is not marked) and returns the count placed there. errors holds the growth of the device's error counters over
    // this chunk (all zero when it keeps none).
    std::size_t decode(const BYTE* in, std::size_t size, const receive_options& options,
                       const line_counters& errors, bool have_counters, BYTE* out,
                       receive_result& result);

    // Forgets a partial mark sequence (the device was reset or the options changed).
    void reset() { state_ = state::data; }

private:
    enum class state { data, mark, mark_zero };
    state state_ = state::data;
};

}  // namespace platform
