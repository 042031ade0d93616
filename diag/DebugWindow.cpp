#include "diag/DebugWindow.h"

#include "diag/LogSettingsDlg.h"
#include "platform/sync/sync.h"
#include "platform/ui/event_loop.h"
#include "trace/trace.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QResizeEvent>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace diag_detail {

// The top-level Qt window; it hands its close and resize events to the owner.
class DebugFrame : public QMainWindow {
public:
    explicit DebugFrame(CDebugWindow* owner) : owner_(owner) {}

    std::map<UINT, QAction*> items;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        event->accept();
        if (owner_->IsCreated())
            owner_->OnClose();
    }
    void resizeEvent(QResizeEvent* event) override
    {
        QMainWindow::resizeEvent(event);
        owner_->OnSize();
    }
    // The list's first layout (and any later change of its room) sizes the columns too:
    // the frame's own size may never change after the list is made.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize)
            owner_->OnSize();
        return QMainWindow::eventFilter(watched, event);
    }

private:
    CDebugWindow* owner_;
};

}  // namespace diag_detail

namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\Ostra\\Tethra";
constexpr int kTimeColumnWidth = 100;

// The one window object of the process, for the message window's procedure.
CDebugWindow* g_pDebugWindow = nullptr;

struct menu_item {
    UINT id;
    const char* text;
};

const menu_item kLogItems[] = {
    {ID_LOG_SETTINGS, "S&ettings ..."}, {ID_LOG_START, "&Start"}, {ID_LOG_STOP, "S&top"}};
const menu_item kLevelItems[] = {
    {32772, "&0 Errors"},           {32773, "&1 Method Entry Points"},
    {32774, "&2 Method Exit Points"}, {32775, "&3 High Level Detail"},
    {32776, "&4 Low Level Detail"}, {32777, "&5 Misc"}};
const menu_item kCategoryItems[] = {
    {32778, "Tethra"}, {32779, "Interface Objects"}, {32780, "Serial Port Objects"},
    {32781, "Queues"}};

}  // namespace

CDebugWindow::CDebugWindow(HANDLE hShutdownEvent) : m_hShutdownEvent(hShutdownEvent)
{
    g_pDebugWindow = this;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &m_hKey, nullptr) != ERROR_SUCCESS)
        m_hKey = nullptr;

    m_szLogFileName[0] = '\0';
    DWORD type = 0;
    DWORD size = sizeof m_szLogFileName;
    if (m_hKey && (RegQueryValueExA(m_hKey, "LogFileName", nullptr, &type,
                                    reinterpret_cast<BYTE*>(m_szLogFileName), &size) !=
                       ERROR_SUCCESS ||
                   type != REG_SZ))
        m_szLogFileName[0] = '\0';
    m_szLogFileName[sizeof m_szLogFileName - 1] = '\0';
    if (m_szLogFileName[0] == '\0')
        WriteDword("Logging", 0);

    DWORD logging = 0;
    m_nLoggingState = ReadDword("Logging", logging) ? static_cast<int>(logging) : 0;

    DWORD maxSize = 0;
    const int nMaxSize = ReadDword("MaxLogSize", maxSize) ? static_cast<int>(maxSize) : 0;
    if (nMaxSize < 1 || nMaxSize > 4096) {
        WriteDword("MaxLogSize", 1);
        m_nMaxLogSize = 1;
    } else {
        m_nMaxLogSize = nMaxSize;
    }
}

CDebugWindow::~CDebugWindow()
{
    Destroy();
    m_LogFile.Close();
    if (m_hKey)
        RegCloseKey(m_hKey);
    if (g_pDebugWindow == this)
        g_pDebugWindow = nullptr;
}

void CDebugWindow::Destroy()
{
    if (m_pFrame) {
        if (!m_bClosed)
            g_hDebugWnd.store(nullptr);
        delete m_pFrame;
        m_pFrame = nullptr;
        m_hListView = nullptr;
    }
    if (m_hWnd) {
        // Records still queued belong to this window: dispatch what the loop left.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

std::string CDebugWindow::GetDefaultLogFileName()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/tethra.log";
    return "/tmp/tethra.log";
}

BOOL CDebugWindow::ReadDword(LPCSTR lpszName, DWORD& dwValue) const
{
    if (!m_hKey)
        return FALSE;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(m_hKey, lpszName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return FALSE;
    dwValue = value;
    return TRUE;
}

void CDebugWindow::WriteDword(LPCSTR lpszName, DWORD dwValue) const
{
    if (m_hKey)
        RegSetValueExA(m_hKey, lpszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                       sizeof dwValue);
}

LRESULT CDebugWindow::WindowProc(HWND, UINT uMsg, WPARAM, LPARAM lParam)
{
    if (uMsg == WM_DEBUG_MESSAGE) {
        auto* record = reinterpret_cast<CTraceMessage*>(lParam);
        if (g_pDebugWindow)
            g_pDebugWindow->OnDebugMessage(record);
        else
            delete record;
    }
    return 0;
}

BOOL CDebugWindow::Create()
{
    if (m_pFrame || m_hWnd)
        return FALSE;
    // Without a display the application object is a core one, or none: one line says
    // why there is no window.
    if (!platform::IsDisplayNamed()) {
        std::fputs("tethra: no display (DISPLAY and WAYLAND_DISPLAY are not set); "
                   "running without the debug window\n",
                   stderr);
        return FALSE;
    }
    if (!QCoreApplication::instance())
        platform::StartApplication(TRUE);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fputs("tethra: the process has no GUI application; running without the debug "
                   "window\n",
                   stderr);
        return FALSE;
    }
    // Closing the window must not end the server's loop.
    QApplication::setQuitOnLastWindowClosed(false);

    m_hWnd = CreateMessageWindow(&CDebugWindow::WindowProc);
    if (!m_hWnd)
        return FALSE;
    m_pFrame = new diag_detail::DebugFrame(this);
    m_pFrame->setWindowTitle("Tethra Debug Window");
    m_pFrame->resize(640, 400);
    if (OnCreate() != 0) {
        delete m_pFrame;
        m_pFrame = nullptr;
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        return FALSE;
    }
    m_pFrame->showMinimized();
    return TRUE;
}

int CDebugWindow::OnCreate()
{
    QMenuBar* bar = m_pFrame->menuBar();
    auto add_menu = [this, bar](const char* title, const menu_item* items, std::size_t count,
                                bool checkable) {
        QMenu* menu = bar->addMenu(title);
        for (std::size_t i = 0; i < count; ++i) {
            QAction* action = menu->addAction(items[i].text);
            action->setCheckable(checkable);
            action->setData(items[i].id);
            const UINT id = items[i].id;
            // A checkable action flips its own mark; the handlers set the marks themselves.
            QObject::connect(action, &QAction::triggered, m_pFrame, [this, action, id] {
                if (action->isCheckable())
                    action->setChecked(!action->isChecked());
                OnCommand(id);
            });
            m_pFrame->items[id] = action;
        }
    };
    add_menu("&Log", kLogItems, std::size(kLogItems), false);
    add_menu("&Trace Level", kLevelItems, std::size(kLevelItems), true);
    add_menu("&Category", kCategoryItems, std::size(kCategoryItems), true);
    Item(ID_TRACE_LEVEL_0)->setChecked(true);

    m_hListView = new QTreeWidget(m_pFrame);
    m_hListView->setColumnCount(2);
    m_hListView->setHeaderLabels({"Time", "Debug Message"});
    m_hListView->setRootIsDecorated(false);
    m_hListView->setSortingEnabled(false);
    m_hListView->setUniformRowHeights(true);
    m_hListView->header()->setSectionsClickable(false);
    m_hListView->header()->setStretchLastSection(false);
    m_hListView->setColumnWidth(0, kTimeColumnWidth);
    m_pFrame->setCentralWidget(m_hListView);
    m_hListView->viewport()->installEventFilter(m_pFrame);
    m_hListView->show();

    g_hDebugWnd.store(m_hWnd);

    DWORD value = 0;
    if (ReadDword("TraceLevel", value)) {
        if (value > ID_TRACE_LEVEL_5 - ID_TRACE_LEVEL_0)
            value = ID_TRACE_LEVEL_5 - ID_TRACE_LEVEL_0;
        atlTraceLevel.store(value);
        OnTraceLevel(ID_TRACE_LEVEL_0 + value);
    }
    if (ReadDword("TraceCat", value)) {
        atlTraceCat.store(value);
        for (UINT id = ID_CATEGORY_FIRST; id <= ID_CATEGORY_LAST; ++id)
            Item(id)->setChecked((value >> (id - ID_CATEGORY_FIRST)) & 1U);
    }
    if (ReadDword("LoggingState", value))
        m_nLoggingState = static_cast<int>(value);
    UpdateLogItems();
    if (m_nLoggingState == LOGGING_ON)
        OpenLogFile();
    return 0;
}

QMainWindow* CDebugWindow::GetFrame() const
{
    return m_pFrame;
}

QAction* CDebugWindow::Item(UINT id) const
{
    auto it = m_pFrame->items.find(id);
    return it != m_pFrame->items.end() ? it->second : nullptr;
}

void CDebugWindow::EnableItem(UINT id, bool enabled) const
{
    Item(id)->setEnabled(enabled);
}

void CDebugWindow::UpdateLogItems()
{
    const bool on = m_nLoggingState == LOGGING_ON;
    EnableItem(ID_LOG_STOP, on);
    EnableItem(ID_LOG_SETTINGS, !on);
    EnableItem(ID_LOG_START, !on && m_szLogFileName[0] != '\0');
}

void CDebugWindow::OpenLogFile()
{
    m_LogFile.Open(m_szLogFileName, m_nMaxLogSize, LOG_RECORD_CHARS);
}

void CDebugWindow::OnCommand(UINT id)
{
    if (!IsCreated())
        return;
    QAction* action = Item(id);
    if (!action || !action->isEnabled())
        return;
    if (id == ID_LOG_SETTINGS)
        OnLogSettings();
    else if (id == ID_LOG_START || id == ID_LOG_STOP)
        OnStartStopLogging(id);
    else if (id >= ID_TRACE_LEVEL_0 && id <= ID_TRACE_LEVEL_5)
        OnTraceLevel(id);
    else
        OnTraceCategory(id);
}

void CDebugWindow::OnTraceLevel(UINT id)
{
    for (UINT level = ID_TRACE_LEVEL_0; level <= ID_TRACE_LEVEL_5; ++level)
        Item(level)->setChecked(level == id);
    const DWORD level = id - ID_TRACE_LEVEL_0;
    atlTraceLevel.store(level);
    TraceAlways("atlTraceLevel = %#x\n", level);
    WriteDword("TraceLevel", level);
}

void CDebugWindow::OnTraceCategory(UINT id)
{
    QAction* action = Item(id);
    action->setChecked(!action->isChecked());
    const DWORD bit = 1U << (id - ID_CATEGORY_FIRST);
    DWORD mask = atlTraceCat.load();
    mask = action->isChecked() ? (mask | bit) : (mask & ~bit);
    atlTraceCat.store(mask);
    WriteDword("TraceCat", mask);
    TraceAlways("atlTraceCat = %#x\n", mask);
}

void CDebugWindow::OnStartStopLogging(UINT id)
{
    if (id == ID_LOG_START) {
        m_nLoggingState = LOGGING_ON;
        if (!m_LogFile.IsOpen())
            OpenLogFile();
    } else {
        m_nLoggingState = 0;
    }
    UpdateLogItems();
    // "Start" is reachable with logging on only through a stale click; keep it grayed.
    WriteDword("LoggingState", static_cast<DWORD>(m_nLoggingState));
    m_LogFile.SetPaused(m_nLoggingState != LOGGING_ON);
}

void CDebugWindow::ReadMaxLogSize()
{
    DWORD value = 0;
    if (ReadDword("MaxLogSize", value))
        m_nMaxLogSize = static_cast<int>(value);
}

void CDebugWindow::OnLogSettings()
{
    ReadMaxLogSize();
    const std::string fallback = GetDefaultLogFileName();
    CLogSettingsDlg dialog(m_pFrame, m_szLogFileName[0] ? m_szLogFileName : fallback.c_str(),
                           m_nMaxLogSize);
    if (dialog.DoModal() != 1)
        return;
    std::snprintf(m_szLogFileName, sizeof m_szLogFileName, "%s", dialog.m_szFileName);
    m_nMaxLogSize = dialog.m_nSize;
    if (m_hKey)
        RegSetValueExA(m_hKey, "LogFileName", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(m_szLogFileName),
                       static_cast<DWORD>(std::strlen(m_szLogFileName) + 1));
    WriteDword("MaxLogSize", static_cast<DWORD>(m_nMaxLogSize));
    m_LogFile.Close();
    if (m_LogFile.Open(m_szLogFileName, m_nMaxLogSize, LOG_RECORD_CHARS))
        m_LogFile.SetPaused(TRUE);  // logging begins with "Start"
    else
        QMessageBox::critical(m_pFrame, "Log File Error", "Failed to open the log file.");
    if (IsCreated())
        EnableItem(ID_LOG_START, true);
}

void CDebugWindow::OnDebugMessage(CTraceMessage* pRecord)
{
    if (!m_LogFile.IsPaused()) {
        char line[LOG_RECORD_CHARS + 1] = {};
        const int room = LOG_RECORD_CHARS - 1 - static_cast<int>(std::strlen(pRecord->m_pszTime));
        std::snprintf(line, sizeof line, "%s %.*s", pRecord->m_pszTime, room > 0 ? room : 0,
                      pRecord->m_pszText);
        m_LogFile.WriteLine(line);
    }
    if (m_hListView) {
        auto* row = new QTreeWidgetItem;
        row->setText(0, QString::fromLatin1(pRecord->m_pszTime));
        row->setText(1, QString::fromLocal8Bit(pRecord->m_pszText));
        m_hListView->insertTopLevelItem(0, row);
        while (m_hListView->topLevelItemCount() > kMaxRows)
            delete m_hListView->takeTopLevelItem(m_hListView->topLevelItemCount() - 1);
    }
    delete pRecord;
}

void CDebugWindow::OnSize()
{
    if (!m_hListView)
        return;
    const int width = m_hListView->viewport()->width() - m_hListView->columnWidth(0);
    if (width > 0)
        m_hListView->setColumnWidth(1, width);
}

void CDebugWindow::Close()
{
    if (IsCreated())
        m_pFrame->close();
}

void CDebugWindow::OnClose()
{
    g_hDebugWnd.store(nullptr);
    // The rows go with the list; records still queued are freed without a row.
    delete m_hListView;
    m_hListView = nullptr;
    PulseEvent(m_hShutdownEvent);
    m_LogFile.Close();
    m_bClosed = TRUE;  // the frame, hidden by now, goes with this object
}
