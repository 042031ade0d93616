// The debug window: the sink of the trace facility and the place where tracing and
// logging are controlled.
//
// The server constructs one CDebugWindow at every run, on its main thread, with its
// shutdown event; the constructor loads the stored settings. With "-Debug" the server
// then calls Create(), which shows the window minimised. Until the window is closed,
// every trace record that passes the filter becomes a row (time, message), newest at the
// top, and, while logging is on, a record of the ring log file. Closing the window pulses
// the shutdown event; the server goes on while objects are in use. The object is
// destroyed at the end of the process, on the thread that constructed it.
//
// Trace records reach the window as WM_DEBUG_MESSAGE posted to m_hWnd, a message-only
// window of the main thread: the posting thread never waits. They are handled when the
// main thread's message loop dispatches them. That loop is the process's one loop,
// platform::RunMessageLoop on the application object of platform::StartApplication
// (platform/ui/event_loop.h): Qt's event loop, serving both the window and the thread's
// posted messages. A server entry point:
//
//     platform::StartApplication(bDebug);         // the one application object
//     CDebugWindow debugWindow(hShutdownEvent);   // every run: loads the settings
//     if (bDebug)
//         debugWindow.Create();                   // before the class objects are resumed
//     ... register and resume the class objects ...
//     platform::RunMessageLoop();                 // until WM_QUIT
//     debugWindow.Destroy();
//
// The application object comes before the bus runtime starts, so that the runtime finds
// it and serves the bus from a thread of its own. The server reaches this class through
// CreateDebugWindowObject (server/DebugWindow.h, ServerDebugWindow.cpp).
//
// Settings: the key SOFTWARE\Ostra\Tethra under HKEY_LOCAL_MACHINE of the registry
// store. The store itself decides where that is: a server that may write the
// machine-wide store keeps its settings there, any other keeps them in the per-user
// store of the user it runs as, with the same values and meanings. Values:
//   "LogFileName"  REG_SZ    log file path; missing or empty: no log file configured
//   "Logging"      REG_DWORD logging state to start with when "LoggingState" is missing;
//                            set to 0 at construction whenever "LogFileName" is empty
//   "LoggingState" REG_DWORD 2 = logging on, anything else off; read at window creation
//   "MaxLogSize"   REG_DWORD log size in KB, 1 to 4096; anything else is replaced by 1
//   "TraceLevel"   REG_DWORD atlTraceLevel, 0 to 5 (a larger stored value is clamped
//                            to 5, the highest menu level)
//   "TraceCat"     REG_DWORD atlTraceCat
// Every choice made in the window is stored at once. A value that cannot be read keeps
// the current setting; one that cannot be written is not reported.
//
// The log file path the settings dialog offers when none is configured is
// "$HOME/tethra.log" (GetDefaultLogFileName), "/tmp/tethra.log" without a home.
//
// Rows: the list keeps at most kMaxRows rows; beyond that the oldest row goes for every
// new one, so a server traced at the highest level for days keeps a bounded list (a few
// megabytes) while the log file keeps what it is sized for.
#pragma once

#include "diag/LogFile.h"
#include "platform/base/types.h"
#include "platform/registry/registry.h"
#include "platform/ui/message.h"

#include <string>

class CTraceMessage;
class QMainWindow;
class QTreeWidget;
class QAction;
namespace diag_detail {
class DebugFrame;
}

// Menu command ids.
#define ID_LOG_SETTINGS 32769U
#define ID_LOG_START 32770U
#define ID_LOG_STOP 32771U
#define ID_TRACE_LEVEL_0 32772U
#define ID_TRACE_LEVEL_5 32777U
#define ID_CATEGORY_FIRST 32778U
#define ID_CATEGORY_LAST 32781U

#define LOGGING_ON 2
#define LOG_RECORD_CHARS 160

class CDebugWindow {
public:
    static constexpr int kMaxRows = 10000;

    // Opens (creates) the settings key and loads "LogFileName", "Logging" and
    // "MaxLogSize", repairing them as documented above. hShutdownEvent is pulsed when
    // the window is closed; it stays the caller's.
    explicit CDebugWindow(HANDLE hShutdownEvent);
    // Destroy(), then closes the log file and the key.
    ~CDebugWindow();
    CDebugWindow(const CDebugWindow&) = delete;
    CDebugWindow& operator=(const CDebugWindow&) = delete;

    // Creates the window, titled "Tethra Debug Window", and shows it minimised; call it
    // once, on the main thread. Uses the process's widgets application object, and makes
    // it with platform::StartApplication when there is none yet. FALSE when there is no
    // display (neither DISPLAY nor WAYLAND_DISPLAY nor QT_QPA_PLATFORM is set, said once
    // on stderr), when the process's application object is not a widgets one, or when the
    // window cannot be made: the server then runs on without a window and without
    // tracing.
    BOOL Create();
    // As the window's close box: the window goes, the shutdown event is pulsed.
    void Close();
    // Takes the window away without pulsing the shutdown event (the server's end):
    // trace calls deliver nothing from here on, the records still queued for the window
    // are dispatched (and freed), the message window goes. Harmless when there is none.
    void Destroy();

    // The commands of the menu, by id (ID_LOG_SETTINGS ... ID_CATEGORY_LAST), as a click
    // on the item; a grayed item does nothing.
    void OnCommand(UINT id);

    // Whether the window exists (between Create and Close).
    BOOL IsCreated() const { return m_pFrame != nullptr && !m_bClosed; }
    // The Qt window, for tests and screenshots; null when there is none.
    QMainWindow* GetFrame() const;

    static std::string GetDefaultLogFileName();

    // Window handlers, on the main thread.
    int OnCreate();
    void OnClose();
    void OnSize();
    void OnLogSettings();
    void OnStartStopLogging(UINT id);
    void OnTraceLevel(UINT id);
    void OnTraceCategory(UINT id);
    void OnDebugMessage(CTraceMessage* pRecord);

    HWND m_hWnd = nullptr;  // message-only window that receives the trace records
    HANDLE m_hShutdownEvent;
    QTreeWidget* m_hListView = nullptr;
    int m_nLoggingState = 0;
    char m_szLogFileName[261] = {};
    HKEY m_hKey = nullptr;
    int m_nMaxLogSize = 1;
    CLogFile m_LogFile;

private:
    static LRESULT WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    BOOL ReadDword(LPCSTR lpszName, DWORD& dwValue) const;
    void WriteDword(LPCSTR lpszName, DWORD dwValue) const;
    void ReadMaxLogSize();
    QAction* Item(UINT id) const;
    void EnableItem(UINT id, bool enabled) const;
    void UpdateLogItems();
    void OpenLogFile();

    // The frame stays, hidden, after the window is closed: this object outlives it.
    diag_detail::DebugFrame* m_pFrame = nullptr;
    BOOL m_bClosed = FALSE;
};
