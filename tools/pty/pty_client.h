// CPtyClient: one client of a port that serves a pseudo-terminal (platform/pty) to an
// unmodified program, until it is stopped or the port goes away.
//
// Data:
// - What the port receives (OnData, on the client library's thread) is queued here and
//   written into the pty's master by the main loop as the pty takes it. While no program
//   reads, the pty's input queue fills and then this queue; past kReceiveLimit bytes the
//   newest bytes are dropped and counted, as a UART overruns, so a program that never
//   reads costs bounded memory.
// - What the program writes is read from the master and sent in the program's order by a
//   sender thread, as synchronous Sends of everything queued so far, one at a time: a
//   send's return means the device has written it. The main loop stops reading the
//   master while more than kSendLimit bytes wait to be sent, so a program that writes
//   faster than the line blocks in its own write() on the full pty.
//
// Settings:
// - The program's tcsetattr reaches the master as a settings change (packet mode). After
//   the bytes read before it have been sent (as TCSADRAIN would), each carried setting
//   that differs from what the pty last held becomes a put_ of its property, so the other
//   clients are asked (OnRequestEdit) and told (OnChanged) as for any client: BaudRate,
//   StopBits, HandShakingMode (CRTSCTS gives spoRTSCTS, IXON or IXOFF spoXOnXOff, both
//   spoRTSCTSXOnXOff), XOnChar and XOffChar (VSTART, VSTOP). Then the port's values are
//   read back and written onto the pty, so a refused change is undone on the program's
//   tty and the program reads what the port really uses (X-on/X-off in one direction
//   becomes both, as the port has one mode for both).
// - Another client's change of one of those properties (OnChanged) is read from the port
//   and written onto the pty. This client consents to every change (OnRequestEdit S_OK):
//   the program behind the pty cannot be asked.
// - Data bits and parity stay the port's: a pty always reads 8 data bits without parity,
//   whatever the program sets. Modem lines, break, line events and line errors have no
//   place on a pty; OnPortEvent and OnError are taken and dropped.
//
// The port goes away when a call to it says that the server is gone
// (RPC_E_DISCONNECTED): the sender's next Send, or the next settings change. A client
// whose program is idle learns it at its program's next write or setting change.
#pragma once

#include "platform/pty/pty.h"
#include "platform/rpc/client/port_sinks.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CPtyClient : public platform::rpc::client::port_sinks {
public:
    static constexpr std::size_t kReceiveLimit = 1024 * 1024;
    static constexpr std::size_t kSendLimit = 16 * 1024;

    // Takes one reference of pPort; the pty is this client's for its life.
    CPtyClient(ISerialPort* pPort, std::unique_ptr<platform::pty_pair> pty);
    ~CPtyClient();
    CPtyClient(const CPtyClient&) = delete;
    CPtyClient& operator=(const CPtyClient&) = delete;

    // Advises both sinks, starts the sender and puts the port's settings on the pty.
    // S_OK or the failed call's HRESULT.
    HRESULT Start();
    // Serves the pty until Stop(), until the port goes away (PortGone) or until the pty
    // fails (said on standard error); TRUE when stopped.
    BOOL Run();
    bool PortGone() const { return m_bPortGone; }
    // From any thread (a console control handler): Run returns soon.
    void Stop();
    // Bytes the port received that had to be dropped because nobody read them.
    std::size_t Dropped() const { return m_cbDropped.load(); }
    const std::string& SlavePath() const { return m_pPty->slave_path(); }

    // ---- _ISerialPortEvents
    STDMETHODIMP OnData(VARIANT Data) override;
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }
    // ---- IPropertyNotifySink
    STDMETHODIMP OnChanged(DISPID dispID) override;
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

private:
    void SenderMain();
    void WriteReceived();
    void ReadProgram();
    void SettingsFromProgram();
    // Reads the port's carried settings and writes them onto the pty, unless the pty no
    // longer holds what was seen there (the program has changed it since).
    void SettingsFromPort(const platform::line_settings& seen);
    void NoteResult(HRESULT hr);

    ISerialPort* m_pPort;
    std::unique_ptr<platform::pty_pair> m_pPty;
    platform::line_settings m_known;  // what the pty held after this client last wrote it
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bPortGone{false};
    std::atomic<bool> m_bPortChanged{false};
    bool m_bPtyFailed = false;  // the main loop's own

    // Received bytes on their way to the pty; written from m_nReceivedAt on.
    std::mutex m_mutexReceived;
    std::string m_received;
    std::size_t m_nReceivedAt = 0;
    std::atomic<std::size_t> m_cbDropped{0};

    // The program's bytes on their way to the port.
    std::mutex m_mutexSend;
    std::condition_variable m_cvSend;
    std::string m_toSend;
    std::size_t m_cbSending = 0;  // taken by the sender and not yet sent
    bool m_bSenderStop = false;
    std::thread m_sender;
};
