#include "platform/com/typeinfo.h"

#include <cstring>
#include <iterator>

namespace platform {

namespace {

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(const char* a, const char* b)
{
    if (!a || !b)
        return false;
    for (; *a && *b; ++a, ++b)
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
    return *a == *b;
}

// Invoke handles members of at most this many parameters (the library's have two).
constexpr UINT max_params = 16;

UINT visible_param_count(const member_info& m)
{
    UINT count = 0;
    for (UINT i = 0; i < m.param_count; ++i)
        if (!param_is_retval(m.params[i]))
            ++count;
    return count;
}

}  // namespace

// ---- lookups ----------------------------------------------------------------------------

const interface_info* find_interface(const typelib_info& lib, REFIID riid) noexcept
{
    for (UINT i = 0; i < lib.interface_count; ++i)
        if (IsEqualGUID(*lib.interfaces[i]->iid, riid))
            return lib.interfaces[i];
    return nullptr;
}

const member_info* find_member(const interface_info& itf, DISPID dispid,
                               INVOKEKIND kind) noexcept
{
    for (UINT i = 0; i < itf.member_count; ++i)
        if (itf.members[i].dispid == dispid && itf.members[i].kind == kind)
            return &itf.members[i];
    return nullptr;
}

const member_info* find_member_by_method(const interface_info& itf,
                                         const char* method) noexcept
{
    if (!method)
        return nullptr;
    for (UINT i = 0; i < itf.member_count; ++i)
        if (std::strcmp(itf.members[i].method, method) == 0)
            return &itf.members[i];
    return nullptr;
}

// ---- GetIDsOfNames ------------------------------------------------------------------------

HRESULT dispatch_get_ids_of_names(const interface_info& itf, REFIID riid, LPOLESTR* rgszNames,
                                  UINT cNames, DISPID* rgDispId) noexcept
{
    if (!IsEqualGUID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!rgszNames || !rgDispId)
        return E_POINTER;
    if (cNames == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;

    const char* name = rgszNames[0];
    bool found = false;
    for (UINT m = 0; m < itf.member_count; ++m) {
        if (equal_nocase(itf.members[m].name, name)) {
            rgDispId[0] = itf.members[m].dispid;
            found = true;
            break;
        }
    }
    if (!found)
        return DISP_E_UNKNOWNNAME;

    // Parameter names: a property's getter and setter name theirs differently, so every
    // member of the name is searched.
    HRESULT hr = S_OK;
    for (UINT n = 1; n < cNames; ++n) {
        for (UINT m = 0; m < itf.member_count && rgDispId[n] == DISPID_UNKNOWN; ++m) {
            const member_info& member = itf.members[m];
            if (!equal_nocase(member.name, name))
                continue;
            for (UINT p = 0; p < member.param_count; ++p) {
                if (equal_nocase(member.params[p].name, rgszNames[n])) {
                    rgDispId[n] = static_cast<DISPID>(p);
                    break;
                }
            }
        }
        if (rgDispId[n] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// ---- Invoke -------------------------------------------------------------------------------

namespace {

const member_info* member_for_flags(const interface_info& itf, DISPID dispid, WORD wFlags)
{
    if (wFlags & DISPATCH_PROPERTYPUT)
        return find_member(itf, dispid, INVOKE_PROPERTYPUT);
    if (wFlags & DISPATCH_PROPERTYPUTREF)
        return nullptr;
    const member_info* m = nullptr;
    if (wFlags & DISPATCH_METHOD)
        m = find_member(itf, dispid, INVOKE_FUNC);
    if (!m && (wFlags & DISPATCH_PROPERTYGET))
        m = find_member(itf, dispid, INVOKE_PROPERTYGET);
    return m;
}

// The arguments of one call: what the thunk gets, and what Invoke owns on its behalf.
struct call_frame {
    VARIANT args[max_params];       // handed to the thunk
    VARIANT owned[max_params];      // converted in-arguments, cleared after the call
    VARIANT local[max_params];      // storage of retval and VARIANT-referenced out values
    VARIANT* write_back[max_params] = {};  // the caller's VARIANT for a local out value
    int retval = -1;

    UINT count;

    explicit call_frame(UINT param_count) : count(param_count)
    {
        for (UINT i = 0; i < count; ++i) {
            VariantInit(&args[i]);
            VariantInit(&owned[i]);
            VariantInit(&local[i]);
        }
    }
    ~call_frame()
    {
        for (UINT i = 0; i < count; ++i) {
            VariantClear(&owned[i]);
            VariantClear(&local[i]);
        }
    }
    call_frame(const call_frame&) = delete;
    call_frame& operator=(const call_frame&) = delete;

    // Out values live in `local`; the thunk writes them through a reference.
    void use_local(UINT i, VARTYPE vt)
    {
        local[i].vt = vt;
        args[i].vt = static_cast<VARTYPE>(vt | VT_BYREF);
        args[i].byref = &local[i].llVal;
    }
};

HRESULT prepare_argument(const param_info& p, UINT i, VARIANT& src, call_frame& frame)
{
    if (param_is_out(p)) {
        if (src.vt == (p.vt | VT_BYREF)) {
            frame.args[i] = src;
            return S_OK;
        }
        if (src.vt != (VT_BYREF | VT_VARIANT) || !src.pvarVal)
            return DISP_E_TYPEMISMATCH;
        frame.use_local(i, p.vt);
        frame.write_back[i] = src.pvarVal;
        // An in-out value starts from the caller's; interfaces start null (typeinfo.h).
        if ((p.flags & PARAMFLAG_FIN) && p.vt != VT_DISPATCH && p.vt != VT_UNKNOWN &&
            src.pvarVal->vt != VT_EMPTY) {
            VARIANT start;
            VariantInit(&start);
            const HRESULT hr = VariantChangeType(&start, src.pvarVal, 0, p.vt);
            if (FAILED(hr))
                return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
            frame.local[i] = start;
        }
        return S_OK;
    }
    if (p.vt == VT_VARIANT) {
        // By value and without a copy: the method must not keep or free it.
        frame.args[i] = (src.vt == (VT_BYREF | VT_VARIANT) && src.pvarVal) ? *src.pvarVal : src;
        return S_OK;
    }
    const HRESULT hr = VariantChangeType(&frame.owned[i], &src, 0, p.vt);
    if (FAILED(hr))
        return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    frame.args[i] = frame.owned[i];
    return S_OK;
}

}  // namespace

HRESULT dispatch_invoke(const interface_info& itf, void* pInterface, DISPID dispIdMember,
                        REFIID riid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept
{
    if (!IsEqualGUID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    DISPPARAMS* dp = pDispParams;
    if (!dp || (dp->cArgs > 0 && !dp->rgvarg) ||
        (dp->cNamedArgs > 0 && !dp->rgdispidNamedArgs) || dp->cNamedArgs > dp->cArgs)
        return E_INVALIDARG;
    if ((wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT |
                   DISPATCH_PROPERTYPUTREF)) == 0)
        return E_INVALIDARG;
    if (!pInterface)
        return E_UNEXPECTED;

    const member_info* m = member_for_flags(itf, dispIdMember, wFlags);
    if (!m || !m->invoke)
        return DISP_E_MEMBERNOTFOUND;

    if (m->kind == INVOKE_PROPERTYPUT) {
        if (dp->cNamedArgs == 0)
            return DISP_E_PARAMNOTOPTIONAL;
        for (UINT i = 0; i < dp->cNamedArgs; ++i) {
            if (dp->rgdispidNamedArgs[i] != DISPID_PROPERTYPUT) {
                if (puArgErr)
                    *puArgErr = i;
                return DISP_E_PARAMNOTFOUND;
            }
        }
        if (dp->cNamedArgs > 1)
            return DISP_E_BADPARAMCOUNT;
    } else if (dp->cNamedArgs > 0) {
        return DISP_E_NONAMEDARGS;
    }

    const UINT visible = visible_param_count(*m);
    if (dp->cArgs != visible)
        return DISP_E_BADPARAMCOUNT;
    if (m->param_count > max_params)
        return E_NOTIMPL;

    call_frame frame(m->param_count);
    for (UINT i = 0; i < m->param_count; ++i) {
        const param_info& p = m->params[i];
        if (param_is_retval(p)) {
            frame.use_local(i, p.vt);
            frame.retval = static_cast<int>(i);
            continue;
        }
        // Positional arguments stand in reverse order behind the named ones; a put's
        // value is the named argument at index 0.
        const bool put_value = m->kind == INVOKE_PROPERTYPUT && i + 1 == visible;
        const UINT k = put_value ? 0 : dp->cArgs - 1 - i;
        const HRESULT hr = prepare_argument(p, i, dp->rgvarg[k], frame);
        if (FAILED(hr)) {
            if (puArgErr)
                *puArgErr = k;
            return hr;
        }
    }

    const HRESULT hr = m->invoke(pInterface, frame.args);

    if (SUCCEEDED(hr)) {
        for (UINT i = 0; i < m->param_count; ++i) {
            if (frame.write_back[i]) {
                // The caller's VARIANT is overwritten, as the method overwrites its out value.
                *frame.write_back[i] = frame.local[i];
                VariantInit(&frame.local[i]);
            }
        }
        if (pVarResult) {
            VariantInit(pVarResult);
            if (frame.retval >= 0) {
                *pVarResult = frame.local[frame.retval];
                VariantInit(&frame.local[frame.retval]);
            }
        }
        return hr;
    }
    if (pExcepInfo) {
        std::memset(pExcepInfo, 0, sizeof *pExcepInfo);
        pExcepInfo->bstrSource = SysAllocString(itf.name);
        pExcepInfo->scode = hr;
        return DISP_E_EXCEPTION;
    }
    return hr;
}

// ---- IPropertyNotifySink -------------------------------------------------------------------

namespace {

constexpr param_info notify_params[] = {
    {"dispID", VT_I4, PARAMFLAG_FIN, "DISPID", nullptr},
};

constexpr member_info notify_members[] = {
    {"OnChanged", "OnChanged", 0x60010000, INVOKE_FUNC, 0, "", notify_params, 1,
     &invoke_member<&IPropertyNotifySink::OnChanged, param_spec{VT_I4, PARAMFLAG_FIN}>},
    {"OnRequestEdit", "OnRequestEdit", 0x60010001, INVOKE_FUNC, 0, "", notify_params, 1,
     &invoke_member<&IPropertyNotifySink::OnRequestEdit, param_spec{VT_I4, PARAMFLAG_FIN}>},
};

constexpr interface_info notify_info = {
    "IPropertyNotifySink", &IID_IPropertyNotifySink, interface_kind::custom, "IUnknown", "",
    3, notify_members, static_cast<UINT>(std::size(notify_members))};

}  // namespace

template <>
const interface_info& type_info_of<IPropertyNotifySink>()
{
    return notify_info;
}

}  // namespace platform
