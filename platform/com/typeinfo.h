// Type information and the IDispatch that it drives.
//
// A type library is described by constant tables (typelib_info, interface_info,
// member_info, param_info, enum_info, coclass_info) that idl/ generates from its one
// source. Every member carries an invoke thunk that calls the C++ method of an
// interface pointer from an array of VARIANTs, so IDispatch::GetIDsOfNames and Invoke
// (dispatch_get_ids_of_names, dispatch_invoke, dispatch_impl) and the out-of-process
// stubs are written once, for every interface, from these tables.
//
// Emulated: the behaviour of a type-library-driven IDispatch for the subset the system
// uses: names and DISPIDs, argument counts, coercion between integer and boolean types,
// named arguments for property puts only, a result VARIANT for getters.
// Not given: ITypeInfo objects (GetTypeInfoCount reports 0), optional and default
// parameters, LCID parameters, property put-by-reference.
#pragma once

#include "platform/base/types.h"
#include "platform/com/interfaces.h"
#include "platform/com/oleauto.h"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

enum INVOKEKIND {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};

#define PARAMFLAG_NONE 0x00U
#define PARAMFLAG_FIN 0x01U
#define PARAMFLAG_FOUT 0x02U
#define PARAMFLAG_FLCID 0x04U
#define PARAMFLAG_FRETVAL 0x08U
#define PARAMFLAG_FOPT 0x10U

#define FUNCFLAG_FRESTRICTED 0x0001U
#define FUNCFLAG_FSOURCE 0x0002U
#define FUNCFLAG_FBINDABLE 0x0004U
#define FUNCFLAG_FREQUESTEDIT 0x0008U
#define FUNCFLAG_FDISPLAYBIND 0x0010U
#define FUNCFLAG_FDEFAULTBIND 0x0020U
#define FUNCFLAG_FHIDDEN 0x0040U

#define TYPEFLAG_FAPPOBJECT 0x0001U
#define TYPEFLAG_FCANCREATE 0x0002U
#define TYPEFLAG_FHIDDEN 0x0010U
#define TYPEFLAG_FDUAL 0x0040U
#define TYPEFLAG_FNONEXTENSIBLE 0x0080U
#define TYPEFLAG_FOLEAUTOMATION 0x0100U

#define IMPLTYPEFLAG_FDEFAULT 0x1U
#define IMPLTYPEFLAG_FSOURCE 0x2U

namespace platform {

// ---- the tables -----------------------------------------------------------------------

// Calls one member on an interface pointer (as obtained from QueryInterface for the
// member's interface). rgArgs holds one VARIANT per parameter in declaration order:
//   in (or no direction):    a VARIANT of exactly the parameter's vt; a VT_VARIANT
//                            parameter takes any VARIANT, passed by value without a copy;
//   out, in-out or retval:   VT_BYREF | vt with a non-null pointer to a variable of that
//                            type, which receives the value. For an interface parameter
//                            (VT_DISPATCH or VT_UNKNOWN) the variable receives the
//                            interface with a reference for the caller; the method sees
//                            null as the incoming value of an in-out interface parameter,
//                            and the variable is written only when the method succeeds.
// Returns the method's result, or DISP_E_TYPEMISMATCH for an argument of another type,
// E_POINTER for a null interface pointer, argument array or by-reference pointer, without
// calling the method.
using invoke_thunk = HRESULT (*)(void* pInterface, VARIANTARG* rgArgs);

struct param_info {
    const char* name;
    // The automation type of the value: VT_I4 (long, and every enumeration), VT_UI4,
    // VT_I2, VT_UI1, VT_I1 (CHAR), VT_BOOL, VT_VARIANT, VT_DISPATCH or VT_UNKNOWN
    // (interface pointers). Never carries VT_BYREF: flags say whether the method takes a
    // pointer.
    VARTYPE vt;
    USHORT flags;      // PARAMFLAG_FIN, FOUT, FRETVAL; PARAMFLAG_NONE counts as in
    const char* type;  // the C++ type as declared: "ULONG*", "HandShakingConstants", ...
    const IID* iid;    // the interface of an interface parameter, else null
};

constexpr bool param_is_out(const param_info& p) { return (p.flags & PARAMFLAG_FOUT) != 0; }
constexpr bool param_is_retval(const param_info& p)
{
    return (p.flags & PARAMFLAG_FRETVAL) != 0;
}

struct member_info {
    const char* name;    // the property or method name: "BaudRate", "Send", "OnData";
                         // for a custom interface the method name: "get_BaudRate"
    const char* method;  // the C++ method: "get_BaudRate", "put_BaudRate", "Send"
    DISPID dispid;
    INVOKEKIND kind;
    USHORT flags;        // FUNCFLAG_FBINDABLE, FUNCFLAG_FREQUESTEDIT, ...
    const char* help;
    const param_info* params;
    UINT param_count;
    invoke_thunk invoke;
};

enum class interface_kind {
    custom,        // vtable only, derives from IUnknown
    dual,          // vtable and IDispatch, derives from IDispatch
    dispinterface  // reached through IDispatch::Invoke only (the C++ declaration lists the
                   // methods after IDispatch's so that a sink can implement them directly)
};

struct interface_info {
    const char* name;
    const IID* iid;
    interface_kind kind;
    const char* base;        // "IUnknown" or "IDispatch"
    const char* help;
    UINT first_vtable_slot;  // 3 after IUnknown, 7 after IDispatch
    const member_info* members;  // in vtable order
    UINT member_count;
};

struct enum_value_info {
    const char* name;
    LONG value;
};

struct enum_info {
    const char* name;          // the alias: "HandShakingConstants"
    const char* pointer_name;  // the pointer alias: "PHANDSHAKINGCONSTANTS"
    const char* help;
    const GUID* guid;
    const GUID* pointer_guid;
    const enum_value_info* values;
    UINT value_count;
};

struct coclass_interface_info {
    const char* name;
    const IID* iid;
    UINT flags;  // IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE
};

struct coclass_info {
    const char* name;
    const CLSID* clsid;
    UINT flags;  // TYPEFLAG_FCANCREATE, TYPEFLAG_FHIDDEN
    const char* help;
    const coclass_interface_info* interfaces;
    UINT interface_count;
};

struct typelib_info {
    const char* name;
    const char* help;
    const GUID* libid;
    WORD major_version;
    WORD minor_version;
    LCID lcid;
    const interface_info* const* interfaces;
    UINT interface_count;
    const enum_info* enums;
    UINT enum_count;
    const coclass_info* coclasses;
    UINT coclass_count;
};

// ---- lookups ----------------------------------------------------------------------------
const interface_info* find_interface(const typelib_info& lib, REFIID riid) noexcept;
const member_info* find_member(const interface_info& itf, DISPID dispid,
                               INVOKEKIND kind) noexcept;
// By C++ method name ("put_BaudRate"), exact case.
const member_info* find_member_by_method(const interface_info& itf,
                                         const char* method) noexcept;

// The type information of an interface type; the type library specialises it for each
// of its interfaces, the platform for IPropertyNotifySink.
template <class Interface>
const interface_info& type_info_of();

template <>
const interface_info& type_info_of<IPropertyNotifySink>();

// ---- the generic IDispatch -------------------------------------------------------------
// GetIDsOfNames: riid must be IID_NULL (DISP_E_UNKNOWNINTERFACE). rgszNames[0] names a
// member (case-insensitive), the further names that member's parameters, which get their
// positions 0, 1, ... as DISPIDs. A name that is not found gets DISPID_UNKNOWN and the
// result is DISP_E_UNKNOWNNAME. E_POINTER for null arrays, E_INVALIDARG for cNames 0.
HRESULT dispatch_get_ids_of_names(const interface_info& itf, REFIID riid, LPOLESTR* rgszNames,
                                  UINT cNames, DISPID* rgDispId) noexcept;

// Invoke on pInterface (an interface pointer of itf, as void*):
//   riid other than IID_NULL                        DISP_E_UNKNOWNINTERFACE
//   null pDispParams, a null array behind a count,
//   more named than total arguments, wFlags 0        E_INVALIDARG
//   no member with the DISPID for the kinds of wFlags DISP_E_MEMBERNOTFOUND
//     (DISPATCH_METHOD finds methods, DISPATCH_PROPERTYGET getters, both together
//      either; DISPATCH_PROPERTYPUT setters; DISPATCH_PROPERTYPUTREF nothing)
//   a named argument on a method or getter          DISP_E_NONAMEDARGS
//   a put without the named DISPID_PROPERTYPUT      DISP_E_PARAMNOTOPTIONAL
//   a put naming any other DISPID                   DISP_E_PARAMNOTFOUND (*puArgErr)
//   an argument count other than the member's       DISP_E_BADPARAMCOUNT
//     (parameters less the retval one)
//   an in argument that cannot be converted         DISP_E_TYPEMISMATCH or
//     (VariantChangeType; a VT_VARIANT parameter       DISP_E_OVERFLOW (*puArgErr =
//     takes any argument)                              its index in rgvarg)
//   an out or in-out argument that is not a by-
//     reference of the parameter's type or a
//     VT_BYREF | VT_VARIANT                          DISP_E_TYPEMISMATCH (*puArgErr)
// Arguments are read in reverse order as DISPPARAMS has them; the put value is the
// named argument. Then the member is called. A failed call returns DISP_E_EXCEPTION
// with pExcepInfo->scode set to the method's HRESULT when pExcepInfo is given, else the
// method's HRESULT itself; a successful call returns the method's result (S_FALSE
// included) and stores the retval, when the member has one, in pVarResult (which is
// overwritten, not cleared, and set to VT_EMPTY for a member without a retval). lcid is
// not used.
HRESULT dispatch_invoke(const interface_info& itf, void* pInterface, DISPID dispIdMember,
                        REFIID riid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept;

// IDispatch for a dual interface or a dispatch interface, from its type information. A
// class derives from dispatch_impl<ISerialPort> instead of ISerialPort.
template <class Interface>
class dispatch_impl : public Interface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override
    {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override
    {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                               DISPID* rgDispId) override
    {
        return dispatch_get_ids_of_names(type_info_of<Interface>(), riid, rgszNames, cNames,
                                         rgDispId);
    }
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override
    {
        return dispatch_invoke(type_info_of<Interface>(), static_cast<Interface*>(this),
                               dispIdMember, riid, wFlags, pDispParams, pVarResult,
                               pExcepInfo, puArgErr);
    }
};

// ---- invoke thunks ----------------------------------------------------------------------
// invoke_member<&ISerialPort::put_BaudRate, param_spec{VT_UI4, PARAMFLAG_FIN}> is the
// invoke_thunk of that member. The descriptions must match the method's parameters: the
// compiler checks that each vt fits its C++ type.
struct param_spec {
    VARTYPE vt;
    USHORT flags;
};

namespace invoke_detail {

template <class T>
struct method_traits;
template <class C, class... A>
struct method_traits<HRESULT (STDMETHODCALLTYPE C::*)(A...)> {
    using object = C;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// The VARIANT field that holds a value of type vt.
template <VARTYPE V>
constexpr auto& field(VARIANT& v)
{
    if constexpr (V == VT_I4) return v.lVal;
    else if constexpr (V == VT_UI4) return v.ulVal;
    else if constexpr (V == VT_INT) return v.intVal;
    else if constexpr (V == VT_UINT) return v.uintVal;
    else if constexpr (V == VT_I2) return v.iVal;
    else if constexpr (V == VT_UI2) return v.uiVal;
    else if constexpr (V == VT_I1) return v.cVal;
    else if constexpr (V == VT_UI1) return v.bVal;
    else if constexpr (V == VT_I8) return v.llVal;
    else if constexpr (V == VT_UI8) return v.ullVal;
    else if constexpr (V == VT_BOOL) return v.boolVal;
    else if constexpr (V == VT_ERROR) return v.scode;
    else if constexpr (V == VT_BSTR) return v.bstrVal;
    else if constexpr (V == VT_DISPATCH) return v.pdispVal;
    else if constexpr (V == VT_UNKNOWN) return v.punkVal;
    else {
        static_assert(V == VT_I4, "no VARIANT field for this VARTYPE");
        return v.lVal;
    }
}
template <VARTYPE V>
using field_t = std::remove_reference_t<decltype(field<V>(std::declval<VARIANT&>()))>;

template <class T>
constexpr bool is_interface_v =
    std::is_class_v<T> && std::is_base_of_v<IUnknown, T>;

// One argument on its way into the method: checks the VARIANT, yields the C++ value and
// writes back what the method left in local storage.
template <class T, param_spec S, class Enable = void>
class arg;

template <param_spec S>
constexpr bool is_out = (S.flags & PARAMFLAG_FOUT) != 0;

// By value.
template <class T, param_spec S>
class arg<T, S, std::enable_if_t<!is_out<S> && !std::is_same_v<T, VARIANT> &&
                                 !is_interface_v<std::remove_pointer_t<T>>>> {
public:
    explicit arg(VARIANT& v) : m_v(v)
    {
        if constexpr (std::is_enum_v<T>)
            static_assert(S.vt == VT_I4, "enumerations travel as VT_I4");
        else
            static_assert(std::is_same_v<T, field_t<S.vt>>, "vt does not fit the C++ type");
        m_hr = v.vt == S.vt ? S_OK : DISP_E_TYPEMISMATCH;
    }
    HRESULT status() const { return m_hr; }
    T get() const { return static_cast<T>(field<S.vt>(m_v)); }
    void commit(HRESULT) {}

private:
    VARIANT& m_v;
    HRESULT m_hr;
};

// A VARIANT by value: any type, passed without a copy.
template <class T, param_spec S>
class arg<T, S, std::enable_if_t<!is_out<S> && std::is_same_v<T, VARIANT>>> {
public:
    explicit arg(VARIANT& v) : m_v(v) { static_assert(S.vt == VT_VARIANT); }
    HRESULT status() const { return S_OK; }
    VARIANT get() const { return m_v; }
    void commit(HRESULT) {}

private:
    VARIANT& m_v;
};

// An interface pointer by value: the method gets the interface asked of the argument
// for the time of the call.
template <class T, param_spec S>
class arg<T, S, std::enable_if_t<!is_out<S> && std::is_pointer_v<T> &&
                                 is_interface_v<std::remove_pointer_t<T>>>> {
    using I = std::remove_pointer_t<T>;

public:
    explicit arg(VARIANT& v)
    {
        static_assert(S.vt == VT_DISPATCH || S.vt == VT_UNKNOWN);
        if (v.vt != S.vt) {
            m_hr = DISP_E_TYPEMISMATCH;
            return;
        }
        IUnknown* pUnk = v.punkVal;
        if (S.vt == VT_DISPATCH)
            pUnk = v.pdispVal;
        m_hr = pUnk ? pUnk->QueryInterface(interface_traits<I>::iid, reinterpret_cast<void**>(&m_p))
                    : S_OK;
    }
    ~arg()
    {
        if (m_p)
            m_p->Release();
    }
    arg(const arg&) = delete;
    arg& operator=(const arg&) = delete;
    HRESULT status() const { return m_hr; }
    I* get() const { return m_p; }
    void commit(HRESULT) {}

private:
    I* m_p = nullptr;
    HRESULT m_hr = S_OK;
};

// By reference: out, in-out and retval parameters.
template <class T, param_spec S>
class arg<T, S, std::enable_if_t<is_out<S>>> {
    using P = std::remove_pointer_t<T>;

public:
    explicit arg(VARIANT& v) : m_v(v)
    {
        static_assert(std::is_pointer_v<T>, "out parameters are pointers");
        if (v.vt != (S.vt | VT_BYREF)) {
            m_hr = DISP_E_TYPEMISMATCH;
            return;
        }
        if (!v.byref) {
            m_hr = E_POINTER;
            return;
        }
        if constexpr (std::is_enum_v<P>) {
            static_assert(S.vt == VT_I4, "enumerations travel as VT_I4");
            m_local = static_cast<P>(*v.plVal);
        } else if constexpr (std::is_pointer_v<P>) {
            static_assert(is_interface_v<std::remove_pointer_t<P>>);
            static_assert(S.vt == VT_DISPATCH || S.vt == VT_UNKNOWN);
        } else if constexpr (std::is_same_v<P, VARIANT>) {
            static_assert(S.vt == VT_VARIANT);
        } else {
            static_assert(std::is_same_v<P, field_t<S.vt>>, "vt does not fit the C++ type");
        }
    }
    HRESULT status() const { return m_hr; }
    T get()
    {
        if constexpr (std::is_enum_v<P> || std::is_pointer_v<P>)
            return &m_local;
        else
            return static_cast<T>(m_v.byref);
    }
    void commit(HRESULT hr)
    {
        if constexpr (std::is_enum_v<P>) {
            *m_v.plVal = static_cast<LONG>(m_local);
        } else if constexpr (std::is_pointer_v<P>) {
            if (SUCCEEDED(hr)) {
                if constexpr (S.vt == VT_DISPATCH)
                    *m_v.ppdispVal = m_local;
                else
                    *m_v.ppunkVal = m_local;
            }
        }
    }

private:
    VARIANT& m_v;
    HRESULT m_hr = S_OK;
    std::conditional_t<std::is_enum_v<P> || std::is_pointer_v<P>, P, char> m_local{};
};

template <auto Method, param_spec... Params>
struct invoker {
    using traits = method_traits<decltype(Method)>;
    static_assert(sizeof...(Params) == traits::arity,
                  "the parameter list does not match the method");

    template <std::size_t... I>
    static HRESULT call(typename traits::object* pObject, VARIANTARG* rgArgs,
                        std::index_sequence<I...>)
    {
        std::tuple<arg<std::tuple_element_t<I, typename traits::args>, Params>...> args(
            rgArgs[I]...);
        HRESULT hr = S_OK;
        ((hr = SUCCEEDED(hr) ? std::get<I>(args).status() : hr), ...);
        if (FAILED(hr))
            return hr;
        hr = (pObject->*Method)(std::get<I>(args).get()...);
        (std::get<I>(args).commit(hr), ...);
        return hr;
    }
};

}  // namespace invoke_detail

template <auto Method, param_spec... Params>
HRESULT invoke_member(void* pInterface, VARIANTARG* rgArgs)
{
    using inv = invoke_detail::invoker<Method, Params...>;
    if (!pInterface || (sizeof...(Params) > 0 && !rgArgs))
        return E_POINTER;
    return inv::call(static_cast<typename inv::traits::object*>(pInterface), rgArgs,
                     std::make_index_sequence<sizeof...(Params)>{});
}

// The interface of an interface parameter type (ISerialPort**, IUnknown*), else null.
template <class T>
constexpr const IID* param_iid()
{
    using U = std::remove_cv_t<std::remove_pointer_t<std::remove_pointer_t<T>>>;
    if constexpr (invoke_detail::is_interface_v<U>)
        return &interface_traits<U>::iid;
    else
        return nullptr;
}

}  // namespace platform
