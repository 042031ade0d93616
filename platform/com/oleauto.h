// Automation data types: BSTR, VARIANT, SAFEARRAY and the Invoke parameter blocks, with
// the documented behaviour of their calls for the subset the system uses.
//
// Given here: length-prefixed BSTRs of OLECHAR (a narrow char, see guid.h); VARIANTs of
// the integer, boolean, error, string, interface, array and by-reference types listed
// below; one-dimensional SAFEARRAYs of those element types; VariantChangeType between the
// integer and boolean types with the documented overflow checks.
// VT_R8 is carried as a value only (a bus client may send a double): it takes part in
// no conversion and no array. Not given on Linux: other floating-point types, currency,
// date and decimal variants; string parsing and formatting in VariantChangeType (it
// answers DISP_E_TYPEMISMATCH); multi-dimensional safe arrays (SafeArrayCreate with
// cDims other than 1 returns null).
#pragma once

#include "platform/base/types.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

struct IUnknown;
struct IDispatch;

// ---- strings ---------------------------------------------------------------------
// A BSTR points at its first character; the 32-bit byte length sits just before it and
// a NUL just after the last character, so a BSTR may also be read as a C string (it may
// hold embedded NULs). A null BSTR is the empty string.
using BSTR = OLECHAR*;

BSTR SysAllocString(const OLECHAR* psz);
// cch characters copied from psz; with a null psz the characters are zero.
BSTR SysAllocStringLen(const OLECHAR* psz, UINT cch);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR bstr);      // characters, 0 for null
UINT SysStringByteLen(BSTR bstr);  // bytes, equal to SysStringLen with a narrow OLECHAR

// ---- basic automation types ------------------------------------------------------
using VARTYPE = USHORT;
using VARIANT_BOOL = short;
using DISPID = LONG;
using MEMBERID = DISPID;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0fff,
};

// ---- safe arrays -------------------------------------------------------------------
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
using LPSAFEARRAYBOUND = SAFEARRAYBOUND*;

#define FADF_HAVEVARTYPE 0x0080U
#define FADF_BSTR 0x0100U
#define FADF_UNKNOWN 0x0200U
#define FADF_DISPATCH 0x0400U
#define FADF_VARIANT 0x0800U

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

// Element types: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_I8,
// VT_UI8, VT_BOOL, VT_ERROR, VT_BSTR, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH. The data block
// starts zeroed (empty strings, VT_EMPTY variants, null interfaces). Null for any other
// type, for cDims other than 1, or when memory runs out.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Frees the elements (strings, interface references, variants) and the array. S_OK for a
// null array; DISP_E_ARRAYISLOCKED while its data is accessed.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// Locks the array and hands out its data block (null for an empty array). E_INVALIDARG
// for a null array or out-pointer.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
// E_UNEXPECTED when the array is not locked.
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// nDim counts from 1; DISP_E_BADINDEX for any other dimension. The upper bound of an
// empty array is its lower bound minus one.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
UINT SafeArrayGetDim(SAFEARRAY* psa);       // 0 for null
UINT SafeArrayGetElemsize(SAFEARRAY* psa);  // 0 for null
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// A deep copy (strings duplicated, interfaces AddRef'd, variants copied). A null psa
// gives a null copy and S_OK.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);

// ---- variants ------------------------------------------------------------------------
struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        double dblVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

#define V_VT(pv) ((pv)->vt)
#define V_ISBYREF(pv) (((pv)->vt & VT_BYREF) != 0)
#define V_ISARRAY(pv) (((pv)->vt & VT_ARRAY) != 0)
#define V_I4(pv) ((pv)->lVal)
#define V_UI1(pv) ((pv)->bVal)
#define V_BOOL(pv) ((pv)->boolVal)
#define V_BSTR(pv) ((pv)->bstrVal)
#define V_ARRAY(pv) ((pv)->parray)
#define V_DISPATCH(pv) ((pv)->pdispVal)
#define V_UNKNOWN(pv) ((pv)->punkVal)

// VT_EMPTY, all fields zero.
void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns (string, interface reference, array; nothing for a
// by-reference variant) and leaves it VT_EMPTY. E_INVALIDARG for null, DISP_E_BADVARTYPE
// for a type this platform does not know (the variant is left as it was).
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then copies the source deeply (a by-reference variant is
// copied as the reference). Copying a variant onto itself does nothing.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

#define VARIANT_NOVALUEPROP 0x01U
// Converts pvarSrc (following one level of VT_BYREF, and a VT_BYREF | VT_VARIANT to the
// variant it points at) to vt and stores it in pvargDest, which may be the source.
// Between VT_EMPTY (as 0), VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
// VT_I8, VT_UI8 and VT_BOOL: a value out of the target's range gives DISP_E_OVERFLOW, any
// non-zero value becomes VARIANT_TRUE, and a boolean becomes -1 or 0 truncated to the
// target's width (as the platform's own conversions do). Converting to the source's own
// type copies it. Every other pair gives DISP_E_TYPEMISMATCH; on failure the destination
// is unchanged. wFlags is accepted and ignored.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);

// ---- Invoke parameter blocks ---------------------------------------------------------
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

#define DISPATCH_METHOD 0x1U
#define DISPATCH_PROPERTYGET 0x2U
#define DISPATCH_PROPERTYPUT 0x4U
#define DISPATCH_PROPERTYPUTREF 0x8U

// Arguments in reverse order: rgvarg[cArgs - 1] is the first. Named arguments come first
// in rgvarg, each named by the DISPID at the same index of rgdispidNamedArgs.
struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};
using LPEXCEPINFO = EXCEPINFO*;
