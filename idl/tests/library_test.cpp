// The type library checked member by member against its published list: the C++
// declarations (vtable slots), the type information (names, DISPIDs, kinds, parameters,
// flags) and the identifiers.
#include "idl/tethra.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// One ISerialPort property as the library lists it.
struct property {
    DISPID dispid;
    const char* name;
    VARTYPE vt;        // VT_EMPTY for the method Send
    const char* type;  // the enumeration, or null
    bool writable;
};

const property kSerialPort[] = {
    {1, "CDLine", VT_BOOL, nullptr, false},
    {2, "PortNum", VT_I4, nullptr, false},
    {3, "CTSLine", VT_BOOL, nullptr, false},
    {4, "DSRLine", VT_BOOL, nullptr, false},
    {5, "NULLDiscard", VT_BOOL, nullptr, true},
    {6, "HandShakingMode", VT_I4, "HandShakingConstants", true},
    {7, "Break", VT_BOOL, nullptr, true},
    {8, "ParityReplace", VT_BOOL, nullptr, true},
    {13, "DTREnable", VT_BOOL, nullptr, true},
    {14, "RTSLine", VT_BOOL, nullptr, true},
    {15, "ParityEnable", VT_BOOL, nullptr, true},
    {16, "ParityScheme", VT_I4, "ParitySchemeConstants", true},
    {17, "Bits", VT_UI1, nullptr, true},
    {18, "StopBits", VT_I4, "StopBitsConstants", true},
    {19, "XOnChar", VT_I1, nullptr, true},
    {20, "XOffChar", VT_I1, nullptr, true},
    {21, "DSRHandshakingEnable", VT_BOOL, nullptr, true},
    {22, "EventChar", VT_I1, nullptr, true},
    {23, "XOnLimit", VT_I2, nullptr, true},
    {24, "XOffLimit", VT_I2, nullptr, true},
    {25, "BaudRate", VT_UI4, nullptr, true},
    {26, "DTRLine", VT_BOOL, nullptr, true},
    {27, "Send", VT_EMPTY, nullptr, false},
    {28, "ReadIntervalTimeOut", VT_UI4, nullptr, true},
    {29, "ReadTotalTimeoutMult", VT_UI4, nullptr, true},
    {30, "ReadTotalTimeoutConst", VT_UI4, nullptr, true},
    {31, "WriteTotalTimeoutMult", VT_UI4, nullptr, true},
    {32, "WriteTotalTimeoutConst", VT_UI4, nullptr, true},
    {33, "ReceiveBufferSize", VT_UI4, nullptr, true},
    {34, "ErrorChar", VT_I1, nullptr, true},
};

// The vtable slot of a virtual member function: g++ (Itanium ABI) represents a pointer to
// a virtual member as 1 + the byte offset of its slot.
template <class PMF>
std::size_t vtable_slot(PMF pmf)
{
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof pmf == sizeof rep);
    std::memcpy(&rep, &pmf, sizeof rep);
    return (rep.ptr - 1) / sizeof(void*);
}

// Slots of every declared method, by "Interface::Method".
std::map<std::string, std::size_t> declared_slots()
{
    std::map<std::string, std::size_t> slots;
#define TETHRA_MEMBER(Interface, Method, ...) \
    slots[#Interface "::" #Method] = vtable_slot(&Interface::Method);
#include "idl/tethra.def"
    return slots;
}

std::string param_type(const char* type, bool pointer)
{
    return std::string(type) + (pointer ? "*" : "");
}

// Checks the members of an interface against the expected methods, in order.
void expect_vtable_order(const platform::interface_info& itf,
                         const std::vector<std::string>& methods)
{
    const auto slots = declared_slots();
    ASSERT_EQ(itf.member_count, methods.size()) << itf.name;
    for (std::size_t i = 0; i < methods.size(); ++i) {
        EXPECT_EQ(itf.members[i].method, methods[i]) << itf.name << " member " << i;
        const auto slot = slots.find(std::string(itf.name) + "::" + methods[i]);
        ASSERT_NE(slot, slots.end()) << methods[i];
        EXPECT_EQ(slot->second, itf.first_vtable_slot + i) << methods[i];
    }
}

}  // namespace

TEST(Library, BaseInterfacesKeepTheirSlots)
{
    EXPECT_EQ(vtable_slot(&IUnknown::QueryInterface), 0u);
    EXPECT_EQ(vtable_slot(&IUnknown::Release), 2u);
    EXPECT_EQ(vtable_slot(&IDispatch::GetTypeInfoCount), 3u);
    EXPECT_EQ(vtable_slot(&IDispatch::Invoke), 6u);
    EXPECT_EQ(vtable_slot(&ISerialPort::Invoke), 6u);
    EXPECT_EQ(vtable_slot(&IConnectionPoint::EnumConnections), 7u);
    EXPECT_EQ(vtable_slot(&IPropertyNotifySink::OnRequestEdit), 4u);
}

TEST(Library, SerialPortMembers)
{
    const platform::interface_info& itf = platform::type_info_of<ISerialPort>();
    EXPECT_STREQ(itf.name, "ISerialPort");
    EXPECT_TRUE(*itf.iid == IID_ISerialPort);
    EXPECT_EQ(itf.kind, platform::interface_kind::dual);
    EXPECT_STREQ(itf.base, "IDispatch");
    EXPECT_STREQ(itf.help, "ISerialPort Interface");
    EXPECT_EQ(itf.first_vtable_slot, 7u);

    std::vector<std::string> methods;
    std::size_t index = 0;
    for (const property& p : kSerialPort) {
        if (p.vt == VT_EMPTY) {
            methods.push_back("Send");
            const platform::member_info& send = itf.members[index++];
            EXPECT_EQ(send.dispid, 27);
            EXPECT_EQ(send.kind, INVOKE_FUNC);
            EXPECT_STREQ(send.help, "Sends data to the serial port.");
            ASSERT_EQ(send.param_count, 2u);
            EXPECT_STREQ(send.params[0].name, "vtData");
            EXPECT_EQ(send.params[0].vt, VT_VARIANT);
            EXPECT_EQ(send.params[0].flags, PARAMFLAG_FIN);
            EXPECT_STREQ(send.params[1].name, "bSynchronous");
            EXPECT_EQ(send.params[1].vt, VT_BOOL);
            EXPECT_EQ(send.params[1].flags, PARAMFLAG_NONE);  // no direction attribute
            continue;
        }
        const USHORT flags = p.writable ? FUNCFLAG_FBINDABLE | FUNCFLAG_FREQUESTEDIT : 0;
        const platform::member_info& get = itf.members[index++];
        methods.push_back(std::string("get_") + p.name);
        EXPECT_STREQ(get.name, p.name);
        EXPECT_EQ(get.dispid, p.dispid) << p.name;
        EXPECT_EQ(get.kind, INVOKE_PROPERTYGET) << p.name;
        EXPECT_EQ(get.flags, flags) << p.name;
        ASSERT_EQ(get.param_count, 1u) << p.name;
        EXPECT_STREQ(get.params[0].name, "pVal");
        EXPECT_EQ(get.params[0].vt, p.vt) << p.name;
        EXPECT_EQ(get.params[0].flags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        if (p.type) {
            EXPECT_EQ(get.params[0].type, param_type(p.type, true));
        }
        if (!p.writable)
            continue;
        const platform::member_info& put = itf.members[index++];
        methods.push_back(std::string("put_") + p.name);
        EXPECT_STREQ(put.name, p.name);
        EXPECT_EQ(put.dispid, p.dispid) << p.name;
        EXPECT_EQ(put.kind, INVOKE_PROPERTYPUT) << p.name;
        EXPECT_EQ(put.flags, flags) << p.name;
        ASSERT_EQ(put.param_count, 1u) << p.name;
        EXPECT_STREQ(put.params[0].name, "newVal");
        EXPECT_EQ(put.params[0].vt, p.vt) << p.name;
        EXPECT_EQ(put.params[0].flags, PARAMFLAG_FIN);
        if (p.type) {
            EXPECT_EQ(put.params[0].type, param_type(p.type, false));
        }
        if (p.dispid != 6) {
            EXPECT_STREQ(put.help, get.help) << p.name;
        }
    }
    EXPECT_EQ(methods.size(), 55u);
    expect_vtable_order(itf, methods);

    const platform::member_info* hs = platform::find_member(itf, 6, INVOKE_PROPERTYPUT);
    ASSERT_NE(hs, nullptr);
    EXPECT_STREQ(hs->help, "Changes the handshaking mode of the serial port.");
    EXPECT_STREQ(platform::find_member(itf, 6, INVOKE_PROPERTYGET)->help,
                 "Retrieves the handshaking mode of the serial port.");
    EXPECT_STREQ(platform::find_member(itf, 4, INVOKE_PROPERTYGET)->help,
                 "Retrieves the stat of the DSR line.");
    EXPECT_STREQ(platform::find_member(itf, 26, INVOKE_PROPERTYPUT)->help,
                 "When TRUE,  DTR is manually activated");
    EXPECT_STREQ(platform::find_member(itf, 33, INVOKE_PROPERTYGET)->help,
                 "Determines the maximum data that can be received in an OnData event.");
}

TEST(Library, SerialPortLeavesDispids9To12Unassigned)
{
    const platform::interface_info& itf = platform::type_info_of<ISerialPort>();
    for (DISPID id = 9; id <= 12; ++id)
        for (INVOKEKIND kind : {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT})
            EXPECT_EQ(platform::find_member(itf, id, kind), nullptr) << id;
    for (UINT i = 0; i < itf.member_count; ++i) {
        EXPECT_TRUE(itf.members[i].dispid < 9 || itf.members[i].dispid > 12);
        char name[64];
        std::strcpy(name, itf.members[i].name);
        LPOLESTR names[] = {name};
        DISPID id = 0;
        EXPECT_EQ(platform::dispatch_get_ids_of_names(itf, IID_NULL, names, 1, &id), S_OK);
        EXPECT_EQ(id, itf.members[i].dispid) << name;
    }
}

TEST(Library, SerialPortManagerMembers)
{
    const platform::interface_info& itf = platform::type_info_of<ISerialPortManager>();
    EXPECT_TRUE(*itf.iid == IID_ISerialPortManager);
    EXPECT_EQ(itf.kind, platform::interface_kind::custom);
    EXPECT_STREQ(itf.base, "IUnknown");
    EXPECT_STREQ(itf.help, "Internal ISerialPortManager Interface");
    EXPECT_EQ(itf.first_vtable_slot, 3u);

    // The same operations in the same order, with the cookie first wherever a client
    // may be notified, and the one exception for ReceiveBufferSize.
    struct expected {
        std::string method;
        bool cookie;
        const char* value;  // name of the value parameter
        VARTYPE vt;
        bool out;
    };
    std::vector<expected> list;
    for (const property& p : kSerialPort) {
        if (p.vt == VT_EMPTY) {
            list.push_back({"Send", false, nullptr, VT_EMPTY, false});
        } else if (!p.writable) {
            list.push_back({std::string("get_") + p.name, false, "pVal", p.vt, true});
        } else if (p.dispid == 33) {
            list.push_back({"put_ReceiveBufferSize", true, "newVal", p.vt, false});
            list.push_back({"get_ReceiveBufferSize", true, "newVal", p.vt, true});
        } else {
            list.push_back({std::string("get_") + p.name, true, "pVal", p.vt, true});
            list.push_back({std::string("put_") + p.name, true, "newVal", p.vt, false});
        }
    }
    std::vector<std::string> methods;
    std::set<DISPID> ids;
    ASSERT_EQ(itf.member_count, list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const platform::member_info& m = itf.members[i];
        const expected& e = list[i];
        methods.push_back(e.method);
        EXPECT_EQ(m.name, e.method);
        EXPECT_EQ(m.kind, INVOKE_FUNC);
        ids.insert(m.dispid);
        if (e.vt == VT_EMPTY) {
            ASSERT_EQ(m.param_count, 2u);
            EXPECT_EQ(m.params[0].vt, VT_VARIANT);
            EXPECT_EQ(m.params[1].vt, VT_BOOL);
            continue;
        }
        ASSERT_EQ(m.param_count, e.cookie ? 2u : 1u) << e.method;
        if (e.cookie) {
            EXPECT_STREQ(m.params[0].name, "dwNoNotifyCookie");
            EXPECT_EQ(m.params[0].vt, VT_UI4);
            EXPECT_EQ(m.params[0].flags, PARAMFLAG_FIN);
        }
        const platform::param_info& value = m.params[m.param_count - 1];
        EXPECT_STREQ(value.name, e.value) << e.method;
        EXPECT_EQ(value.vt, e.vt) << e.method;
        EXPECT_EQ(platform::param_is_out(value), e.out) << e.method;
    }
    EXPECT_EQ(ids.size(), list.size());  // every member its own identifier
    expect_vtable_order(itf, methods);
    EXPECT_STREQ(platform::find_member_by_method(itf, "get_ReceiveBufferSize")->help,
                 "Specifies the maximum data buffer that can be received in an OnData event.");
}

TEST(Library, RegistryAndEventInterfaces)
{
    const platform::interface_info& tethra = platform::type_info_of<ITethra>();
    EXPECT_EQ(tethra.kind, platform::interface_kind::dual);
    EXPECT_STREQ(tethra.help, "ITethra Interface");
    ASSERT_EQ(tethra.member_count, 2u);
    const platform::member_info& create = tethra.members[0];
    EXPECT_STREQ(create.name, "CreatePort");
    EXPECT_EQ(create.dispid, 1);
    EXPECT_STREQ(create.help, "Creates and returns a serial port object.");
    ASSERT_EQ(create.param_count, 2u);
    EXPECT_STREQ(create.params[0].name, "Port");
    EXPECT_EQ(create.params[0].vt, VT_I4);
    EXPECT_STREQ(create.params[1].name, "SerialPortObject");
    EXPECT_EQ(create.params[1].vt, VT_DISPATCH);
    EXPECT_EQ(create.params[1].flags, PARAMFLAG_FIN | PARAMFLAG_FOUT);  // in-out, not retval
    ASSERT_NE(create.params[1].iid, nullptr);
    EXPECT_TRUE(*create.params[1].iid == IID_ISerialPort);
    const platform::member_info& clients = tethra.members[1];
    EXPECT_STREQ(clients.name, "PortClients");
    EXPECT_EQ(clients.dispid, 2);
    ASSERT_EQ(clients.param_count, 2u);
    EXPECT_EQ(clients.params[1].flags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    expect_vtable_order(tethra, {"CreatePort", "PortClients"});

    const platform::interface_info& events = platform::type_info_of<_ISerialPortEvents>();
    EXPECT_TRUE(*events.iid == DIID__ISerialPortEvents);
    EXPECT_EQ(events.kind, platform::interface_kind::dispinterface);
    EXPECT_STREQ(events.help, "_ISerialPortEvents Interface");
    expect_vtable_order(events, {"OnData", "OnPortEvent", "OnError"});
    const char* types[] = {"VARIANT", "EventConstants", "ErrorConstants"};
    const char* names[] = {"Data", "Event", "ErrorCode"};
    for (UINT i = 0; i < 3; ++i) {
        EXPECT_EQ(events.members[i].dispid, static_cast<DISPID>(i + 1));
        ASSERT_EQ(events.members[i].param_count, 1u);
        EXPECT_STREQ(events.members[i].params[0].type, types[i]);
        EXPECT_STREQ(events.members[i].params[0].name, names[i]);
    }
}

TEST(Library, Enumerations)
{
    static_assert(sizeof(HandShakingConstants) == 4 && sizeof(ErrorConstants) == 4);

    struct expected {
        const char* name;
        const char* pointer;
        const char* help;
        std::vector<std::pair<std::string, LONG>> values;
    };
    const expected list[] = {
        {"HandShakingConstants", "PHANDSHAKINGCONSTANTS", "Serial Port Handshaking Constants",
         {{"spoHandshakingNone", 0}, {"spoXOnXOff", 1}, {"spoRTSCTS", 2}, {"spoRTSCTSXOnXOff", 3}}},
        {"ParitySchemeConstants", "PPARTIYSCHEMECONSTANTS", "Parity Schemes Constants",
         {{"spoParityNone", 0}, {"spoOdd", 1}, {"spoEven", 2}, {"spoMark", 3}, {"spoSpace", 4}}},
        {"StopBitsConstants", "PSTOPBITSCONSTANTS", "Stop Bits Constants",
         {{"spoOneBit", 0}, {"spoOne5Bit", 1}, {"spoTwoBit", 2}}},
        {"EventConstants", "PEVENTCONSTANTS", "Event Constants",
         {{"spoCTSEvent", 0}, {"spoDSREvent", 1}, {"spoCDEvent", 2}, {"spoRingEvent", 3},
          {"spoCharEvent", 4}, {"spoDeviceBackEvent", 5}}},
        {"ErrorConstants", "PERRORCONSTANTS", "Error Constants",
         {{"spoBreakError", 1000}, {"spoFrameError", 1001}, {"spoOverRunError", 1002},
          {"spoRXParity", 1003}, {"spoMemoryError", 1004}, {"spoDeviceLostError", 1005}}},
    };
    const platform::typelib_info& lib = TethraTypeLib();
    ASSERT_EQ(lib.enum_count, 5u);
    for (UINT i = 0; i < 5; ++i) {
        const platform::enum_info& e = lib.enums[i];
        EXPECT_STREQ(e.name, list[i].name);
        EXPECT_STREQ(e.pointer_name, list[i].pointer);
        EXPECT_STREQ(e.help, list[i].help);
        EXPECT_FALSE(*e.guid == *e.pointer_guid);
        ASSERT_EQ(e.value_count, list[i].values.size());
        for (UINT v = 0; v < e.value_count; ++v) {
            EXPECT_EQ(e.values[v].name, list[i].values[v].first);
            EXPECT_EQ(e.values[v].value, list[i].values[v].second);
        }
    }
}

TEST(Library, ClassesAndIdentifiers)
{
    const platform::typelib_info& lib = TethraTypeLib();
    EXPECT_STREQ(lib.name, "TETHRALIBRARYLib");
    EXPECT_STREQ(lib.help, "TethraLibrary 1.0 Type Library");
    EXPECT_TRUE(*lib.libid == LIBID_TETHRALIBRARYLib);
    EXPECT_EQ(lib.major_version, 1);
    EXPECT_EQ(lib.minor_version, 0);
    EXPECT_EQ(lib.lcid, 0x409u);
    ASSERT_EQ(lib.interface_count, 4u);
    EXPECT_EQ(platform::find_interface(lib, IID_ISerialPort), &platform::type_info_of<ISerialPort>());
    EXPECT_EQ(platform::find_interface(lib, DIID__ISerialPortEvents),
              &platform::type_info_of<_ISerialPortEvents>());
    EXPECT_EQ(platform::find_interface(lib, IID_IDispatch), nullptr);

    ASSERT_EQ(lib.coclass_count, 3u);
    const platform::coclass_info& tethra = lib.coclasses[0];
    EXPECT_STREQ(tethra.name, "Tethra");
    EXPECT_TRUE(*tethra.clsid == CLSID_Tethra);
    EXPECT_EQ(tethra.flags, TYPEFLAG_FCANCREATE);
    EXPECT_STREQ(tethra.help, "Tethra Object");
    ASSERT_EQ(tethra.interface_count, 1u);
    EXPECT_TRUE(*tethra.interfaces[0].iid == IID_ITethra);
    EXPECT_EQ(tethra.interfaces[0].flags, IMPLTYPEFLAG_FDEFAULT);

    for (UINT c = 1; c < 3; ++c) {
        const platform::coclass_info& cls = lib.coclasses[c];
        ASSERT_EQ(cls.interface_count, 3u);
        EXPECT_EQ(cls.interfaces[0].flags, IMPLTYPEFLAG_FDEFAULT);
        EXPECT_TRUE(*cls.interfaces[1].iid == DIID__ISerialPortEvents);
        EXPECT_EQ(cls.interfaces[1].flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
        EXPECT_TRUE(*cls.interfaces[2].iid == IID_IPropertyNotifySink);
        EXPECT_EQ(cls.interfaces[2].flags, IMPLTYPEFLAG_FSOURCE);
    }
    EXPECT_STREQ(lib.coclasses[1].name, "SerialPort");
    EXPECT_STREQ(lib.coclasses[1].help, "SerialPort Object");
    EXPECT_TRUE(*lib.coclasses[1].interfaces[0].iid == IID_ISerialPort);
    EXPECT_STREQ(lib.coclasses[2].name, "SerialPortManager");
    EXPECT_STREQ(lib.coclasses[2].help, "Internal Serial Port Object");
    EXPECT_EQ(lib.coclasses[2].flags, TYPEFLAG_FCANCREATE | TYPEFLAG_FHIDDEN);
    EXPECT_TRUE(*lib.coclasses[2].interfaces[0].iid == IID_ISerialPortManager);

    // Every identifier of the library is its own, and none is null.
    std::set<GUID> guids;
    std::size_t count = 0;
#define TETHRA_GUID(Name, ...) \
    guids.insert(Name);        \
    ++count;                   \
    EXPECT_FALSE(Name == GUID_NULL) << #Name;
#include "idl/tethra.def"
    EXPECT_EQ(count, 19u);
    EXPECT_EQ(guids.size(), count);
    EXPECT_EQ(guids.count(IID_IPropertyNotifySink), 0u);
}
