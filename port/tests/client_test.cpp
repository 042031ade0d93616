// Client port objects on a simulated UART: their connection points forward to the
// shared port, every client hears every line event, error and byte, Send refuses what
// is not a byte array and keeps the order of what it queues, and the IDispatch side
// reaches the same accessors.
#include "port/SerialPort.h"
#include "port/SerialPortManager.h"
#include "port/tests/port_test_support.h"

#include <algorithm>

namespace {

Ptr<IConnectionPoint> FindPoint(ISerialPort* pPort, REFIID iid)
{
    Ptr<IConnectionPointContainer> container;
    pPort->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    Ptr<IConnectionPoint> point;
    container->FindConnectionPoint(iid, point.put());
    return point;
}

std::size_t ConnectionCount(IConnectionPoint* pPoint)
{
    Ptr<IEnumConnections> connections;
    if (FAILED(pPoint->EnumConnections(connections.put())))
        return 0;
    std::size_t count = 0;
    CONNECTDATA cd{};
    while (connections->Next(1, &cd, nullptr) == S_OK) {
        cd.pUnk->Release();
        ++count;
    }
    return count;
}

TEST_F(SimPortTest, ConnectionPointsForwardEachClientsOneSinkToTheSharedPort)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    ASSERT_TRUE(a && b);
    Ptr<IConnectionPointContainer> container;
    ASSERT_EQ(a->QueryInterface(IID_IConnectionPointContainer,
                                reinterpret_cast<void**>(container.put())),
              S_OK);

    // The two connection points, in order, and no third.
    Ptr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* rgpcp[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(3, rgpcp, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2U);
    IID iid{};
    EXPECT_EQ(rgpcp[0]->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IID_IPropertyNotifySink);
    EXPECT_EQ(rgpcp[1]->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID__ISerialPortEvents);
    Ptr<IConnectionPointContainer> back;
    EXPECT_EQ(rgpcp[1]->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), container.get());
    rgpcp[0]->Release();
    rgpcp[1]->Release();
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(0x1);
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);

    Ptr<IConnectionPoint> eventsA = FindPoint(a.get(), DIID__ISerialPortEvents);
    Ptr<IConnectionPoint> eventsB = FindPoint(b.get(), DIID__ISerialPortEvents);
    TestSink first, second;
    PlainUnknown plain;
    DWORD cookieA = 0, cookieB = 0, refused = 7;
    EXPECT_EQ(eventsA->Advise(nullptr, &cookieA), E_POINTER);
    EXPECT_EQ(eventsA->Advise(&plain, &refused), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(refused, 0U);
    EXPECT_EQ(plain.refs.load(), 0U);
    ASSERT_EQ(eventsA->Advise(&first, &cookieA), S_OK);
    EXPECT_NE(cookieA, 0U);
    EXPECT_EQ(eventsA->Advise(&second, &refused), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second.refs.load(), 0U);
    ASSERT_EQ(eventsB->Advise(&first, &cookieB), S_OK);  // the same sink, another client
    // Each client's connection point lists every client's connection.
    EXPECT_EQ(ConnectionCount(eventsA.get()), 2U);

    // A cookie this connection point did not issue changes nothing.
    EXPECT_EQ(eventsA->Unadvise(cookieA + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(eventsA->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(ConnectionCount(eventsA.get()), 2U);
    EXPECT_EQ(eventsA->Unadvise(cookieA), S_OK);
    EXPECT_EQ(eventsA->Unadvise(cookieA), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(ConnectionCount(eventsA.get()), 1U);
    ASSERT_EQ(eventsA->Advise(&second, &cookieA), S_OK);  // the slot is free again

    // Released without Unadvise: the connection goes with the client object.
    eventsB.reset();
    b.reset();
    EXPECT_EQ(ConnectionCount(eventsA.get()), 1U);
    EXPECT_TRUE(first.wait_refs(0)) << first.refs.load();
    eventsA.reset();
    back.reset();
    points.reset();  // the enumerator holds the connection points, and so the object
    container.reset();
    a.reset();
    EXPECT_TRUE(second.wait_refs(0));
}

TEST_F(SimPortTest, EveryLineEventAndLineErrorReachesEveryClient)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    ASSERT_TRUE(a && b);
    TestSink sinks[2];
    ASSERT_NE(Advise(a.get(), DIID__ISerialPortEvents, &sinks[0]), 0U);
    ASSERT_NE(Advise(b.get(), DIID__ISerialPortEvents, &sinks[1]), 0U);
    ASSERT_EQ(a->put_EventChar('!'), S_OK);
    ASSERT_EQ(a->put_ParityEnable(1), S_OK);

    const struct {
        std::function<void()> cause;
        DISPID dispid;
        LONG code;
    } cases[] = {
        {[&] { uart_->set_modem_lines(MS_CTS_ON); }, 2, spoCTSEvent},
        {[&] { uart_->set_modem_lines(MS_CTS_ON | MS_DSR_ON); }, 2, spoDSREvent},
        {[&] { uart_->set_modem_lines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON); }, 2, spoCDEvent},
        {[&] { uart_->set_modem_lines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON); }, 2,
         spoRingEvent},
        {[&] { uart_->send("a!b"); }, 2, spoCharEvent},
        {[&] { uart_->send_framing_error('f'); }, 3, spoFrameError},
        {[&] { uart_->send_after_overrun('o'); }, 3, spoOverRunError},
        {[&] { uart_->send_parity_error('p'); }, 3, spoRXParity},
        {[&] { uart_->send_break(); }, 3, spoBreakError},
    };
    for (const auto& c : cases) {
        c.cause();
        for (TestSink& sink : sinks)
            EXPECT_TRUE(sink.wait_call(c.dispid, c.code))
                << c.code << " " << ::testing::PrintToString(summary(sink.calls()));
    }
    for (TestSink& sink : sinks) {
        for (const SinkCall& call : sink.calls()) {
            EXPECT_EQ(call.dispid >= 3, call.code >= 1000);  // errors from 1000 up
            if (call.dispid != 1) {
                EXPECT_EQ(call.vt, VT_I4);
            }
        }
    }
    a.reset();
    b.reset();
    for (TestSink& sink : sinks)
        EXPECT_TRUE(sink.wait_refs(0));
}

TEST_F(SimPortTest, ReceivedBytesReachEveryClientInOrder)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    TestSink sinks[2];
    ASSERT_NE(Advise(a.get(), DIID__ISerialPortEvents, &sinks[0]), 0U);
    ASSERT_NE(Advise(b.get(), DIID__ISerialPortEvents, &sinks[1]), 0U);
    ASSERT_EQ(a->put_ReceiveBufferSize(16), S_OK);
    std::string sent;
    for (int i = 0; i < 50; ++i) {
        std::string chunk = "chunk " + std::to_string(i) + std::string(1, '\0') + "\xff;";
        uart_->send(chunk);
        sent += chunk;
    }
    for (TestSink& sink : sinks) {
        EXPECT_TRUE(sink.wait([&] { return sink.received().size() >= sent.size(); }));
        EXPECT_EQ(sink.received(), sent);
        for (const SinkCall& call : sink.calls())
            EXPECT_LE(call.bytes.size(), 16U);  // never more than the buffer size
    }
    a.reset();
    b.reset();
}

TEST_F(SimPortTest, SendTakesOnlyByteArraysAndKeepsTheQueueOrder)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    ASSERT_TRUE(a && b);

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString("abc");
    VARIANT one;
    VariantInit(&one);
    one.vt = VT_I1;
    one.cVal = 'x';
    VARIANT variants;
    VariantInit(&variants);
    variants.vt = VT_ARRAY | VT_VARIANT;
    variants.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT bytes = ByteArray("xyz");
    VARIANT by_reference;
    VariantInit(&by_reference);
    by_reference.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    by_reference.pparray = &bytes.parray;
    VARIANT null_array;
    VariantInit(&null_array);
    null_array.vt = VT_ARRAY | VT_UI1;
    VARIANT empty;
    VariantInit(&empty);
    for (const VARIANT& v : {text, one, variants, by_reference, null_array, empty}) {
        EXPECT_EQ(a->Send(v, VARIANT_TRUE), E_INVALIDARG) << v.vt;
        EXPECT_EQ(a->Send(v, VARIANT_FALSE), E_INVALIDARG) << v.vt;
    }
    VariantClear(&text);
    VariantClear(&variants);

    // Two clients, synchronous and asynchronous sends mixed: the device gets them in the
    // order they were queued.
    const char* parts[] = {"one;", "two;", "three;", "four;", "five;"};
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        VARIANT v = ByteArray(parts[i]);
        ISerialPort* sender = i % 2 ? b.get() : a.get();
        EXPECT_EQ(sender->Send(v, i % 3 == 0 ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
        VariantClear(&v);  // the port copied the bytes
        expected += parts[i];
    }
    EXPECT_EQ(a->Send(bytes, 1), S_OK);  // any non-zero flag is synchronous
    expected += "xyz";
    EXPECT_TRUE(uart_->wait_written(expected.size(), 60000));
    const std::vector<BYTE> written = uart_->written();
    EXPECT_EQ(std::string(written.begin(), written.end()), expected);
    VariantClear(&bytes);
}

TEST_F(SimPortTest, DispatchReachesTheSameAccessorsAndSend)
{
    Ptr<ISerialPort> port(Open());
    Ptr<IDispatch> dispatch;
    ASSERT_EQ(port->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put())), S_OK);
    char name[] = "BaudRate";
    LPOLESTR names[] = {name};
    DISPID dispid = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid), S_OK);
    EXPECT_EQ(dispid, 25);

    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 38400;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS put_params{&value, &put, 1, 1};
    EXPECT_EQ(dispatch->Invoke(25, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_params, nullptr,
                               nullptr, nullptr),
              S_OK);
    EXPECT_EQ(uart_->settings().baud, 38400U);
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch->Invoke(25, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                               nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.ulVal, 38400U);
    // A failure of the shared object comes back as it is.
    value.lVal = 3;
    EXPECT_EQ(dispatch->Invoke(17, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_params, nullptr,
                               nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(dispatch->Invoke(9, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                               nullptr),
              DISP_E_MEMBERNOTFOUND);

    VARIANT args[2];
    VariantInit(&args[0]);
    args[0].vt = VT_BOOL;
    args[0].boolVal = VARIANT_TRUE;
    args[1] = ByteArray("via Invoke");
    DISPPARAMS send_params{args, nullptr, 2, 0};
    EXPECT_EQ(dispatch->Invoke(27, IID_NULL, 0, DISPATCH_METHOD, &send_params, nullptr, nullptr,
                               nullptr),
              S_OK);
    const std::vector<BYTE> written = uart_->written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "via Invoke");
    VariantClear(&args[1]);
}

TEST_F(SimPortTest, ClientObjectAnswersItsFourInterfacesAndNeedsASharedPort)
{
    Ptr<ISerialPort> port(Open());
    const IID* answered[] = {&IID_IUnknown, &IID_ISerialPort, &IID_IDispatch,
                             &IID_IConnectionPointContainer};
    for (const IID* iid : answered) {
        Ptr<IUnknown> unknown;
        EXPECT_EQ(port->QueryInterface(*iid, reinterpret_cast<void**>(unknown.put())), S_OK);
    }
    for (const IID* iid : {&IID_ISerialPortManager, &IID_IMarshal, &DIID__ISerialPortEvents}) {
        Ptr<IUnknown> unknown;
        EXPECT_EQ(port->QueryInterface(*iid, reinterpret_cast<void**>(unknown.put())),
                  E_NOINTERFACE);
    }

    // Unbound, an object reports failure and gives back everything it took.
    CSerialPort* unbound = new CSerialPort;
    unbound->AddRef();
    EXPECT_FALSE(unbound->Initialize(nullptr));
    EXPECT_EQ(unbound->m_pSerialPortManager, nullptr);
    unbound->Release();
}

// Entry lines show each argument as the caller gave it, in its own conversion: a rate
// as a signed number, a synchronous flag of VARIANT_TRUE as -1 on both objects.
TEST_F(SimPortTest, EntryLinesShowTheArgumentsAsGiven)
{
    Ptr<ISerialPort> port(Open());
    TraceLines trace(TRACE_CAT_INTERFACE | TRACE_CAT_SERIALPORT, 1);
    port->put_BaudRate(3000000000U);  // whatever the device makes of it
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    EXPECT_EQ(port->Send(text, VARIANT_TRUE), E_INVALIDARG);
    trace.finish();

    std::vector<std::string> lines;
    for (const std::string& line : trace.lines())
        lines.push_back(line.substr(0, line.find('(')) + line.substr(line.find(")::") + 1));
    for (const char* expected :
         {"CSerialPort::put_BaudRate(-1294967296)", "CSerialPort::Send(VARIANT, -1)",
          "CSerialPortManager::Send(VARIANT, -1)"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
            << expected << ::testing::PrintToString(lines);
}

}  // namespace
