// Invoke and the invoke thunks on real objects that implement the library's interfaces
// and record every call: each member is reached with its converted arguments, and bad
// calls get their DISP_E_* codes without reaching anything.
#include "idl/tethra.h"
#include "platform/testing/counted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// What the last call reached and received. In values are recorded as integers, a
// VARIANT as its type; out values are written from out_value.
template <class Interface, class Base = platform::dispatch_impl<Interface>>
class recorder : public platform::testing::counted<Interface, Base> {
public:
    Interface* itf() { return static_cast<Interface*>(this); }

    int calls = 0;
    std::string last;
    std::vector<long long> args;
    HRESULT result = S_OK;
    long long out_value = 0;
    void* out_interface = nullptr;  // what an interface out-parameter receives

protected:
    void begin(const char* method)
    {
        ++calls;
        last = method;
        args.clear();
    }
    template <class T>
    void note(T value)
    {
        if constexpr (std::is_same_v<T, VARIANT>) {
            args.push_back(value.vt);
        } else if constexpr (std::is_pointer_v<T>) {
            using P = std::remove_pointer_t<T>;
            if constexpr (std::is_pointer_v<P>) {
                *value = static_cast<P>(out_interface);
                if (*value)
                    (*value)->AddRef();
            } else {
                *value = static_cast<P>(out_value);
            }
        } else {
            args.push_back(static_cast<long long>(value));
        }
    }
};

// Every method of one interface from the library's source, recording its call.
#define CAT_(a, b) a##b
#define CAT(a, b) CAT_(a, b)
#define COUNT_(a, b, n, ...) n
#define COUNT(...) COUNT_(__VA_ARGS__, 2, 1)
#define APPLY(m, p) m p
#define SIG_1(a) APPLY(SIG, a)
#define SIG_2(a, b) APPLY(SIG, a), APPLY(SIG, b)
#define USE_1(a) APPLY(USE, a)
#define USE_2(a, b) APPLY(USE, a) APPLY(USE, b)
#define SIG(Type, Name) Type Name
#define USE(Type, Name) this->note(Name);
#define RECORD(Method, ...)                                                   \
    STDMETHODIMP Method(CAT(SIG_, COUNT(__VA_ARGS__))(__VA_ARGS__)) override  \
    {                                                                         \
        this->begin(#Method);                                                 \
        CAT(USE_, COUNT(__VA_ARGS__))(__VA_ARGS__)                            \
        return this->result;                                                  \
    }
#define KEEP(...) __VA_ARGS__
#define DROP(...)

class serial_port : public recorder<ISerialPort> {
#define TETHRA_PARAM(Flags, Type, Vt, Name) (Type, Name)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, Kind, Flags, Help, ...) \
    CAT(WHEN_, Interface)(RECORD(Method, __VA_ARGS__))
#define WHEN_ISerialPort KEEP
#define WHEN_ISerialPortManager DROP
#define WHEN_ITethra DROP
#define WHEN__ISerialPortEvents DROP
#include "idl/tethra.def"
};

class serial_port_manager : public recorder<ISerialPortManager, ISerialPortManager> {
#define TETHRA_PARAM(Flags, Type, Vt, Name) (Type, Name)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, Kind, Flags, Help, ...) \
    CAT(WHEN_, Interface)(RECORD(Method, __VA_ARGS__))
#undef WHEN_ISerialPort
#undef WHEN_ISerialPortManager
#define WHEN_ISerialPort DROP
#define WHEN_ISerialPortManager KEEP
#include "idl/tethra.def"
};

class tethra : public recorder<ITethra> {
#define TETHRA_PARAM(Flags, Type, Vt, Name) (Type, Name)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, Kind, Flags, Help, ...) \
    CAT(WHEN_, Interface)(RECORD(Method, __VA_ARGS__))
#undef WHEN_ISerialPortManager
#undef WHEN_ITethra
#define WHEN_ISerialPortManager DROP
#define WHEN_ITethra KEEP
#include "idl/tethra.def"
};

class events_sink : public recorder<_ISerialPortEvents> {
#define TETHRA_PARAM(Flags, Type, Vt, Name) (Type, Name)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, Kind, Flags, Help, ...) \
    CAT(WHEN_, Interface)(RECORD(Method, __VA_ARGS__))
#undef WHEN_ITethra
#undef WHEN__ISerialPortEvents
#define WHEN_ITethra DROP
#define WHEN__ISerialPortEvents KEEP
#include "idl/tethra.def"
};

VARIANT make(VARTYPE vt, long long value)
{
    VARIANT v;
    VariantInit(&v);
    if (vt == VT_EMPTY)
        return v;
    v.vt = VT_I8;
    v.llVal = value;
    if (vt != VT_I8) {
        EXPECT_EQ(VariantChangeType(&v, &v, 0, vt), S_OK);
    }
    return v;
}

long long as_integer(const VARIANT& v)
{
    VARIANT w;
    VariantInit(&w);
    EXPECT_EQ(VariantChangeType(&w, &v, 0, VT_I8), S_OK);
    return w.llVal;
}

// The value a put receives from the VT_I2 argument 3.
long long converted_three(VARTYPE vt)
{
    return vt == VT_BOOL ? VARIANT_TRUE : 3;
}

class SerialPortInvoke : public ::testing::Test {
protected:
    serial_port port;
    IDispatch* disp = port.itf();
    const platform::interface_info& info = platform::type_info_of<ISerialPort>();
    DISPID put_name = DISPID_PROPERTYPUT;
    UINT arg_err = 99;

    HRESULT get(DISPID id, VARIANT* result)
    {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        return disp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result, nullptr, &arg_err);
    }
    HRESULT put(DISPID id, VARIANT value)
    {
        DISPPARAMS one{&value, &put_name, 1, 1};
        return disp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &one, nullptr, nullptr, &arg_err);
    }
};

}  // namespace

TEST_F(SerialPortInvoke, EveryMemberByNameReachesItsMethod)
{
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
    for (UINT i = 0; i < info.member_count; ++i) {
        const platform::member_info& m = info.members[i];
        char name[64];
        std::strcpy(name, m.name);
        LPOLESTR names[] = {name};
        DISPID id = DISPID_UNKNOWN;
        ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << name;
        const int before = port.calls;

        if (m.kind == INVOKE_PROPERTYGET) {
            port.out_value = id;
            VARIANT result;
            VariantInit(&result);
            ASSERT_EQ(get(id, &result), S_OK) << m.method;
            EXPECT_EQ(result.vt, m.params[0].vt) << m.method;
            EXPECT_EQ(as_integer(result), id) << m.method;
        } else if (m.kind == INVOKE_PROPERTYPUT) {
            ASSERT_EQ(put(id, make(VT_I2, 3)), S_OK) << m.method;
            EXPECT_EQ(port.args, std::vector<long long>{converted_three(m.params[0].vt)}) << m.method;
        } else {
            // Send: the data first, so at the end of rgvarg.
            VARIANT argv[2] = {make(VT_I4, 1), make(VT_EMPTY, 0)};
            argv[1].vt = VT_ARRAY | VT_UI1;
            argv[1].parray = bytes;
            DISPPARAMS params{argv, nullptr, 2, 0};
            ASSERT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                                   nullptr),
                      S_OK);
            EXPECT_EQ(port.args, (std::vector<long long>{VT_ARRAY | VT_UI1, VARIANT_TRUE}));
        }
        EXPECT_EQ(port.calls, before + 1);
        EXPECT_EQ(port.last, m.method);
    }
    SafeArrayDestroy(bytes);
    EXPECT_EQ(port.refs, 0u);
}

TEST_F(SerialPortInvoke, WrongCountsAndTypesReachNothing)
{
    for (UINT i = 0; i < info.member_count; ++i) {
        const platform::member_info& m = info.members[i];
        VARIANT two[2] = {make(VT_I4, 1), make(VT_I4, 1)};
        if (m.kind == INVOKE_PROPERTYPUT) {
            DISPPARAMS positional{two, nullptr, 1, 0};
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &positional,
                                   nullptr, nullptr, nullptr),
                      DISP_E_PARAMNOTOPTIONAL);
            DISPPARAMS extra{two, &put_name, 2, 1};
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &extra, nullptr,
                                   nullptr, nullptr),
                      DISP_E_BADPARAMCOUNT);
            DISPID wrong_name = 0;
            DISPPARAMS misnamed{two, &wrong_name, 1, 1};
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &misnamed,
                                   nullptr, nullptr, &arg_err),
                      DISP_E_PARAMNOTFOUND);

            VARIANT text = make(VT_EMPTY, 0);
            text.vt = VT_BSTR;
            arg_err = 99;
            EXPECT_EQ(put(m.dispid, text), DISP_E_TYPEMISMATCH) << m.method;
            EXPECT_EQ(arg_err, 0u);
            const VARTYPE vt = m.params[0].vt;
            if (vt != VT_BOOL) {  // any integer is a boolean
                const long long too_big =
                    vt == VT_UI4 ? -1 : vt == VT_I4 ? 0x100000000LL : 70000;
                EXPECT_EQ(put(m.dispid, make(VT_I8, too_big)), DISP_E_OVERFLOW) << m.method;
            }
        } else if (m.kind == INVOKE_PROPERTYGET) {
            DISPPARAMS one{two, nullptr, 1, 0};
            VARIANT result;
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &result,
                                   nullptr, nullptr),
                      DISP_E_BADPARAMCOUNT);
            DISPPARAMS named{two, &put_name, 1, 1};
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &named, &result,
                                   nullptr, nullptr),
                      DISP_E_NONAMEDARGS);
        } else {
            DISPPARAMS one{two, nullptr, 1, 0};
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr,
                                   nullptr, nullptr),
                      DISP_E_BADPARAMCOUNT);
            // Reversed: the boolean parameter is given the array and refuses it.
            SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 1);
            VARIANT reversed[2] = {make(VT_EMPTY, 0), make(VT_BOOL, 1)};
            reversed[0].vt = VT_ARRAY | VT_UI1;
            reversed[0].parray = bytes;
            DISPPARAMS params{reversed, nullptr, 2, 0};
            arg_err = 99;
            EXPECT_EQ(disp->Invoke(m.dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                                   nullptr, &arg_err),
                      DISP_E_TYPEMISMATCH);
            EXPECT_EQ(arg_err, 0u);
            SafeArrayDestroy(bytes);
        }
    }
    EXPECT_EQ(port.calls, 0);

    // Members that do not exist, and calls that are not calls.
    VARIANT result;
    for (DISPID id = 9; id <= 12; ++id) {
        EXPECT_EQ(get(id, &result), DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(put(id, make(VT_I4, 1)), DISP_E_MEMBERNOTFOUND);
    }
    EXPECT_EQ(get(27, &result), DISP_E_MEMBERNOTFOUND);            // Send is no property
    EXPECT_EQ(put(1, make(VT_BOOL, 1)), DISP_E_MEMBERNOTFOUND);     // CDLine is read-only
    EXPECT_EQ(disp->Invoke(25, IID_ISerialPort, 0, DISPATCH_PROPERTYGET, nullptr, &result,
                           nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(disp->Invoke(25, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, &result, nullptr,
                           nullptr),
              E_INVALIDARG);
    EXPECT_EQ(port.calls, 0);

    char bad[] = "Parity";
    LPOLESTR names[] = {bad};
    DISPID id = 0;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    UINT count = 9;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(SerialPortInvoke, ResultsOfTheMethod)
{
    port.result = S_FALSE;
    EXPECT_EQ(put(14, make(VT_BOOL, 1)), S_FALSE);  // RTSLine: nothing changed
    port.result = E_FAIL;
    VARIANT result = make(VT_I4, 5);
    EXPECT_EQ(get(25, &result), E_FAIL);
    EXPECT_EQ(result.vt, VT_I4);  // untouched on failure
    EXCEPINFO ei;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(disp->Invoke(25, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, &ei, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(ei.scode, E_FAIL);
    SysFreeString(ei.bstrSource);

    // A getter called as a method (both flags, as script clients do) still answers.
    port.result = S_OK;
    port.out_value = 115200;
    EXPECT_EQ(disp->Invoke(25, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                           &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.ulVal, 115200u);
    EXPECT_EQ(port.last, "get_BaudRate");
}

TEST(TethraInvoke, CreatePortFillsTheInOutInterface)
{
    tethra registry;
    serial_port port;
    registry.out_interface = static_cast<ISerialPort*>(&port);
    IDispatch* disp = registry.itf();

    IDispatch* created = nullptr;
    VARIANT argv[2] = {make(VT_EMPTY, 0), make(VT_I2, 3)};
    argv[0].vt = VT_BYREF | VT_DISPATCH;
    argv[0].ppdispVal = &created;
    DISPPARAMS params{argv, nullptr, 2, 0};
    ASSERT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(registry.last, "CreatePort");
    EXPECT_EQ(registry.args, std::vector<long long>{3});
    EXPECT_EQ(created, static_cast<IDispatch*>(port.itf()));
    EXPECT_EQ(port.refs, 1u);
    created->Release();

    // Through a variant reference the caller gets a VT_DISPATCH variant.
    VARIANT holder;
    VariantInit(&holder);
    argv[0].vt = VT_BYREF | VT_VARIANT;
    argv[0].pvarVal = &holder;
    ASSERT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(holder.vt, VT_DISPATCH);
    EXPECT_EQ(holder.pdispVal, static_cast<IDispatch*>(port.itf()));
    VariantClear(&holder);
    EXPECT_EQ(port.refs, 0u);

    // A failed call leaves the caller's pointer alone; a value is no reference.
    registry.result = E_UNEXPECTED;
    registry.out_interface = nullptr;
    argv[0].vt = VT_BYREF | VT_DISPATCH;
    argv[0].ppdispVal = &created;
    created = nullptr;
    EXPECT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              E_UNEXPECTED);
    EXPECT_EQ(created, nullptr);
    argv[0].vt = VT_DISPATCH;
    UINT arg_err = 99;
    EXPECT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &arg_err),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);
}

TEST(EventsInvoke, NotificationsReachTheSink)
{
    events_sink sink;
    IDispatch* disp = sink.itf();
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 4);
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = bytes;
    DISPPARAMS params{&data, nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(DISPID__ISerialPortEvents_OnData, IID_NULL, 0, DISPATCH_METHOD,
                           &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(sink.last, "OnData");
    EXPECT_EQ(sink.args, std::vector<long long>{VT_ARRAY | VT_UI1});
    SafeArrayDestroy(bytes);

    VARIANT code = make(VT_I4, spoDSREvent);
    params.rgvarg = &code;
    ASSERT_EQ(disp->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(sink.last, "OnPortEvent");
    EXPECT_EQ(sink.args, std::vector<long long>{spoDSREvent});
    code = make(VT_I4, spoOverRunError);
    ASSERT_EQ(disp->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(sink.last, "OnError");
    EXPECT_EQ(sink.args, std::vector<long long>{spoOverRunError});
    EXPECT_EQ(disp->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

TEST(ManagerThunks, EveryMemberFromAnArgumentArray)
{
    // The way an out-of-process stub calls: one VARIANT per parameter, out values by
    // reference, straight into the thunk.
    serial_port_manager manager;
    const platform::interface_info& info = platform::type_info_of<ISerialPortManager>();
    for (UINT i = 0; i < info.member_count; ++i) {
        const platform::member_info& m = info.members[i];
        VARIANT args[2];
        VARIANT storage[2];
        std::vector<long long> expected;
        for (UINT p = 0; p < m.param_count; ++p) {
            const platform::param_info& param = m.params[p];
            VariantInit(&storage[p]);
            if (platform::param_is_out(param)) {
                storage[p].vt = param.vt;
                VariantInit(&args[p]);
                args[p].vt = static_cast<VARTYPE>(param.vt | VT_BYREF);
                args[p].byref = &storage[p].llVal;
            } else if (param.vt == VT_VARIANT) {
                args[p] = make(VT_UI1, 7);
                expected.push_back(VT_UI1);
            } else {
                args[p] = make(param.vt, 7);
                expected.push_back(as_integer(args[p]));
            }
        }
        manager.out_value = 40 + i;
        ASSERT_EQ(m.invoke(static_cast<ISerialPortManager*>(&manager), args), S_OK) << m.method;
        EXPECT_EQ(manager.last, m.method);
        EXPECT_EQ(manager.args, expected) << m.method;
        const platform::param_info& last = m.params[m.param_count - 1];
        if (platform::param_is_out(last)) {
            EXPECT_EQ(as_integer(storage[m.param_count - 1]), 40 + i) << m.method;
        }

        // The same call with the first argument of the wrong type reaches nothing.
        const int calls = manager.calls;
        if (m.params[0].vt != VT_VARIANT) {
            args[0].vt = args[0].vt == VT_I2 ? VT_I4 : VT_I2;
            EXPECT_EQ(m.invoke(static_cast<ISerialPortManager*>(&manager), args),
                      DISP_E_TYPEMISMATCH);
            EXPECT_EQ(manager.calls, calls);
        }
    }
}
