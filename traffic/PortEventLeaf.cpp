#include "traffic/PortEventLeaf.h"

#include "idl/tethra.h"
#include "platform/comm/comm.h"
#include "port/SerialPortManager.h"
#include "trace/trace.h"
#include "traffic/ReadLeaf.h"

#include <algorithm>
#include <new>

// EV_BREAK. The comm-port thread starts the port with it in the comm mask (0x01FB rather
// than 0x01BB): a break received on the line reaches every client as OnError with
// spoBreakError (1000). It is tested right after EV_RXCHAR and before EV_CTS, so a break
// reported together with characters is announced before their data arrives, and before
// the modem-line events of the same wait.

CPortEventLeaf::CPortEventLeaf(CSerialPortManager* pSerialPortManager, BOOL bAutoDelete)
    : CPortEventOverlappedIO(pSerialPortManager->m_hComm, bAutoDelete),
      m_pSerialPortManager(pSerialPortManager),
      m_lFailedReads(0),
      m_bReceiveParked(FALSE)
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventLeaf(%#x)::CPortEventLeaf()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CPortEventLeaf(%#x)::CPortEventLeaf()  Returning\n", this);
}

CPortEventLeaf::~CPortEventLeaf()
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventLeaf(%#x)::~CPortEventLeaf()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CPortEventLeaf(%#x)::~CPortEventLeaf()  Returning\n", this);
}

void CPortEventLeaf::HandleEvents()
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventLeaf(%#x)::HandleEvents()\n", this);
    Trace(TRACE_CAT_QUEUES, 3,
          "CPortEventLeaf(%#x)::HandleEvents()  Looking for events to handle m_dwEventMask = %#x\n",
          this, m_dwEventMask);
    CPortEventsConnectionPoint& clients = m_pSerialPortManager->m_cpPortEvents;

    if (m_bReceiveParked && m_dwEventMask != 0) {
        // Another event on the line: one more read may be tried.
        m_bReceiveParked = FALSE;
        ResumeReceiving();
    }
    if (m_dwEventMask & EV_RXCHAR) {
        Trace(TRACE_CAT_QUEUES, 4, "CPortEventLeaf(%#x)::HandleEvents()  EV_RXCHAR\n", this);
        const DWORD dwSize =
            std::min<DWORD>(m_pSerialPortManager->m_dwReadBufferSize, SERIAL_PORT_MAX_READ_SIZE);
        CReadLeaf* pRead = new (std::nothrow) CReadLeaf(this, dwSize, TRUE);
        if (!pRead) {
            // EV_RXCHAR stays in the mask: the next character tries again.
            Trace(TRACE_CAT_QUEUES, 0,
                  "CPortEventLeaf(%#x)::HandleEvents()  Failed to allocate memory for CReadLeaf.\n",
                  this);
            clients.FireEventNotification(spoMemoryError);
        } else {
            Trace(TRACE_CAT_QUEUES, 3,
                  "CPortEventLeaf(%#x)::HandleEvents()  Turning off EV_RXCHAR because a read is "
                  "in progress.\n",
                  this);
            DWORD dwMask = 0;
            GetEventMask(&dwMask);
            SetEventMask(dwMask & ~EV_RXCHAR);
            m_pSerialPortManager->AddTaskToCommPortThread(pRead);
        }
    }
    if (m_dwEventMask & EV_BREAK) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_BREAK\n", this);
        clients.FireEventNotification(spoBreakError);
    }
    if (m_dwEventMask & EV_CTS) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_CTS\n", this);
        clients.FireEventNotification(spoCTSEvent);
    }
    if (m_dwEventMask & EV_DSR) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_DSR\n", this);
        clients.FireEventNotification(spoDSREvent);
    }
    if (m_dwEventMask & EV_ERR) {
        Trace(TRACE_CAT_QUEUES, 0, "CPortEventLeaf(%#x)::HandleEvents()  EV_ERR\n", this);
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  ClearCommError\n", this);
        DWORD dwErrors = 0;
        ClearCommError(m_hFile, &dwErrors, nullptr);
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  ClearCommError %#x\n",
              this, dwErrors);
        // Other error bits (receive-queue overflow, break) are cleared without a word.
        if (dwErrors & CE_FRAME) {
            Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  Frame Error\n", this);
            clients.FireEventNotification(spoFrameError);
        }
        if (dwErrors & CE_OVERRUN) {
            Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  Overrun Error\n",
                  this);
            clients.FireEventNotification(spoOverRunError);
        }
        if (dwErrors & CE_RXPARITY) {
            Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  Parity Error\n", this);
            clients.FireEventNotification(spoRXParity);
        }
    }
    if (m_dwEventMask & EV_RING) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_RING\n", this);
        clients.FireEventNotification(spoRingEvent);
    }
    if (m_dwEventMask & EV_RLSD) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_RLSD\n", this);
        clients.FireEventNotification(spoCDEvent);
    }
    if (m_dwEventMask & EV_RXFLAG) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  EV_RXFLAG\n", this);
        clients.FireEventNotification(spoCharEvent);
    }
    // The device's loss and return come last: data and line events reported by the same
    // wait happened before them.
    if (m_dwEventMask & EV_EVENT1) {
        Trace(TRACE_CAT_QUEUES, 0, "CPortEventLeaf(%#x)::HandleEvents()  Device lost\n", this);
        m_pSerialPortManager->m_bDeviceLost = TRUE;
        clients.FireEventNotification(spoDeviceLostError);
    }
    if (m_dwEventMask & EV_EVENT2) {
        Trace(TRACE_CAT_QUEUES, 3, "CPortEventLeaf(%#x)::HandleEvents()  Device back\n", this);
        m_pSerialPortManager->m_bDeviceLost = FALSE;
        clients.FireEventNotification(spoDeviceBackEvent);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CPortEventLeaf(%#x)::HandleEvents()  Returning\n", this);
}

void CPortEventLeaf::ReceiveEnded(BOOL bFailed)
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventLeaf(%#x)::ReceiveEnded(%i)\n", this, bFailed);
    if (!bFailed) {
        m_lFailedReads = 0;
        ResumeReceiving();
    } else if (++m_lFailedReads == 1) {
        ResumeReceiving();
    } else {
        if (m_lFailedReads == 2)
            m_pSerialPortManager->m_cpPortEvents.FireEventNotification(spoMemoryError);
        Trace(TRACE_CAT_QUEUES, 0,
              "CPortEventLeaf(%#x)::ReceiveEnded(%i)  Error!  %i reads failed in a row; receiving "
              "waits for the next port event.\n",
              this, bFailed, m_lFailedReads);
        m_bReceiveParked = TRUE;
    }
    Trace(TRACE_CAT_QUEUES, 2, "CPortEventLeaf(%#x)::ReceiveEnded(%i)  Returning\n", this, bFailed);
}

void CPortEventLeaf::ResumeReceiving()
{
    DWORD dwMask = 0;
    GetEventMask(&dwMask);
    SetEventMask(dwMask | EV_RXCHAR);
}

BOOL CPortEventLeaf::HandleError(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventLeaf(%#x)::HandleError(%i)\n", this, bDone);
    Trace(TRACE_CAT_QUEUES, 0, "CPortEventLeaf(%#x)::HandleError(%i)  Error %#x\n", this, bDone,
          m_dwCompletionCode);
    // The worker runs the task again on its next pass, which starts a new wait.
    SetEvent(m_hEvent);
    Trace(TRACE_CAT_QUEUES, 2, "CPortEventLeaf(%#x)::HandleError(%i)  Returning %i\n", this, bDone,
          TRUE);
    return TRUE;
}
