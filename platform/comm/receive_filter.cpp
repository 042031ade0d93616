#include "platform/comm/receive_filter.h"

#include "platform/comm/comm.h"

#include <cstring>

namespace platform {

std::size_t receive_filter::decode(const BYTE* in, std::size_t size,
                                   const receive_options& options, const line_counters& errors,
                                   bool have_counters, BYTE* out, receive_result& result)
{
    std::uint32_t frames = errors.frame;
    std::uint32_t parities = errors.parity;
    std::uint32_t breaks = errors.brk;
    if (errors.overrun)
        result.errors |= CE_OVERRUN;
    if (errors.buf_overrun)
        result.errors |= CE_RXOVER;

    std::size_t placed = 0;
    if (!options.marked && !options.discard_nul) {
        // The common case: nothing to decode or drop.
        if (out != in)
            std::memcpy(out, in, size);
        placed = size;
        if (options.want_event_char && std::memchr(out, options.event_char, size))
            result.events |= EV_RXFLAG;
    } else {
        auto place = [&](BYTE c) {
            if (options.discard_nul && c == 0)
                return;
            if (options.want_event_char && c == options.event_char)
                result.events |= EV_RXFLAG;
            out[placed++] = c;
        };
        for (std::size_t i = 0; i < size; ++i) {
            BYTE c = in[i];
            if (!options.marked) {
                place(c);
                continue;
            }
            switch (state_) {
            case state::data:
                if (c == 0xff)
                    state_ = state::mark;
                else
                    place(c);
                break;
            case state::mark:
                if (c == 0) {
                    state_ = state::mark_zero;
                } else {
                    // \377\377 is a data 0xff; anything else cannot follow a mark, so the
                    // mark is taken as data too.
                    state_ = state::data;
                    if (c != 0xff)
                        place(0xff);
                    place(c);
                }
                break;
            case state::mark_zero: {
                state_ = state::data;
                // \377\0\0 is a break, or a NUL received with an error; the counters
                // tell them apart where the device keeps them.
                if (c == 0 && (!have_counters || breaks > 0 || frames + parities == 0)) {
                    if (breaks > 0)
                        --breaks;
                    result.errors |= CE_BREAK;
                    result.events |= EV_BREAK;
                    break;
                }
                bool parity = false;
                if (frames > 0) {
                    --frames;
                } else if (parities > 0) {
                    --parities;
                    parity = true;
                } else {
                    parity = options.parity_on;
                }
                if (parity && !options.report_parity) {
                    place(c);
                    break;
                }
                result.errors |= parity ? CE_RXPARITY : CE_FRAME;
                place(options.replace_errors ? options.error_char : c);
                break;
            }
            }
        }
    }
    if (placed > 0)
        result.events |= EV_RXCHAR;
    if (result.errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY))
        result.events |= EV_ERR;
    return placed;
}

}  // namespace platform
