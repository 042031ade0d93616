// The type library TETHRALIBRARYLib as C++: identifiers, enumerations, the interfaces
// in vtable order, their interface traits and type information, all generated from
// idl/tethra.def.
//
// Interfaces are structs of pure virtual methods returning HRESULT. _ISerialPortEvents is
// a dispatch interface: the server reaches a sink only through IDispatch::Invoke with
// the DISPIDs below; its methods are declared after IDispatch's so that a sink written in
// C++ can implement them and take its IDispatch from platform::dispatch_impl.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/interfaces.h"
#include "platform/com/oleauto.h"
#include "platform/com/typeinfo.h"

// ---- forward declarations ----------------------------------------------------------------
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help) struct Name;
#include "idl/tethra.def"

// ---- identifiers ---------------------------------------------------------------------------
#define TETHRA_GUID(Name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
    inline constexpr GUID Name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}};
#include "idl/tethra.def"

// ---- enumerations: 32-bit, each with its pointer alias ----------------------------------------
#define TETHRA_ENUM_BEGIN(Name, PointerName, Guid, PointerGuid, Help) enum Name : LONG {
#define TETHRA_ENUM_VALUE(Enum, Name, Value) Name = Value,
#define TETHRA_ENUM_END(Name) };
#include "idl/tethra.def"

#define TETHRA_ENUM_BEGIN(Name, PointerName, Guid, PointerGuid, Help) using PointerName = Name*;
#include "idl/tethra.def"

// ---- interfaces -------------------------------------------------------------------------------
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help) struct Name : public Base {
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...) \
    STDMETHOD(Method)(__VA_ARGS__) PURE;
#define TETHRA_PARAM(ParamFlags, CppType, VarType, Name) CppType Name
#define TETHRA_INTERFACE_END(Name) };
#include "idl/tethra.def"

// ---- DISPIDs by name: DISPID_ISerialPort_BaudRate, DISPID__ISerialPortEvents_OnData, ... ------
#define TETHRA_DISPID_INVOKE_FUNC(Interface, Name, DispId) \
    inline constexpr DISPID DISPID_##Interface##_##Name = DispId;
#define TETHRA_DISPID_INVOKE_PROPERTYGET(Interface, Name, DispId) \
    TETHRA_DISPID_INVOKE_FUNC(Interface, Name, DispId)
#define TETHRA_DISPID_INVOKE_PROPERTYPUT(Interface, Name, DispId)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...) \
    TETHRA_DISPID_##InvokeKind(Interface, Name, DispId)
#include "idl/tethra.def"
#undef TETHRA_DISPID_INVOKE_FUNC
#undef TETHRA_DISPID_INVOKE_PROPERTYGET
#undef TETHRA_DISPID_INVOKE_PROPERTYPUT

// ---- interface traits and type information ---------------------------------------------------
namespace platform {
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help) \
    PLATFORM_INTERFACE_TRAITS(Name, Iid);                   \
    template <>                                             \
    const interface_info& type_info_of<Name>();
#include "idl/tethra.def"
}  // namespace platform

// The whole library: interfaces, enumerations and classes (idl/typeinfo.cpp).
const platform::typelib_info& TethraTypeLib();
