#include "tools/pty/pty_client.h"

#include <algorithm>
#include <cstdio>

namespace {

// Bytes read from the master at a time.
constexpr DWORD kReadChunk = 4096;

HandShakingConstants HandShakingOf(const platform::line_settings& s)
{
    const int mode = (s.rts_cts ? spoRTSCTS : spoHandshakingNone) |
                     (s.xon_out || s.xon_in ? spoXOnXOff : spoHandshakingNone);
    return static_cast<HandShakingConstants>(mode);
}

bool SameCarried(const platform::line_settings& a, const platform::line_settings& b)
{
    return a.baud == b.baud && a.stop_bits == b.stop_bits && HandShakingOf(a) == HandShakingOf(b) &&
           a.xon_char == b.xon_char && a.xoff_char == b.xoff_char;
}

}  // namespace

CPtyClient::CPtyClient(ISerialPort* pPort, std::unique_ptr<platform::pty_pair> pty)
    : m_pPort(pPort), m_pPty(std::move(pty))
{
    m_pPort->AddRef();
}

CPtyClient::~CPtyClient()
{
    {
        std::lock_guard lock(m_mutexSend);
        m_bSenderStop = true;
    }
    m_cvSend.notify_all();
    if (m_sender.joinable())
        m_sender.join();
    unadvise();
    m_pPort->Release();
    // A notification still running holds a reference until its call returns.
    wait_released();
}

HRESULT CPtyClient::Start()
{
    const HRESULT hr = advise(m_pPort);
    NoteResult(hr);
    if (m_bPortGone || FAILED(hr))
        return m_bPortGone ? RPC_E_DISCONNECTED : hr;
    if (m_pPty->get_settings(m_known) != ERROR_SUCCESS)
        return E_FAIL;
    SettingsFromPort(m_known);
    if (m_bPortGone)
        return RPC_E_DISCONNECTED;
    m_sender = std::thread([this] { SenderMain(); });
    return S_OK;
}

void CPtyClient::Stop()
{
    {
        // Under the lock, so a settings change waiting for the sender sees it.
        std::lock_guard lock(m_mutexSend);
        m_bStop = true;
    }
    m_cvSend.notify_all();
    m_pPty->wake();
}

void CPtyClient::NoteResult(HRESULT hr)
{
    if (hr == RPC_E_DISCONNECTED && !m_bPortGone.exchange(true))
        m_pPty->wake();
}

BOOL CPtyClient::Run()
{
    while (!m_bStop && !m_bPortGone && !m_bPtyFailed) {
        bool want_read;
        {
            std::lock_guard lock(m_mutexSend);
            want_read = m_toSend.size() + m_cbSending <= kSendLimit;
        }
        bool want_write;
        {
            std::lock_guard lock(m_mutexReceived);
            want_write = m_nReceivedAt < m_received.size();
        }
        const DWORD what = m_pPty->wait(want_read, want_write);
        if (m_bStop || m_bPortGone)
            break;
        if (what & platform::pty_pair::writable)
            WriteReceived();
        if (what & platform::pty_pair::readable)
            ReadProgram();
        if (m_bPortChanged.exchange(false))
            SettingsFromPort(m_known);
    }
    return m_bStop && !m_bPortGone && !m_bPtyFailed ? TRUE : FALSE;
}

// ---- from the port to the program ---------------------------------------------------------------

STDMETHODIMP CPtyClient::OnData(VARIANT Data)
{
    if (Data.vt != (VT_ARRAY | VT_UI1) || !Data.parray)
        return E_INVALIDARG;
    const char* pBytes = static_cast<const char*>(Data.parray->pvData);
    std::size_t cb = Data.parray->rgsabound[0].cElements;
    bool wake;
    {
        std::lock_guard lock(m_mutexReceived);
        const std::size_t waiting = m_received.size() - m_nReceivedAt;
        const std::size_t room = waiting < kReceiveLimit ? kReceiveLimit - waiting : 0;
        if (cb > room) {
            m_cbDropped += cb - room;
            cb = room;
        }
        wake = waiting == 0 && cb > 0;
        m_received.append(pBytes, cb);
    }
    // The loop asks for room in the pty only while bytes wait, so it needs a wake-up
    // when the first ones come.
    if (wake)
        m_pPty->wake();
    return S_OK;
}

void CPtyClient::WriteReceived()
{
    std::lock_guard lock(m_mutexReceived);
    DWORD written = 0;
    const std::size_t waiting = m_received.size() - m_nReceivedAt;
    if (waiting == 0)
        return;
    const DWORD cb = static_cast<DWORD>(std::min<std::size_t>(waiting, 1 << 20));
    if (m_pPty->write(m_received.data() + m_nReceivedAt, cb, &written) != ERROR_SUCCESS)
        return;
    m_nReceivedAt += written;
    if (m_nReceivedAt == m_received.size()) {
        m_received.clear();
        m_nReceivedAt = 0;
    } else if (m_nReceivedAt > m_received.size() / 2) {
        m_received.erase(0, m_nReceivedAt);
        m_nReceivedAt = 0;
    }
}

// ---- from the program to the port --------------------------------------------------------------

void CPtyClient::ReadProgram()
{
    char buffer[kReadChunk];
    DWORD got = 0;
    BOOL bChanged = FALSE;
    if (DWORD error = m_pPty->read(buffer, sizeof buffer, &got, &bChanged); error != ERROR_SUCCESS) {
        // The pty is held open here and cannot hang up; an error would only repeat.
        std::fprintf(stderr, "tethra pty: the pseudo-terminal failed (error %u)\n",
                     static_cast<unsigned>(error));
        m_bPtyFailed = true;
        return;
    }
    if (got > 0) {
        {
            std::lock_guard lock(m_mutexSend);
            m_toSend.append(buffer, got);
        }
        m_cvSend.notify_all();
    }
    if (bChanged)
        SettingsFromProgram();
}

void CPtyClient::SenderMain()
{
    std::unique_lock lock(m_mutexSend);
    for (;;) {
        m_cvSend.wait(lock, [&] { return m_bSenderStop || !m_toSend.empty(); });
        if (m_bSenderStop)
            return;
        std::string chunk;
        chunk.swap(m_toSend);
        m_cbSending = chunk.size();
        lock.unlock();

        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(chunk.size()));
        HRESULT hr = E_OUTOFMEMORY;
        if (v.parray) {
            std::copy(chunk.begin(), chunk.end(), static_cast<char*>(v.parray->pvData));
            hr = m_pPort->Send(v, VARIANT_TRUE);
        }
        VariantClear(&v);
        if (FAILED(hr) && hr != RPC_E_DISCONNECTED)
            std::fprintf(stderr, "tethra pty: %zu bytes were not sent: 0x%08X\n", chunk.size(),
                         static_cast<unsigned>(hr));
        NoteResult(hr);

        lock.lock();
        m_cbSending = 0;
        m_cvSend.notify_all();
        // The loop may have stopped reading for want of room.
        m_pPty->wake();
    }
}

void CPtyClient::SettingsFromProgram()
{
    platform::line_settings now;
    if (m_pPty->get_settings(now) != ERROR_SUCCESS || SameCarried(now, m_known))
        return;
    {
        // What the program wrote before the change goes out under the old settings.
        std::unique_lock lock(m_mutexSend);
        m_cvSend.wait(lock, [&] {
            return m_bStop || m_bPortGone || (m_toSend.empty() && m_cbSending == 0);
        });
        if (m_bStop || m_bPortGone)
            return;
    }
    if (now.baud != m_known.baud)
        NoteResult(m_pPort->put_BaudRate(now.baud));
    if (now.stop_bits != m_known.stop_bits)
        NoteResult(m_pPort->put_StopBits(static_cast<StopBitsConstants>(now.stop_bits)));
    if (HandShakingOf(now) != HandShakingOf(m_known))
        NoteResult(m_pPort->put_HandShakingMode(HandShakingOf(now)));
    if (now.xon_char != m_known.xon_char)
        NoteResult(m_pPort->put_XOnChar(now.xon_char));
    if (now.xoff_char != m_known.xoff_char)
        NoteResult(m_pPort->put_XOffChar(now.xoff_char));
    // Refused or not, the pty shows what the port now uses.
    SettingsFromPort(now);
}

STDMETHODIMP CPtyClient::OnChanged(DISPID dispID)
{
    switch (dispID) {
    case DISPID_ISerialPort_BaudRate:
    case DISPID_ISerialPort_StopBits:
    case DISPID_ISerialPort_HandShakingMode:
    case DISPID_ISerialPort_XOnChar:
    case DISPID_ISerialPort_XOffChar:
        // Read on the main loop: a sink that called the port here would hold up the
        // library's thread, which serves every sink and reply of this process.
        m_bPortChanged = true;
        m_pPty->wake();
        break;
    default:
        break;
    }
    return S_OK;
}

void CPtyClient::SettingsFromPort(const platform::line_settings& seen)
{
    platform::line_settings s = seen;
    ULONG baud = 0;
    StopBitsConstants stop = spoOneBit;
    HandShakingConstants mode = spoHandshakingNone;
    CHAR xon = 0;
    CHAR xoff = 0;
    HRESULT hr = m_pPort->get_BaudRate(&baud);
    if (SUCCEEDED(hr))
        s.baud = baud;
    NoteResult(hr);
    hr = m_pPort->get_StopBits(&stop);
    if (SUCCEEDED(hr))
        s.stop_bits = static_cast<BYTE>(stop);
    NoteResult(hr);
    // RTS handshake without CTS reads as E_UNEXPECTED with the mode stored all the same.
    hr = m_pPort->get_HandShakingMode(&mode);
    if (SUCCEEDED(hr) || hr == E_UNEXPECTED) {
        s.rts_cts = (mode & spoRTSCTS) != 0;
        s.xon_out = s.xon_in = (mode & spoXOnXOff) != 0;
    }
    NoteResult(hr);
    hr = m_pPort->get_XOnChar(&xon);
    if (SUCCEEDED(hr))
        s.xon_char = xon;
    NoteResult(hr);
    hr = m_pPort->get_XOffChar(&xoff);
    if (SUCCEEDED(hr))
        s.xoff_char = xoff;
    NoteResult(hr);
    if (m_bPortGone)
        return;
    // The program may have changed its settings while the port was read: then its change
    // is waiting to be read from the master and goes to the port first, and the port's
    // settings come back onto the pty after it. Only the moment between reading and
    // writing the termios in set_settings remains in which a change of the program's
    // could be overwritten unseen.
    platform::line_settings current;
    if (m_pPty->get_settings(current) != ERROR_SUCCESS || !SameCarried(current, seen))
        return;
    m_pPty->set_settings(s);
    // What the pty made of it (1.5 stop bits read as 2 on its 8 data bits) is the
    // reference for the program's next change.
    m_pPty->get_settings(m_known);
}
