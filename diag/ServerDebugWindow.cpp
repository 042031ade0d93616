// The server's debug window object: CDebugWindow behind the server host's hook.
//
// Commands on standard input: when TETHRA_DEBUG_WINDOW_CONTROL is set (to any non-empty
// text) as the window is created, the server reads lines from its standard input, which
// nobody else reads, and answers each on standard output. They let a test (or a script on
// a machine without a visible desktop) look at the window of a running server:
//   "rows"         one line "row <time> <message>" per row of the list, newest first,
//                  then "rows end"
//   "shot <path>"  saves a picture of the window as PNG to path: "shot ok" or
//                  "shot failed"
//   "close"        closes the window as its close box does: "closed"
// Anything else is answered "unknown command". Without the variable nothing is read.
#include "diag/DebugWindow.h"
#include "platform/ui/event_loop.h"
#include "server/DebugWindow.h"

#include <QMainWindow>
#include <QPixmap>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

class CServerDebugWindow : public IServerDebugWindow {
public:
    explicit CServerDebugWindow(HANDLE hShutdownEvent) : m_window(hShutdownEvent) {}
    ~CServerDebugWindow() override { platform::WatchInputLines({}); }

    BOOL CreateDebugWindow() override
    {
        if (!m_window.Create())
            return FALSE;
        const char* control = std::getenv("TETHRA_DEBUG_WINDOW_CONTROL");
        if (control && *control)
            platform::WatchInputLines([this](const std::string& line) { OnCommandLine(line); });
        return TRUE;
    }

    void DestroyDebugWindow() override
    {
        platform::WatchInputLines({});
        m_window.Destroy();
    }

private:
    static void Say(const std::string& text)
    {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
    }

    void OnCommandLine(const std::string& line)
    {
        if (line == "rows") {
            QTreeWidget* list = m_window.m_hListView;
            for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = list->topLevelItem(i);
                Say("row " + row->text(0).toStdString() + " " + row->text(1).toStdString());
            }
            Say("rows end");
        } else if (line.rfind("shot ", 0) == 0) {
            QMainWindow* frame = m_window.IsCreated() ? m_window.GetFrame() : nullptr;
            const bool saved =
                frame && frame->grab().save(QString::fromStdString(line.substr(5)), "PNG");
            Say(saved ? "shot ok" : "shot failed");
        } else if (line == "close") {
            m_window.Close();
            Say("closed");
        } else {
            Say("unknown command");
        }
    }

    CDebugWindow m_window;
};

}  // namespace

IServerDebugWindow* CreateDebugWindowObject(HANDLE hShutdownEvent)
{
    return new (std::nothrow) CServerDebugWindow(hShutdownEvent);
}
