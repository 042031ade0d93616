// The standard interfaces of the object model, in their documented vtable order, with
// their well-known identifiers.
//
// An interface is a struct of pure virtual functions; g++ lays out its vtable in
// declaration order, derived interfaces appending to their base, which is the binary
// layout the object model's calls rely on. Interfaces have no virtual destructor: an
// object is destroyed by its own Release, never by deleting an interface pointer.
#pragma once

#include "platform/base/types.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/oleauto.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMarshal = {0x00000003, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000,
                                      {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnectionPoints = {
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnections = {
    0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IPropertyNotifySink = {
    0x9BFBBC02, 0xEFF1, 0x101A, {0x84, 0xED, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
using LPUNKNOWN = IUnknown*;

// A class object: makes objects of its class. pUnkOuter must be null (aggregation is not
// given: CLASS_E_NOAGGREGATION); LockServer(TRUE) keeps the server running like a live
// object until LockServer(FALSE).
struct IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};
using LPCLASSFACTORY = IClassFactory*;

// Type information is not handed out as an interface on this platform: the tables of
// platform/com/typeinfo.h serve every use. GetTypeInfoCount reports 0.
struct ITypeInfo;

struct IDispatch : public IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                             DISPID* rgDispId) PURE;
    STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                      UINT* puArgErr) PURE;
};
using LPDISPATCH = IDispatch*;

struct IConnectionPoint;
struct IConnectionPointContainer;
using LPCONNECTIONPOINT = IConnectionPoint*;

// One connection: the sink (with a reference that the receiver releases) and its cookie.
struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};
using LPCONNECTDATA = CONNECTDATA*;

struct IEnumConnections : public IUnknown {
    STDMETHOD(Next)(ULONG cConnections, LPCONNECTDATA rgcd, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cConnections) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumConnections** ppEnum) PURE;
};

struct IConnectionPoint : public IUnknown {
    STDMETHOD(GetConnectionInterface)(IID* pIID) PURE;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) PURE;
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) PURE;
    STDMETHOD(Unadvise)(DWORD dwCookie) PURE;
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) PURE;
};

struct IEnumConnectionPoints : public IUnknown {
    STDMETHOD(Next)(ULONG cConnections, LPCONNECTIONPOINT* ppCP, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cConnections) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumConnectionPoints** ppEnum) PURE;
};

struct IConnectionPointContainer : public IUnknown {
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) PURE;
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) PURE;
};

struct IPropertyNotifySink : public IUnknown {
    STDMETHOD(OnChanged)(DISPID dispID) PURE;
    STDMETHOD(OnRequestEdit)(DISPID dispID) PURE;
};

namespace platform {

// The identifier of an interface type, for helpers that take the interface as a type:
// interface_traits<IDispatch>::iid. The type library's interfaces add theirs.
template <class Interface>
struct interface_traits;

#define PLATFORM_INTERFACE_TRAITS(Interface, Iid)                 \
    template <>                                                   \
    struct interface_traits<Interface> {                          \
        static constexpr const IID& iid = Iid;                    \
        static constexpr const char* name = #Interface;           \
    }

PLATFORM_INTERFACE_TRAITS(IUnknown, IID_IUnknown);
PLATFORM_INTERFACE_TRAITS(IDispatch, IID_IDispatch);
PLATFORM_INTERFACE_TRAITS(IClassFactory, IID_IClassFactory);
PLATFORM_INTERFACE_TRAITS(IConnectionPointContainer, IID_IConnectionPointContainer);
PLATFORM_INTERFACE_TRAITS(IConnectionPoint, IID_IConnectionPoint);
PLATFORM_INTERFACE_TRAITS(IEnumConnections, IID_IEnumConnections);
PLATFORM_INTERFACE_TRAITS(IEnumConnectionPoints, IID_IEnumConnectionPoints);
PLATFORM_INTERFACE_TRAITS(IPropertyNotifySink, IID_IPropertyNotifySink);

}  // namespace platform
