#include "platform/comm/dcb_map.h"

namespace platform {

DWORD validate_dcb(const DCB& dcb)
{
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return ERROR_INVALID_PARAMETER;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5)
        return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)
        return ERROR_INVALID_PARAMETER;
    if (dcb.BaudRate == 0)
        return ERROR_INVALID_PARAMETER;
    if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE)
        return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

bool dcb_wants_rts_cts(const DCB& dcb)
{
    return dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
}

line_settings line_settings_from_dcb(const DCB& dcb)
{
    line_settings s;
    s.baud = dcb.BaudRate;
    s.data_bits = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stop_bits = dcb.StopBits;
    s.rts_cts = dcb_wants_rts_cts(dcb);
    s.xon_out = dcb.fOutX;
    s.xon_in = dcb.fInX;
    s.xon_char = dcb.XonChar;
    s.xoff_char = dcb.XoffChar;
    return s;
}

DCB dcb_from_line(const line_settings& device)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = device.rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = device.rts_cts ? 1 : 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.EofChar = 0x1a;
    overlay_line(dcb, device, device);
    return dcb;
}

void overlay_line(DCB& dcb, const line_settings& device, const line_settings& requested)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = device.baud;
    dcb.ByteSize = device.data_bits;
    dcb.Parity = device.parity;
    dcb.StopBits = device.stop_bits;
    dcb.fOutX = device.xon_out;
    dcb.fInX = device.xon_in;
    dcb.XonChar = device.xon_char;
    dcb.XoffChar = device.xoff_char;
    if (device.rts_cts != requested.rts_cts || device.rts_cts != dcb_wants_rts_cts(dcb)) {
        dcb.fOutxCtsFlow = device.rts_cts;
        if (device.rts_cts)
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
}

}  // namespace platform
