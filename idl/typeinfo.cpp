// The type information of TETHRALIBRARYLib and the invoke thunks of its members, generated
// from idl/tethra.def. The thunks check at compile time that every parameter's VARTYPE
// fits the C++ type of the declared method and that the counts agree.
#include "idl/tethra.h"

#include <iterator>
#include <type_traits>

namespace {

// ---- parameters ---------------------------------------------------------------------------
#define TETHRA_PARAM(ParamFlags, CppType, VarType, Name) \
    platform::param_info{#Name, VarType, ParamFlags, #CppType, platform::param_iid<CppType>()}
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...) \
    constexpr platform::param_info Interface##_##Method##_params[] = {__VA_ARGS__};
#include "idl/tethra.def"

// ---- invoke thunks -------------------------------------------------------------------------
#define TETHRA_PARAM(ParamFlags, CppType, VarType, Name) \
    platform::param_spec{VarType, ParamFlags}
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...) \
    constexpr platform::invoke_thunk Interface##_##Method##_invoke =                  \
        &platform::invoke_member<&Interface::Method, __VA_ARGS__>;
#include "idl/tethra.def"

// ---- members -------------------------------------------------------------------------------
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help) \
    constexpr platform::member_info Name##_members[] = {
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...)     \
    {#Name, #Method, DispId, InvokeKind, FuncFlags, Help, Interface##_##Method##_params, \
     std::size(Interface##_##Method##_params), Interface##_##Method##_invoke},
#define TETHRA_INTERFACE_END(Name) };
#include "idl/tethra.def"

// ---- interfaces ----------------------------------------------------------------------------
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help)                                \
    constexpr platform::interface_info Name##_info = {                                     \
        #Name, &Iid, platform::interface_kind::Kind, #Base, Help,                           \
        std::is_same_v<Base, IUnknown> ? 3u : 7u, Name##_members, std::size(Name##_members)};
#include "idl/tethra.def"

constexpr const platform::interface_info* interfaces[] = {
#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help) &Name##_info,
#include "idl/tethra.def"
};

// ---- enumerations --------------------------------------------------------------------------
#define TETHRA_ENUM_BEGIN(Name, PointerName, Guid, PointerGuid, Help) \
    constexpr platform::enum_value_info Name##_values[] = {
#define TETHRA_ENUM_VALUE(Enum, Name, Value) {#Name, Value},
#define TETHRA_ENUM_END(Name) };
#include "idl/tethra.def"

constexpr platform::enum_info enums[] = {
#define TETHRA_ENUM_BEGIN(Name, PointerName, Guid, PointerGuid, Help)                    \
    {#Name, #PointerName, Help, &Guid, &PointerGuid, Name##_values, std::size(Name##_values)},
#include "idl/tethra.def"
};

// ---- classes -------------------------------------------------------------------------------
#define TETHRA_COCLASS_BEGIN(Name, Clsid, TypeFlags, Help) \
    constexpr platform::coclass_interface_info Name##_interfaces[] = {
#define TETHRA_COCLASS_INTERFACE(Coclass, Interface, ImplTypeFlags) \
    {#Interface, &platform::interface_traits<Interface>::iid, ImplTypeFlags},
#define TETHRA_COCLASS_END(Name) };
#include "idl/tethra.def"

constexpr platform::coclass_info coclasses[] = {
#define TETHRA_COCLASS_BEGIN(Name, Clsid, TypeFlags, Help) \
    {#Name, &Clsid, TypeFlags, Help, Name##_interfaces, std::size(Name##_interfaces)},
#include "idl/tethra.def"
};

// ---- the library ---------------------------------------------------------------------------
#define TETHRA_LIBRARY(Name, Libid, Major, Minor, Lcid, Help)                              \
    constexpr platform::typelib_info library = {#Name, Help, &Libid, Major, Minor, Lcid,     \
                                                interfaces, std::size(interfaces), enums,    \
                                                std::size(enums), coclasses,                 \
                                                std::size(coclasses)};
#include "idl/tethra.def"

}  // namespace

#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help)            \
    template <>                                                        \
    const platform::interface_info& platform::type_info_of<Name>()    \
    {                                                                  \
        return Name##_info;                                            \
    }
#include "idl/tethra.def"

const platform::typelib_info& TethraTypeLib()
{
    return library;
}
