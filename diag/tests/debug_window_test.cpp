// The debug window on Qt's offscreen platform, with a registry store of its own and the
// main thread's message queue served from Qt's loop, as the server serves it.
#include "diag/DebugWindow.h"
#include "diag/LogSettingsDlg.h"
#include "diag/tests/diag_test_support.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"
#include "platform/testing/testing.h"
#include "platform/ui/event_loop.h"
#include "platform/ui/message.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kKey[] = "SOFTWARE\\Ostra\\Tethra";

// Shots land in the build folder, next to the test program.
std::string shot_path(const std::string& name)
{
    return std::string(TETHRA_DIAG_SHOT_DIR) + "/" + name + ".png";
}

// Stores one value of the settings key.
void set_value(const char* name, DWORD type, const void* data, DWORD size)
{
    ASSERT_EQ(platform::testing::set_machine_value(kKey, name, type, data, size), ERROR_SUCCESS);
}
void set_dword(const char* name, DWORD value) { set_value(name, REG_DWORD, &value, 4); }
void set_string(const char* name, const std::string& value)
{
    set_value(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

// One stored value as text (a DWORD in decimal), or "<none>".
std::string get_value(const char* name)
{
    HKEY key = nullptr;
    char data[300] = {};
    DWORD size = sizeof data, type = 0;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS)
        return "<none>";
    if (type == REG_DWORD)
        return std::to_string(*reinterpret_cast<const DWORD*>(data));
    return data;
}
long long get_dword(const char* name)
{
    const std::string text = get_value(name);
    return text == "<none>" ? -1 : std::stoll(text);
}
std::string get_string(const char* name) { return get_value(name); }

// Serves the main thread's message queue from Qt's loop while a test steps the loop
// itself, as platform::RunMessageLoop serves it in the server.
void serve_queue_from_qt()
{
    platform::set_queue_wakeup([] {
        QMetaObject::invokeMethod(
            qApp,
            [] {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                    DispatchMessageA(&msg);
            },
            Qt::QueuedConnection);
    });
}

// Runs Qt's loop until done() or 10 s; it sleeps between events.
template <class F>
bool run_until(F done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    QTimer tick;  // bounds each wait, so the deadline is seen even when nothing arrives
    tick.start(50);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class DebugWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void SetUp() override
    {
        ASSERT_TRUE(store_.ready());
        shutdown_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        atlTraceLevel = 0;
        atlTraceCat = 0;
    }
    void TearDown() override
    {
        platform::set_queue_wakeup({});
        window_.reset();
        platform::EndApplication();
        CloseHandle(shutdown_);
    }

    // A window object made as the server makes it, and its window created.
    CDebugWindow& open()
    {
        window_ = std::make_unique<CDebugWindow>(shutdown_);
        EXPECT_TRUE(window_->Create());
        serve_queue_from_qt();
        return *window_;
    }
    QAction* item(UINT id)
    {
        for (QAction* a : window_->GetFrame()->findChildren<QAction*>())
            if (a->data().toUInt() == id && !a->menu())
                return a;
        return nullptr;
    }
    QTreeWidget* list() { return window_->m_hListView; }
    QStringList rows()
    {
        QStringList texts;
        for (int i = 0; list() && i < list()->topLevelItemCount(); ++i)
            texts << list()->topLevelItem(i)->text(1);
        return texts;
    }
    bool wait_rows(int count)
    {
        return run_until([&] { return list() && list()->topLevelItemCount() >= count; });
    }
    std::vector<int> checked(UINT first, UINT last)
    {
        std::vector<int> marks;
        for (UINT id = first; id <= last; ++id)
            marks.push_back(item(id)->isChecked() ? 1 : 0);
        return marks;
    }

    platform::testing::temp_registry store_;
    diag_test::scratch_dir dir_;
    HANDLE shutdown_ = nullptr;
    std::unique_ptr<CDebugWindow> window_;
};

// Clean store: the key is made with the repaired defaults; bad sizes are replaced.
TEST_F(DebugWindowTest, FirstRunWritesDefaultsAndRepairsTheSize)
{
    { CDebugWindow window(shutdown_); }
    EXPECT_EQ(get_dword("Logging"), 0);
    EXPECT_EQ(get_dword("MaxLogSize"), 1);
    for (DWORD bad : {0U, 5000U}) {
        set_dword("MaxLogSize", bad);
        CDebugWindow window(shutdown_);
        EXPECT_EQ(window.m_nMaxLogSize, 1);
        EXPECT_EQ(get_dword("MaxLogSize"), 1);
    }
    set_dword("MaxLogSize", 4096);
    set_dword("Logging", 2);
    set_string("LogFileName", dir_.file("x.log"));
    CDebugWindow window(shutdown_);
    EXPECT_EQ(window.m_nMaxLogSize, 4096);
    EXPECT_EQ(window.m_nLoggingState, 2) << "a configured file keeps Logging";
    EXPECT_STREQ(window.m_szLogFileName, dir_.file("x.log").c_str());
}

// The menus exactly, with the stored level and categories restored and announced.
TEST_F(DebugWindowTest, MenusFollowTheStoredSettings)
{
    set_dword("TraceLevel", 3);
    set_dword("TraceCat", 5);
    CDebugWindow& window = open();
    QMainWindow* frame = window.GetFrame();
    EXPECT_EQ(frame->windowTitle(), "Tethra Debug Window");
    EXPECT_TRUE(frame->isMinimized());

    const char* expected[][2] = {{"&Log", "S&ettings ...|&Start|S&top"},
                                 {"&Trace Level", "&0 Errors|&1 Method Entry Points|"
                                                  "&2 Method Exit Points|&3 High Level Detail|"
                                                  "&4 Low Level Detail|&5 Misc"},
                                 {"&Category", "Tethra|Interface Objects|Serial Port Objects|Queues"}};
    const auto menus = frame->menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    UINT id = ID_LOG_SETTINGS;
    for (int m = 0; m < 3; ++m) {
        EXPECT_EQ(menus[m]->text(), expected[m][0]);
        QStringList texts;
        for (QAction* a : menus[m]->menu()->actions()) {
            texts << a->text();
            EXPECT_EQ(a->data().toUInt(), id++) << a->text().toStdString();
        }
        EXPECT_EQ(texts.join('|'), expected[m][1]);
    }

    EXPECT_EQ(checked(ID_TRACE_LEVEL_0, ID_TRACE_LEVEL_5), (std::vector<int>{0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(checked(ID_CATEGORY_FIRST, ID_CATEGORY_LAST), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_EQ(atlTraceLevel.load(), 3u);
    EXPECT_EQ(atlTraceCat.load(), 5u);
    ASSERT_TRUE(wait_rows(1));
    EXPECT_EQ(rows(), QStringList{"atlTraceLevel = 0x3"});
    EXPECT_EQ(list()->topLevelItem(0)->text(0).size(), 8);
    // No file configured, logging off: only the settings can be opened.
    EXPECT_TRUE(item(ID_LOG_SETTINGS)->isEnabled());
    EXPECT_FALSE(item(ID_LOG_START)->isEnabled());
    EXPECT_FALSE(item(ID_LOG_STOP)->isEnabled());

    frame->showNormal();
    frame->resize(700, 300);
    Trace(TRACE_CAT_TETHRA, 1, "CTethra(%#x)::CreatePort(%i, %#x)\n", 0x12f0, 1, 0x4a0);
    Trace(TRACE_CAT_TETHRA, 3, "CTethra(%#x)::CreatePort(%i, %#x)  Looking for the serial port.\n",
          0x12f0, 1, 0x4a0);
    Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::put_BaudRate(%i)\n", 0x5a10, 9600);
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::put_BaudRate(%#x, %i)\n", 0x3c0,
          0x18, 9600);
    ASSERT_TRUE(wait_rows(4));
    QCoreApplication::processEvents();
    // Level 3 passes; category 0x02 is off.
    EXPECT_EQ(rows().join('|').toStdString(),
              "CSerialPortManager(0x3c0)::put_BaudRate(0x18, 9600)|"
              "CTethra(0x12f0)::CreatePort(1, 0x4a0)  Looking for the serial port.|"
              "CTethra(0x12f0)::CreatePort(1, 0x4a0)|atlTraceLevel = 0x3");
    EXPECT_TRUE(frame->grab().save(QString::fromStdString(shot_path("debug_window"))));
}

// Level and category commands change the filter, store it and announce it; the next
// window restores it. Without a stored category no item carries a mark.
TEST_F(DebugWindowTest, CommandsStoreEveryChoice)
{
    open();
    EXPECT_EQ(checked(ID_CATEGORY_FIRST, ID_CATEGORY_LAST), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(checked(ID_TRACE_LEVEL_0, ID_TRACE_LEVEL_5), (std::vector<int>{1, 0, 0, 0, 0, 0}));
    item(ID_TRACE_LEVEL_5)->trigger();
    EXPECT_EQ(atlTraceLevel.load(), 5u);
    EXPECT_EQ(get_dword("TraceLevel"), 5);
    EXPECT_EQ(checked(ID_TRACE_LEVEL_0, ID_TRACE_LEVEL_5), (std::vector<int>{0, 0, 0, 0, 0, 1}));

    item(ID_CATEGORY_LAST)->trigger();  // "Queues" on
    EXPECT_TRUE(item(ID_CATEGORY_LAST)->isChecked());
    EXPECT_EQ(get_dword("TraceCat"), 8);
    item(ID_CATEGORY_FIRST)->trigger();  // "Tethra" on
    EXPECT_EQ(get_dword("TraceCat"), 9);
    item(ID_CATEGORY_LAST)->trigger();   // "Queues" off
    EXPECT_EQ(get_dword("TraceCat"), 1);
    item(ID_CATEGORY_FIRST)->trigger();
    EXPECT_EQ(atlTraceCat.load(), 0u);
    EXPECT_FALSE(item(ID_CATEGORY_FIRST)->isChecked());
    ASSERT_TRUE(wait_rows(5));
    EXPECT_EQ(rows(), (QStringList{"atlTraceCat = 0", "atlTraceCat = 0x1", "atlTraceCat = 0x9",
                                   "atlTraceCat = 0x8", "atlTraceLevel = 0x5"}));

    // Bits without a menu item stay as they are.
    item(ID_CATEGORY_FIRST + 1)->trigger();
    window_.reset();
    set_dword("TraceCat", 0x402);
    set_dword("TraceLevel", 9);  // above the menu: the highest level
    open();
    EXPECT_EQ(atlTraceLevel.load(), 5u);
    EXPECT_EQ(get_dword("TraceLevel"), 5);
    EXPECT_EQ(checked(ID_TRACE_LEVEL_0, ID_TRACE_LEVEL_5), (std::vector<int>{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(checked(ID_CATEGORY_FIRST, ID_CATEGORY_LAST), (std::vector<int>{0, 1, 0, 0}));
    item(ID_CATEGORY_FIRST + 3)->trigger();
    EXPECT_EQ(get_dword("TraceCat"), 0x40a);
}

// Logging on: rows become records of the ring file; the Log items follow the state.
TEST_F(DebugWindowTest, LoggingWritesRecordsAndGraysItems)
{
    const std::string path = dir_.file("tethra.log");
    set_string("LogFileName", path);
    set_dword("LoggingState", 2);
    set_dword("TraceCat", TRACE_CAT_QUEUES);
    set_dword("TraceLevel", 0);
    open();
    EXPECT_FALSE(item(ID_LOG_SETTINGS)->isEnabled());
    EXPECT_FALSE(item(ID_LOG_START)->isEnabled());
    EXPECT_TRUE(item(ID_LOG_STOP)->isEnabled());
    const std::string long_text(300, 'y');
    Trace(TRACE_CAT_QUEUES, 0, "%s\n", long_text.c_str());
    ASSERT_TRUE(wait_rows(2));
    const std::string file = diag_test::read_all(path);
    ASSERT_EQ(file.size(), 2u * 162);
    const std::string time = list()->topLevelItem(0)->text(0).toStdString();
    EXPECT_EQ(file.substr(0, 162),
              list()->topLevelItem(1)->text(0).toStdString() + " atlTraceLevel = 0" +
                  std::string(160 - 18 - time.size(), ' ') + "\r\n");
    EXPECT_EQ(file.substr(162, 160), time + " " + long_text.substr(0, 159 - time.size()));

    item(ID_LOG_STOP)->trigger();
    EXPECT_EQ(get_dword("LoggingState"), 0);
    EXPECT_TRUE(item(ID_LOG_SETTINGS)->isEnabled());
    EXPECT_TRUE(item(ID_LOG_START)->isEnabled());
    EXPECT_FALSE(item(ID_LOG_STOP)->isEnabled());
    Trace(TRACE_CAT_QUEUES, 0, "not logged\n");
    ASSERT_TRUE(wait_rows(3));
    EXPECT_EQ(diag_test::read_all(path).size(), 2u * 162);

    window_->OnCommand(ID_LOG_STOP);  // grayed: nothing happens
    item(ID_LOG_START)->trigger();
    EXPECT_EQ(get_dword("LoggingState"), 2);
    EXPECT_FALSE(item(ID_LOG_SETTINGS)->isEnabled());
    Trace(TRACE_CAT_QUEUES, 0, "logged again\n");
    ASSERT_TRUE(wait_rows(4));
    EXPECT_EQ(diag_test::read_all(path).size(), 3u * 162);
}

// Many threads trace at once while the window's thread is busy elsewhere: no sender
// waits for it, and each sender's rows come newest-first, in its own order.
TEST_F(DebugWindowTest, RowsFromManyThreadsArriveNewestFirstWithoutBlocking)
{
    set_dword("TraceCat", TRACE_CAT_QUEUES);
    set_dword("TraceLevel", 5);
    open();
    ASSERT_TRUE(wait_rows(1));
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                Trace(TRACE_CAT_QUEUES, 5, "sender %i row %i\n", t, i);
        });
    // The main thread serves no event until every sender has finished.
    for (auto& s : senders)
        s.join();
    EXPECT_EQ(list()->topLevelItemCount(), 1);
    ASSERT_TRUE(wait_rows(1 + kThreads * kEach));
    const QStringList texts = rows();
    EXPECT_EQ(texts.last(), "atlTraceLevel = 0x5");
    std::vector<int> next(kThreads, kEach - 1);
    for (int r = 0; r < kThreads * kEach; ++r) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(texts[r].toLatin1().constData(), "sender %d row %d", &t, &i), 2);
        ASSERT_EQ(i, next[t]--) << "row " << r;
    }
}

// The list keeps its newest kMaxRows rows.
TEST_F(DebugWindowTest, ListKeepsTheNewestRowsUpToItsCap)
{
    open();
    for (int i = 0; i < CDebugWindow::kMaxRows + 10; ++i)
        TraceAlways("row %i\n", i);
    ASSERT_TRUE(run_until([&] {
        return list()->topLevelItemCount() > 0 && list()->topLevelItem(0)->text(1) ==
               QString("row %1").arg(CDebugWindow::kMaxRows + 9);
    }));
    EXPECT_EQ(list()->topLevelItemCount(), CDebugWindow::kMaxRows);
    EXPECT_EQ(list()->topLevelItem(CDebugWindow::kMaxRows - 1)->text(1), "row 10");
}

// Column 1 takes the width left of column 0, unless none is left.
TEST_F(DebugWindowTest, MessageColumnFillsTheWidth)
{
    open();
    QMainWindow* frame = window_->GetFrame();
    // Restored at the size it was made with: the rule holds without a resize.
    frame->showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(list()->columnWidth(1), list()->viewport()->width() - 100);
    frame->resize(600, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(list()->columnWidth(0), 100);
    EXPECT_EQ(list()->columnWidth(1), list()->viewport()->width() - 100);
    const int before = list()->columnWidth(1);
    frame->resize(60, 300);
    QCoreApplication::processEvents();
    ASSERT_LT(list()->viewport()->width(), 100);
    EXPECT_EQ(list()->columnWidth(1), before);
}

// Closing pulses the shutdown event, closes the log, and ends the delivery of traces.
TEST_F(DebugWindowTest, ClosingPulsesTheShutdownEventAndStopsTracing)
{
    const std::string path = dir_.file("closed.log");
    set_string("LogFileName", path);
    set_dword("LoggingState", 2);
    set_dword("TraceCat", TRACE_CAT_TETHRA);
    open();
    ASSERT_TRUE(wait_rows(0));
    std::atomic<DWORD> waited{WAIT_FAILED};
    HANDLE waiting = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread monitor([&] {
        SetEvent(waiting);
        waited = WaitForSingleObject(shutdown_, 10000);
    });
    WaitForSingleObject(waiting, INFINITE);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into its wait
    Trace(TRACE_CAT_TETHRA, 0, "queued before the close\n");
    window_->Close();
    monitor.join();
    CloseHandle(waiting);
    EXPECT_EQ(waited.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(shutdown_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "pulsed";
    EXPECT_FALSE(window_->IsCreated());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed()) << "the server's loop goes on";
    EXPECT_EQ(g_hDebugWnd.load(), nullptr);
    EXPECT_EQ(window_->m_hListView, nullptr);
    EXPECT_FALSE(window_->m_LogFile.IsOpen());
    EXPECT_FALSE(window_->GetFrame()->isVisible());
    Trace(TRACE_CAT_TETHRA, 0, "after the close\n");
    QCoreApplication::processEvents();
    // The record queued before the close was taken and freed (LeakSanitizer watches),
    // and the file kept only what came before the close.
    EXPECT_EQ(diag_test::read_all(path).size() % 162, 0u);
    window_->OnCommand(ID_TRACE_LEVEL_5);
    EXPECT_EQ(atlTraceLevel.load(), 0u);
}

// Runs `act` on the modal dialog of type T once it is the active one (looked for every
// 20 ms, for at most 5 s; then whatever modal is up is closed, so that no test hangs).
template <class T, class F>
void when_modal(F act, int tries = 250)
{
    QTimer::singleShot(20, [act, tries] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = dynamic_cast<T*>(modal))
            act(dialog);
        else if (tries > 0)
            when_modal<T>(act, tries - 1);
        else if (auto* dialog = dynamic_cast<QDialog*>(modal))
            dialog->done(0);
    });
}

// "OK" stores the path and size and reopens the log empty and paused; an unusable path
// is reported and stored all the same; "Cancel" changes nothing.
TEST_F(DebugWindowTest, SettingsDialogStoresItsChoice)
{
    const std::string path = dir_.file("chosen.log");
    set_dword("MaxLogSize", 7);
    open();
    std::string offered;
    int offered_size = 0;
    bool typing = true;
    when_modal<CLogSettingsDlg>([&](CLogSettingsDlg* dialog) {
        offered = dialog->m_hLocation->text().toStdString();
        offered_size = dialog->m_hSpin->value();
        typing = !dialog->m_hSizeText->isReadOnly() || !dialog->m_hLocation->isReadOnly();
        dialog->m_hSpin->stepBy(5);
        // "Change ...": the save-file dialog adds the ".log" the name lacks.
        when_modal<QFileDialog>([&](QFileDialog* files) {
            files->setDirectory(QString::fromStdString(path.substr(0, path.rfind('/'))));
            files->findChild<QLineEdit*>("fileNameEdit")->setText("chosen");
            static_cast<QDialog*>(files)->accept();
        });
        dialog->OnChange();
        dialog->grab().save(QString::fromStdString(shot_path("log_settings_dialog")));
        dialog->reject();  // Escape: stays open
        dialog->OnOK();
    });
    item(ID_LOG_SETTINGS)->trigger();
    EXPECT_EQ(offered, CDebugWindow::GetDefaultLogFileName());
    EXPECT_EQ(offered_size, 7);
    EXPECT_FALSE(typing);
    EXPECT_EQ(get_string("LogFileName"), path);
    EXPECT_EQ(get_dword("MaxLogSize"), 12);
    EXPECT_TRUE(window_->m_LogFile.IsOpen());
    EXPECT_TRUE(window_->m_LogFile.IsPaused());
    EXPECT_EQ(window_->m_LogFile.GetCapacity(), 12 * 1024 / 162);
    EXPECT_TRUE(item(ID_LOG_START)->isEnabled());
    TraceAlways("paused: not logged\n");
    ASSERT_TRUE(wait_rows(1));
    EXPECT_EQ(diag_test::read_all(path), "");

    // Cancel keeps everything.
    when_modal<CLogSettingsDlg>([&](CLogSettingsDlg* dialog) {
        dialog->m_hSpin->stepBy(100);
        dialog->done(0);
    });
    item(ID_LOG_SETTINGS)->trigger();
    EXPECT_EQ(get_dword("MaxLogSize"), 12);

    // A folder that does not exist: the message box, the path stored, the log closed.
    const std::string bad = dir_.file("no/such/folder.log");
    QString message;
    when_modal<CLogSettingsDlg>([&](CLogSettingsDlg* dialog) {
        dialog->m_hLocation->setText(QString::fromStdString(bad));
        when_modal<QMessageBox>([&](QMessageBox* box) {
            message = box->windowTitle() + ": " + box->text();
            box->accept();
        });
        dialog->OnOK();
    });
    item(ID_LOG_SETTINGS)->trigger();
    EXPECT_EQ(message, "Log File Error: Failed to open the log file.");
    EXPECT_EQ(get_string("LogFileName"), bad);
    EXPECT_FALSE(window_->m_LogFile.IsOpen());
    EXPECT_TRUE(item(ID_LOG_START)->isEnabled());
}

// The window lives on the server's one loop: platform::RunMessageLoop alone serves the
// records posted from another thread and ends with WM_QUIT's code; Destroy then takes
// the window away without pulsing the shutdown event.
TEST_F(DebugWindowTest, ServersMessageLoopServesTheWindow)
{
    set_dword("TraceLevel", 2);
    ASSERT_TRUE(platform::StartApplication(TRUE));
    window_ = std::make_unique<CDebugWindow>(shutdown_);
    ASSERT_TRUE(window_->Create());
    const DWORD main_thread = GetCurrentThreadId();
    std::thread sender([main_thread] {
        TraceAlways("from another thread\n");
        PostThreadMessageA(main_thread, WM_QUIT, 7, 0);
    });
    EXPECT_EQ(platform::RunMessageLoop(), 7);
    sender.join();
    EXPECT_EQ(rows().join('|').toStdString(), "from another thread|atlTraceLevel = 0x2");
    TraceAlways("queued after the loop\n");
    window_->Destroy();
    EXPECT_FALSE(window_->IsCreated());
    EXPECT_EQ(g_hDebugWnd.load(), nullptr);
    EXPECT_EQ(WaitForSingleObject(shutdown_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    window_->Destroy();  // twice: harmless
}

// Without a display, Create says so once and the server goes on without a window: with
// no application object, and with the core one the server makes when there is no display.
TEST(DebugWindowNoDisplay, CreateFailsCleanly)
{
    if (QCoreApplication::instance())
        GTEST_SKIP() << "needs a process without a Qt application";
    platform::testing::temp_registry store;
    const char* names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    std::vector<std::string> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.push_back(value ? value : "");
        unsetenv(name);
    }
    HANDLE shutdown = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        CDebugWindow window(shutdown);
        atlTraceCat = 0xffffffff;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(window.Create());
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("no display"), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line";
        EXPECT_FALSE(window.IsCreated());
        EXPECT_EQ(g_hDebugWnd.load(), nullptr);
        EXPECT_EQ(QCoreApplication::instance(), nullptr);
        atlTraceCat = 0;
    }
    EXPECT_FALSE(platform::StartApplication(TRUE));
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    {
        CDebugWindow window(shutdown);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(window.Create());
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("no display"), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line";
        EXPECT_EQ(g_hDebugWnd.load(), nullptr);
    }
    platform::EndApplication();
    CloseHandle(shutdown);
    for (std::size_t i = 0; i < saved.size(); ++i)
        if (!saved[i].empty())
            setenv(names[i], saved[i].c_str(), 1);
}

}  // namespace
