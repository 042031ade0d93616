#include "platform/com/oleauto.h"

#include "platform/com/interfaces.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---- strings --------------------------------------------------------------------------

BSTR SysAllocStringLen(const OLECHAR* psz, UINT cch)
{
    // The byte length is kept in a DWORD, and one NUL follows the characters.
    if (cch > 0x7FFFFFF0U)
        return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(cch) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(sizeof(DWORD) + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    const DWORD length = static_cast<DWORD>(bytes);
    std::memcpy(block, &length, sizeof length);
    BSTR bstr = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    if (psz)
        std::memcpy(bstr, psz, bytes);
    else
        std::memset(bstr, 0, bytes);
    bstr[cch] = '\0';
    return bstr;
}

BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(std::strlen(psz)));
}

void SysFreeString(BSTR bstrString)
{
    if (bstrString)
        std::free(reinterpret_cast<char*>(bstrString) - sizeof(DWORD));
}

UINT SysStringByteLen(BSTR bstr)
{
    if (!bstr)
        return 0;
    DWORD length = 0;
    std::memcpy(&length, reinterpret_cast<char*>(bstr) - sizeof(DWORD), sizeof length);
    return length;
}

UINT SysStringLen(BSTR bstr)
{
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

// ---- safe arrays -----------------------------------------------------------------------

namespace {

// The element type lives in front of the SAFEARRAY, where SafeArrayGetVartype finds it.
struct safearray_block {
    VARTYPE vt;
    SAFEARRAY sa;
};

safearray_block* block_of(SAFEARRAY* psa)
{
    return reinterpret_cast<safearray_block*>(reinterpret_cast<char*>(psa) -
                                              offsetof(safearray_block, sa));
}

// Bytes per element of a supported element type, 0 for any other.
ULONG element_size(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: return sizeof(IUnknown*);
    case VT_DISPATCH: return sizeof(IDispatch*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

USHORT features_of(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN: return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
    default: return FADF_HAVEVARTYPE;
    }
}

// Frees what the elements own (strings, references, variants) without freeing the block.
void clear_elements(SAFEARRAY* psa, VARTYPE vt)
{
    const ULONG count = psa->rgsabound[0].cElements;
    if (!psa->pvData)
        return;
    for (ULONG i = 0; i < count; ++i) {
        switch (vt) {
        case VT_BSTR: SysFreeString(static_cast<BSTR*>(psa->pvData)[i]); break;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* pUnk = vt == VT_UNKNOWN ? static_cast<IUnknown**>(psa->pvData)[i]
                                              : static_cast<IDispatch**>(psa->pvData)[i];
            if (pUnk)
                pUnk->Release();
            break;
        }
        case VT_VARIANT: VariantClear(&static_cast<VARIANT*>(psa->pvData)[i]); break;
        default: return;
        }
    }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound)
{
    const ULONG size = element_size(vt);
    if (cDims != 1 || !rgsabound || size == 0)
        return nullptr;
    const ULONG count = rgsabound[0].cElements;
    if (static_cast<unsigned long long>(count) * size > 0x7FFFFFFFULL)
        return nullptr;
    auto* block = static_cast<safearray_block*>(std::calloc(1, sizeof(safearray_block)));
    if (!block)
        return nullptr;
    block->vt = vt;
    SAFEARRAY* psa = &block->sa;
    psa->cDims = 1;
    psa->fFeatures = features_of(vt);
    psa->cbElements = size;
    psa->cLocks = 0;
    psa->rgsabound[0] = rgsabound[0];
    if (count > 0) {
        // Zeroed: null strings, null interfaces, VT_EMPTY variants, zero numbers.
        psa->pvData = std::calloc(count, size);
        if (!psa->pvData) {
            std::free(block);
            return nullptr;
        }
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    clear_elements(psa, block_of(psa)->vt);
    std::free(psa->pvData);
    std::free(block_of(psa));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData)
{
    if (!psa || !ppvData)
        return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound)
{
    if (!psa || !plLbound)
        return E_INVALIDARG;
    if (nDim != 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound)
{
    if (!psa || !plUbound)
        return E_INVALIDARG;
    if (nDim != 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const long long upper = static_cast<long long>(psa->rgsabound[0].lLbound) +
                            static_cast<long long>(psa->rgsabound[0].cElements) - 1;
    *plUbound = static_cast<LONG>(upper);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa)
{
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa)
{
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt)
{
    if (!psa || !pvt)
        return E_INVALIDARG;
    *pvt = block_of(psa)->vt;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    const VARTYPE vt = block_of(psa)->vt;
    SAFEARRAY* copy = SafeArrayCreate(vt, 1, psa->rgsabound);
    if (!copy)
        return E_OUTOFMEMORY;
    const ULONG count = psa->rgsabound[0].cElements;
    HRESULT hr = S_OK;
    if (count > 0) {
        switch (vt) {
        case VT_BSTR:
            for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
                BSTR src = static_cast<BSTR*>(psa->pvData)[i];
                if (!src)
                    continue;
                BSTR dup = SysAllocStringLen(src, SysStringLen(src));
                static_cast<BSTR*>(copy->pvData)[i] = dup;
                if (!dup)
                    hr = E_OUTOFMEMORY;
            }
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            std::memcpy(copy->pvData, psa->pvData, static_cast<std::size_t>(count) * copy->cbElements);
            for (ULONG i = 0; i < count; ++i) {
                IUnknown* pUnk = vt == VT_UNKNOWN ? static_cast<IUnknown**>(copy->pvData)[i]
                                                  : static_cast<IDispatch**>(copy->pvData)[i];
                if (pUnk)
                    pUnk->AddRef();
            }
            break;
        case VT_VARIANT:
            for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i)
                hr = VariantCopy(&static_cast<VARIANT*>(copy->pvData)[i],
                                 &static_cast<VARIANT*>(psa->pvData)[i]);
            break;
        default:
            std::memcpy(copy->pvData, psa->pvData, static_cast<std::size_t>(count) * copy->cbElements);
            break;
        }
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

// ---- variants ---------------------------------------------------------------------------

namespace {

bool is_scalar_type(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_BSTR: case VT_DISPATCH:
    case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_I1: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT: case VT_R8:
        return true;
    default:
        return false;
    }
}

// A VARTYPE this platform knows: a scalar, an array of a supported element type, or a
// reference to either (VT_VARIANT only by reference or as an array).
bool is_known_type(VARTYPE vt)
{
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool byref = (vt & VT_BYREF) != 0;
    if ((vt & ~(VT_TYPEMASK | VT_BYREF | VT_ARRAY)) != 0)
        return false;
    if (vt & VT_ARRAY)
        return element_size(base) != 0;
    if (base == VT_VARIANT)
        return byref;
    if (byref && (base == VT_EMPTY || base == VT_NULL))
        return false;
    return is_scalar_type(base);
}

}  // namespace

void VariantInit(VARIANTARG* pvarg)
{
    if (pvarg)
        std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANTARG* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    if (!is_known_type(pvarg->vt))
        return DISP_E_BADVARTYPE;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            const HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr))
                return hr;
        } else if (pvarg->vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (pvarg->vt == VT_UNKNOWN && pvarg->punkVal) {
            pvarg->punkVal->Release();
        } else if (pvarg->vt == VT_DISPATCH && pvarg->pdispVal) {
            pvarg->pdispVal->Release();
        }
    }
    std::memset(pvarg, 0, sizeof *pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc)
{
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    if (!is_known_type(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    const VARIANT src = *pvargSrc;  // the source may live in what the clear below frees
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr))
        return hr;
    VARIANT copy = src;
    if (!(src.vt & VT_BYREF)) {
        if (src.vt & VT_ARRAY) {
            hr = SafeArrayCopy(src.parray, &copy.parray);
        } else if (src.vt == VT_BSTR && src.bstrVal) {
            copy.bstrVal = SysAllocStringLen(src.bstrVal, SysStringLen(src.bstrVal));
            if (!copy.bstrVal)
                hr = E_OUTOFMEMORY;
        } else if (src.vt == VT_UNKNOWN && src.punkVal) {
            src.punkVal->AddRef();
        } else if (src.vt == VT_DISPATCH && src.pdispVal) {
            src.pdispVal->AddRef();
        }
    }
    if (FAILED(hr))
        return hr;
    *pvargDest = copy;
    return S_OK;
}

namespace {

// The variant a by-reference variant stands for, as a shallow view (no ownership): one
// level of VT_BYREF, and a VT_BYREF | VT_VARIANT followed to the variant it points at.
HRESULT dereference(const VARIANT& in, VARIANT& out)
{
    const VARIANT* src = &in;
    if (src->vt == (VT_BYREF | VT_VARIANT)) {
        if (!src->pvarVal)
            return E_INVALIDARG;
        src = src->pvarVal;
    }
    out = *src;
    if (!(src->vt & VT_BYREF))
        return S_OK;
    if (!src->byref)
        return E_INVALIDARG;
    out.vt = src->vt & ~VT_BYREF;
    if (out.vt & VT_ARRAY) {
        out.parray = *src->pparray;
        return S_OK;
    }
    switch (out.vt) {
    case VT_I1: out.cVal = *src->pcVal; break;
    case VT_UI1: out.bVal = *src->pbVal; break;
    case VT_I2: out.iVal = *src->piVal; break;
    case VT_UI2: out.uiVal = *src->puiVal; break;
    case VT_I4: out.lVal = *src->plVal; break;
    case VT_UI4: out.ulVal = *src->pulVal; break;
    case VT_INT: out.intVal = *src->pintVal; break;
    case VT_UINT: out.uintVal = *src->puintVal; break;
    case VT_I8: out.llVal = *src->pllVal; break;
    case VT_UI8: out.ullVal = *src->pullVal; break;
    case VT_BOOL: out.boolVal = *src->pboolVal; break;
    case VT_ERROR: out.scode = *src->pscode; break;
    case VT_BSTR: out.bstrVal = *src->pbstrVal; break;
    case VT_UNKNOWN: out.punkVal = *src->ppunkVal; break;
    case VT_DISPATCH: out.pdispVal = *src->ppdispVal; break;
    default: return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

// An integer value on its way between types: signed, or unsigned above INT64_MAX.
struct number {
    long long s = 0;
    unsigned long long u = 0;
    bool big = false;        // the value is u, above LLONG_MAX
    bool from_bool = false;  // truncate instead of checking the range
};

bool read_number(const VARIANT& v, number& n)
{
    switch (v.vt) {
    case VT_EMPTY: n.s = 0; return true;
    case VT_I1: n.s = v.cVal; return true;
    case VT_UI1: n.s = v.bVal; return true;
    case VT_I2: n.s = v.iVal; return true;
    case VT_UI2: n.s = v.uiVal; return true;
    case VT_I4: n.s = v.lVal; return true;
    case VT_UI4: n.s = v.ulVal; return true;
    case VT_INT: n.s = v.intVal; return true;
    case VT_UINT: n.s = v.uintVal; return true;
    case VT_I8: n.s = v.llVal; return true;
    case VT_UI8:
        if (v.ullVal > static_cast<unsigned long long>(LLONG_MAX)) {
            n.big = true;
            n.u = v.ullVal;
        } else {
            n.s = static_cast<long long>(v.ullVal);
        }
        return true;
    case VT_BOOL: n.s = v.boolVal; n.from_bool = true; return true;
    default: return false;
    }
}

bool in_range(const number& n, long long lo, long long hi)
{
    return !n.big && n.s >= lo && n.s <= hi;
}

HRESULT write_number(const number& n, VARTYPE vt, VARIANT& out)
{
    VariantInit(&out);
    out.vt = vt;
    // Booleans are cast as the platform's own conversions cast them; others are checked.
    const bool t = n.from_bool;
    switch (vt) {
    case VT_BOOL: out.boolVal = (n.big || n.s != 0) ? VARIANT_TRUE : VARIANT_FALSE; return S_OK;
    case VT_I1:
        if (!t && !in_range(n, SCHAR_MIN, SCHAR_MAX)) return DISP_E_OVERFLOW;
        out.cVal = static_cast<CHAR>(n.s);
        return S_OK;
    case VT_UI1:
        if (!t && !in_range(n, 0, UCHAR_MAX)) return DISP_E_OVERFLOW;
        out.bVal = static_cast<BYTE>(n.s);
        return S_OK;
    case VT_I2:
        if (!t && !in_range(n, SHRT_MIN, SHRT_MAX)) return DISP_E_OVERFLOW;
        out.iVal = static_cast<SHORT>(n.s);
        return S_OK;
    case VT_UI2:
        if (!t && !in_range(n, 0, USHRT_MAX)) return DISP_E_OVERFLOW;
        out.uiVal = static_cast<USHORT>(n.s);
        return S_OK;
    case VT_I4:
    case VT_INT:
        if (!t && !in_range(n, INT32_MIN, INT32_MAX)) return DISP_E_OVERFLOW;
        out.lVal = static_cast<LONG>(n.s);
        return S_OK;
    case VT_UI4:
    case VT_UINT:
        if (!t && !in_range(n, 0, UINT32_MAX)) return DISP_E_OVERFLOW;
        out.ulVal = static_cast<ULONG>(n.s);
        return S_OK;
    case VT_I8:
        if (n.big) return DISP_E_OVERFLOW;
        out.llVal = n.s;
        return S_OK;
    case VT_UI8:
        if (n.big) {
            out.ullVal = n.u;
            return S_OK;
        }
        if (!t && n.s < 0) return DISP_E_OVERFLOW;
        out.ullVal = static_cast<unsigned long long>(n.s);
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT,
                          VARTYPE vt)
{
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!is_known_type(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT view;
    HRESULT hr = dereference(*pvarSrc, view);
    if (FAILED(hr))
        return hr;

    VARIANT result;
    VariantInit(&result);
    if (view.vt == vt) {
        hr = VariantCopy(&result, &view);
    } else {
        number n;
        if (!read_number(view, n))
            return DISP_E_TYPEMISMATCH;
        hr = write_number(n, vt, result);
    }
    if (FAILED(hr))
        return hr;
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}
