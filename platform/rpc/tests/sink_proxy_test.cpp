// The proxy of a client's event sink against a sink object on a real bus: while the
// proxy's window of calls is full, the notifications behind it queue and OnData calls
// merge, and the sink still gets every byte in the port's order with each port event
// and error in its place; a proxy whose calls are never answered goes when the runtime
// gives them up. Sinks that never answer keep to their share of the server's budget of
// calls awaiting answers, so a daemon that allows the server's connection little more
// than that budget still carries every call to the other sinks.
#include "platform/rpc/sink_proxy.h"

#include "platform/rpc/call_budget.h"
#include "idl/tethra.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/rpc/wire.h"

#include <gtest/gtest.h>

#include <future>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform::rpc;

namespace {

// An events sink that records every call and, while holding, keeps its answers back.
class HoldingSink : public QDBusVirtualObject {
public:
    struct call {
        QString member;
        QByteArray data;  // OnData's bytes, or the number an event or error carries
    };

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() == QLatin1String(kIntrospectable))
            return false;
        const QVariant arg = message.arguments().value(0);
        std::lock_guard lock(mutex);
        calls.push_back({message.member(), message.member() == QLatin1String("OnData")
                                               ? arg.toByteArray()
                                               : QByteArray::number(arg.toInt())});
        if (message.member() == QLatin1String("OnData"))
            bytes += arg.toByteArray().size();
        const QDBusMessage reply = error.isEmpty()
                                       ? message.createReply(QVariant(0))
                                       : message.createErrorReply(error, QStringLiteral("refused"));
        if (holding)
            held.push_back(reply);
        else
            QDBusConnection(connection).send(reply);
        connection_ = connection;
        changed.notify_all();
        return true;
    }
    QString introspect(const QString&) const override
    {
        return QStringLiteral("<interface name=\"Ostra.Tethra._ISerialPortEvents\"/>");
    }
    // Answers what was held back and everything from now on.
    void answer()
    {
        std::lock_guard lock(mutex);
        holding = false;
        for (const QDBusMessage& reply : held)
            connection_.send(reply);
        held.clear();
    }
    bool wait(const std::function<bool()>& done)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), done);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<call> calls;
    qsizetype bytes = 0;
    bool holding = true;
    QString error;  // the error every call is answered with, if not empty
    std::vector<QDBusMessage> held;
    QDBusConnection connection_{QString()};
};

// Invokes a member of the events interface through the proxy's IDispatch.
HRESULT Fire(IDispatch* sink, DISPID member, const QVariant& value)
{
    VARIANT arg;
    VariantInit(&arg);
    if (FAILED(variant_from_bus(value, &arg)))
        return E_FAIL;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    const HRESULT hr =
        sink->Invoke(member, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    VariantClear(&arg);
    return hr;
}

// A proxy's side and a sink's side on a private bus, with the thread that serves the
// proxy's answers (context lives there) and runs the sink.
class SinkProxy : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int argc = 0;
        static QCoreApplication app(argc, nullptr);  // QtDBus wants one, once per program
        ASSERT_TRUE(bus_.ready());
        const QString address = QString::fromStdString(bus_.address());
        server = QDBusConnection::connectToBus(address, QStringLiteral("proxy-side"));
        client = QDBusConnection::connectToBus(address, QStringLiteral("sink-side"));
        ASSERT_TRUE(server.isConnected() && client.isConnected());
        loop.start();
        context.moveToThread(&loop);
        sink = new HoldingSink;
        sink->moveToThread(&loop);
        ASSERT_TRUE(client.registerVirtualObject(QStringLiteral("/sink"), sink));
        itf = find_bus_interface(TethraTypeLib(), QStringLiteral("Ostra.Tethra._ISerialPortEvents"));
        ASSERT_NE(itf, nullptr);
    }
    void TearDown() override
    {
        client.unregisterObject(QStringLiteral("/sink"));
        loop.quit();
        loop.wait();
        delete sink;
        QDBusConnection::disconnectFromBus(QStringLiteral("proxy-side"));
        QDBusConnection::disconnectFromBus(QStringLiteral("sink-side"));
    }
    sink_proxy* MakeProxy(sink_proxy::drop_fn drop)
    {
        return new sink_proxy(server, client.baseService(), QStringLiteral("/sink"), *itf,
                              &context, std::move(drop));
    }

    // Disconnects the proxy and lets it go once every call's answer has given back the
    // reference the call held.
    static void ReleaseOnceAnswered(sink_proxy* proxy)
    {
        proxy->disconnect();
        for (int i = 0; i < 200 && proxy->AddRef() > 2; ++i) {
            proxy->Release();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(proxy->Release(), 1U);
        proxy->Release();
    }

    platform::rpc::testing::private_bus bus_;
    QDBusConnection server{QString()};
    QDBusConnection client{QString()};
    QThread loop;
    QObject context;
    HoldingSink* sink = nullptr;
    const platform::interface_info* itf = nullptr;
};

}  // namespace

TEST_F(SinkProxy, QueuedDataMergesAndEveryByteAndEventKeepsItsPlace)
{
    sink_proxy* proxy =
        MakeProxy([](sink_proxy*, const QString& reason) { ADD_FAILURE() << reason.toStdString(); });

    // What the sink must see, with consecutive data run together.
    std::vector<HoldingSink::call> expected;
    int invokes = 0;
    auto data = [&](const QByteArray& bytes) {
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, bytes), S_OK);
        ++invokes;
        if (expected.empty() || expected.back().member != QLatin1String("OnData"))
            expected.push_back({QStringLiteral("OnData"), {}});
        expected.back().data += bytes;
    };
    auto event = [&](DISPID member, const char* name, int value) {
        ASSERT_EQ(Fire(proxy, member, value), S_OK);
        expected.push_back({QLatin1String(name), QByteArray::number(value)});
    };
    // The first kSinkEager calls go out at once and the sink holds their answers;
    // everything after them queues (13 entries, below kSinkQueue, so no call here waits).
    for (int i = 0; i < static_cast<int>(kSinkWindow); ++i)
        data(QByteArray::number(i) + ';');
    for (int i = 0; i < 1500; ++i)  // 150 000 bytes: four merged calls
        data(QByteArray(100, char('a' + i % 26)));
    event(DISPID__ISerialPortEvents_OnPortEvent, "OnPortEvent", 5);
    for (int i = 0; i < 100; ++i)
        data(QByteArray(100, char('A' + i % 26)));
    event(DISPID__ISerialPortEvents_OnError, "OnError", 1002);
    data("x");
    event(DISPID__ISerialPortEvents_OnPortEvent, "OnPortEvent", 3);
    for (int i = 0; i < 100; ++i)
        data(QByteArray(1000, char('0' + i % 10)));
    const QByteArray big(100000, 'B');  // bigger than one merged call: goes in pieces
    data(big);

    // Under load data waits for an answer instead of going out call by call.
    ASSERT_TRUE(sink->wait([&] { return sink->calls.size() >= kSinkEager; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard lock(sink->mutex);
        EXPECT_EQ(sink->calls.size(), kSinkEager);
    }

    sink->answer();
    const qsizetype total = [&] {
        qsizetype n = 0;
        for (const auto& c : expected)
            n += c.member == QLatin1String("OnData") ? c.data.size() : 0;
        return n;
    }();
    ASSERT_TRUE(sink->wait([&] { return sink->bytes == total; })) << sink->bytes << " of " << total;

    std::vector<HoldingSink::call> got;
    int data_calls = 0;
    {
        std::lock_guard lock(sink->mutex);
        for (const auto& c : sink->calls) {
            if (c.member == QLatin1String("OnData")) {
                ++data_calls;
                EXPECT_LE(c.data.size(), kSinkMergeBytes);
                if (!got.empty() && got.back().member == c.member) {
                    got.back().data += c.data;
                    continue;
                }
            }
            got.push_back(c);
        }
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].member, expected[i].member) << i;
        EXPECT_TRUE(got[i].data == expected[i].data) << i;
    }
    EXPECT_LE(data_calls, 14) << "of " << invokes << " OnData";

    // Every answer releases the proxy's reference for its call.
    ReleaseOnceAnswered(proxy);
}

// Answers handled on a thread of their own (not QtDBus's): the queued call an answer makes
// room for leaves before a call made afterwards on another thread. The context's thread
// is held between the answers and the later call, so a queued call that waited there for
// its turn would leave after it.
TEST_F(SinkProxy, ACallAnAnswerMadeRoomForLeavesBeforeALaterOne)
{
    sink_proxy* proxy =
        MakeProxy([](sink_proxy*, const QString& reason) { ADD_FAILURE() << reason.toStdString(); });
    for (const char* bytes : {"1", "2"})  // at once: kSinkEager calls on the way
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, QByteArray(bytes)), S_OK);
    ASSERT_TRUE(sink->wait([&] { return sink->calls.size() == kSinkEager; }));
    ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, QByteArray("3")), S_OK);  // queued

    std::promise<void> first_gate, second_gate, second_held;
    auto hold = [](std::promise<void>& gate, std::promise<void>* held) {
        return [&gate, held] {
            if (held)
                held->set_value();
            gate.get_future().wait();
        };
    };
    QMetaObject::invokeMethod(&context, hold(first_gate, nullptr), Qt::QueuedConnection);
    sink->answer();  // both answers queue on the held thread
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    QMetaObject::invokeMethod(&context, hold(second_gate, &second_held), Qt::QueuedConnection);
    first_gate.set_value();
    second_held.get_future().wait();  // both answers handled: "3" made its way out
    ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, QByteArray("4")), S_OK);
    second_gate.set_value();

    ASSERT_TRUE(sink->wait([&] { return sink->bytes == 4; }));
    QByteArray got;
    {
        std::lock_guard lock(sink->mutex);
        for (const auto& c : sink->calls)
            got += c.data;
    }
    EXPECT_EQ(got.toStdString(), "1234");
    ReleaseOnceAnswered(proxy);
}

TEST_F(SinkProxy, ReadsBiggerThanACallQueueAsFullCalls)
{
    sink_proxy* proxy =
        MakeProxy([](sink_proxy*, const QString& reason) { ADD_FAILURE() << reason.toStdString(); });
    // The first kSinkEager reads go out at once and the sink holds their answers.
    for (DWORD i = 0; i < kSinkEager; ++i)
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, QByteArray(1, 'e')), S_OK);
    ASSERT_TRUE(sink->wait([&] { return sink->calls.size() >= kSinkEager; }));
    // Six reads of 64 KiB queue behind them: 384 KiB, eight full calls, not a call of
    // 48 KiB and one of 16 KiB per read.
    QByteArray sent;
    for (int i = 0; i < 6; ++i) {
        const QByteArray read(65536, char('a' + i));
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, read), S_OK);
        sent += read;
    }
    sink->answer();
    ASSERT_TRUE(sink->wait([&] { return sink->bytes == kSinkEager + sent.size(); }));
    {
        std::lock_guard lock(sink->mutex);
        QByteArray got;
        for (std::size_t i = kSinkEager; i < sink->calls.size(); ++i) {
            EXPECT_EQ(sink->calls[i].data.size(), kSinkMergeBytes) << i;
            got += sink->calls[i].data;
        }
        EXPECT_EQ(sink->calls.size(), kSinkEager + 8);
        EXPECT_TRUE(got == sent);
    }
    ReleaseOnceAnswered(proxy);
}

// A notification answered with an error other than a missing object frees its place and
// keeps the sink; one answered UnknownObject (nothing at the sink's path any more) makes
// the proxy ask for the sink to be unadvised, once.
TEST_F(SinkProxy, OnlyAMissingSinkObjectDropsTheSink)
{
    std::mutex m;
    std::condition_variable dropped;
    std::vector<std::string> reasons;
    sink_proxy* proxy = MakeProxy([&](sink_proxy*, const QString& reason) {
        std::lock_guard lock(m);
        reasons.push_back(reason.toStdString());
        dropped.notify_all();
    });
    sink->answer();
    {
        std::lock_guard lock(sink->mutex);
        sink->error = QStringLiteral("Ostra.Tethra.Error.E_FAIL");
    }
    // More failing calls than the window holds: each failure frees its place.
    const int failing = static_cast<int>(kSinkWindow + kSinkQueue) + 4;
    for (int i = 0; i < failing; ++i)
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnPortEvent, i), S_OK);
    ASSERT_TRUE(sink->wait([&] { return sink->calls.size() == static_cast<std::size_t>(failing); }));

    client.unregisterObject(QStringLiteral("/sink"));
    ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnData, QByteArray("gone")), S_OK);
    std::unique_lock lock(m);
    ASSERT_TRUE(dropped.wait_for(lock, std::chrono::seconds(20), [&] { return !reasons.empty(); }));
    EXPECT_NE(reasons.front().find("org.freedesktop.DBus.Error.UnknownObject"), std::string::npos)
        << reasons.front();
    lock.unlock();
    ReleaseOnceAnswered(proxy);
    EXPECT_EQ(reasons.size(), 1u);
}

TEST_F(SinkProxy, AProxyWithUnansweredCallsGoesWhenTheyAreAbandoned)
{
    const std::size_t before = sink_proxy::live_count();
    sink_proxy* proxy = MakeProxy([](sink_proxy*, const QString&) {});
    proxy->check_sink();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(Fire(proxy, DISPID__ISerialPortEvents_OnPortEvent, i), S_OK);
    ASSERT_TRUE(sink->wait([&] { return sink->calls.size() == 4; }));
    proxy->disconnect();
    proxy->Release();  // the owner's reference: the unanswered calls keep it
    EXPECT_EQ(sink_proxy::live_count(), before + 1);

    QMetaObject::invokeMethod(&context, &sink_proxy::abandon_all, Qt::BlockingQueuedConnection);
    EXPECT_EQ(sink_proxy::live_count(), before);
    // Answers that come after all reach nothing.
    sink->answer();
    QMetaObject::invokeMethod(&context, [] {}, Qt::BlockingQueuedConnection);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QMetaObject::invokeMethod(&context, [] {}, Qt::BlockingQueuedConnection);
}

TEST(SinkBudget, SinksThatNeverAnswerLeaveTheOthersTheirShareOfTheBus)
{
    static int argc = 0;
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, nullptr);  // QtDBus wants one, once per program
    // A little more than the server's budget: without it, the silent sinks' full windows
    // (7 x kSinkWindow) would take every call the daemon lets the connection have.
    constexpr int kDaemonLimit = static_cast<int>(kServerCallBudget) + 4;
    constexpr int kSilent = 7;
    static_assert(kSilent * static_cast<int>(kSinkWindow) > kDaemonLimit);
    platform::rpc::testing::private_bus bus(kDaemonLimit);
    ASSERT_TRUE(bus.ready());
    const QString address = QString::fromStdString(bus.address());
    QDBusConnection server = QDBusConnection::connectToBus(address, QStringLiteral("budget-proxy"));
    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("budget-sinks"));
    ASSERT_TRUE(server.isConnected() && client.isConnected());
    QThread loop;
    loop.start();
    QObject context;
    context.moveToThread(&loop);

    const platform::interface_info* itf =
        find_bus_interface(TethraTypeLib(), QStringLiteral("Ostra.Tethra._ISerialPortEvents"));
    ASSERT_NE(itf, nullptr);
    std::vector<HoldingSink*> sinks;
    std::vector<sink_proxy*> proxies;
    for (int i = 0; i <= kSilent; ++i) {  // the last one answers
        auto* sink = new HoldingSink;
        sink->holding = i < kSilent;
        sink->moveToThread(&loop);
        const QString path = QStringLiteral("/sink%1").arg(i);
        ASSERT_TRUE(client.registerVirtualObject(path, sink));
        sinks.push_back(sink);
        proxies.push_back(new sink_proxy(
            server, client.baseService(), path, *itf, &context,
            [](sink_proxy*, const QString& reason) { ADD_FAILURE() << reason.toStdString(); }));
    }
    EXPECT_EQ(call_budget::shared().window(), kServerCallBudget / (kSilent + 1));

    // The silent sinks get more than their windows' worth; then the one that answers
    // gets a stream, twice: at once, and again once calls given up after
    // kSinkCallTimeoutMs would have been sent anew (the daemon still counts those).
    for (int i = 0; i < kSilent; ++i)
        for (int n = 0; n < 2 * static_cast<int>(kSinkWindow); ++n)
            ASSERT_EQ(Fire(proxies[i], DISPID__ISerialPortEvents_OnData, QByteArray(10, 's')), S_OK);
    HoldingSink* answering = sinks.back();
    QByteArray sent;
    const auto stream = [&](char first) {
        for (int n = 0; n < 200; ++n) {
            const QByteArray bytes = QByteArray::number(n) + QByteArray(50, char(first + n % 20));
            sent += bytes;
            ASSERT_EQ(Fire(proxies.back(), DISPID__ISerialPortEvents_OnData, bytes), S_OK);
        }
        const auto received = [&] {
            QByteArray got;
            for (const auto& c : answering->calls)
                got += c.data;
            return got;
        };
        ASSERT_TRUE(answering->wait([&] { return answering->bytes == sent.size(); }))
            << answering->bytes << " of " << sent.size();
        std::lock_guard lock(answering->mutex);
        EXPECT_TRUE(received() == sent);
    };
    stream('a');
    std::this_thread::sleep_for(std::chrono::milliseconds(kSinkCallTimeoutMs + 1500));
    stream('A');
    EXPECT_LE(call_budget::shared().in_use(), kServerCallBudget);

    // Answering ends every call, and so the proxies.
    for (sink_proxy* proxy : proxies)
        proxy->disconnect();
    for (HoldingSink* sink : sinks)
        sink->answer();
    for (sink_proxy* proxy : proxies) {
        for (int i = 0; i < 500 && proxy->AddRef() > 2; ++i) {
            proxy->Release();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(proxy->Release(), 1U);
        proxy->Release();
    }
    EXPECT_EQ(call_budget::shared().in_use(), 0U);
    for (int i = 0; i <= kSilent; ++i)
        client.unregisterObject(QStringLiteral("/sink%1").arg(i));
    loop.quit();
    loop.wait();
    for (HoldingSink* sink : sinks)
        delete sink;
    QDBusConnection::disconnectFromBus(QStringLiteral("budget-proxy"));
    QDBusConnection::disconnectFromBus(QStringLiteral("budget-sinks"));
}

// The line for places: with the whole budget taken, a sink in line gets the place the
// next answer frees before the sink that answered may send again.
TEST(CallBudget, AFreedPlaceGoesToTheSinkInLine)
{
    struct line_waiter : call_budget::waiter {
        explicit line_waiter(call_budget& b) : budget(b) {}
        call_budget::waiter* budget_granted() override
        {
            ++granted;
            return budget.give_back();  // nothing to send: passes the place on
        }
        void budget_hold() override { ++held; }
        void budget_unhold() override { --held; }
        call_budget& budget;
        int granted = 0;
        int held = 0;
    };
    call_budget budget(4);
    line_waiter first(budget), second(budget);
    budget.join();
    EXPECT_EQ(budget.window(), 4U);
    budget.join();
    EXPECT_EQ(budget.window(), 2U);  // an equal share for each sink
    for (int i = 0; i < 5; ++i)
        budget.join();
    EXPECT_EQ(budget.window(), 1U);  // at least one place each, even beyond the budget

    // Four sinks take the four places; two more go in line, each once.
    for (DWORD i = 0; i < 4; ++i)
        EXPECT_TRUE(budget.take(0, nullptr));
    EXPECT_FALSE(budget.take(0, &first));
    EXPECT_FALSE(budget.take(0, &first));
    EXPECT_FALSE(budget.take(0, &second));
    line_waiter full(budget);
    EXPECT_FALSE(budget.take(1, &full));  // its window is full: its answers resume it
    EXPECT_EQ(full.held, 0);
    EXPECT_EQ(first.held, 1);
    EXPECT_EQ(second.held, 1);
    // A sink that had its answer must not jump the line.
    call_budget::waiter* next = budget.give_back();
    EXPECT_EQ(next, &first);
    EXPECT_FALSE(budget.take(0, nullptr));
    // first had nothing left to send: the place goes on to second, then is free.
    call_budget::hand_over(next);
    EXPECT_EQ(first.granted, 1);
    EXPECT_EQ(second.granted, 1);
    EXPECT_EQ(first.held + second.held, 0);
    EXPECT_EQ(budget.in_use(), 3U);
    EXPECT_TRUE(budget.take(0, nullptr));
    EXPECT_FALSE(budget.take(0, nullptr));
}
