#include "platform/com/oleauto.h"
#include "test_objects.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Bstr, LengthPrefixedWithEmbeddedNulAndTerminator)
{
    BSTR s = SysAllocStringLen("ab\0cd", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 5u);
    EXPECT_EQ(std::memcmp(s, "ab\0cd", 6), 0);  // the terminator follows the characters
    SysFreeString(s);

    BSTR zeroed = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(SysStringLen(zeroed), 3u);
    EXPECT_EQ(std::memcmp(zeroed, "\0\0\0\0", 4), 0);
    SysFreeString(zeroed);

    BSTR text = SysAllocString("Tethra");
    EXPECT_STREQ(text, "Tethra");
    EXPECT_EQ(SysStringLen(text), 6u);
    SysFreeString(text);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(SafeArray, VectorBoundsTypeAndLocking)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 5, 4);
    ASSERT_NE(psa, nullptr);
    LONG lo = 0, hi = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &hi), S_OK);
    EXPECT_EQ(lo, 5);
    EXPECT_EQ(hi, 8);
    EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lo), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 0, &hi), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 1u);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(std::memcmp(data, "\0\0\0\0", 4), 0);  // starts zeroed
    std::memcpy(data, "abcd", 4);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->pvData, psa->pvData);
    EXPECT_EQ(std::memcmp(copy->pvData, "abcd", 4), 0);
    EXPECT_EQ(copy->rgsabound[0].lLbound, 5);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, EmptyUnsupportedAndNull)
{
    SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 0, 0);
    ASSERT_NE(empty, nullptr);
    LONG hi = 0;
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &hi), S_OK);
    EXPECT_EQ(hi, -1);
    EXPECT_EQ(SafeArrayGetElemsize(empty), 4u);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);

    SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, two), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0x10000000U), nullptr);  // over 2 GiB

    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &out), S_OK);
    EXPECT_EQ(out, nullptr);
    void* data = nullptr;
    EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
}

TEST(SafeArray, ElementsOwnedByTheArray)
{
    counted_unknown object;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    ASSERT_NE(psa, nullptr);
    auto* items = static_cast<VARIANT*>(psa->pvData);
    EXPECT_EQ(items[2].vt, VT_EMPTY);
    items[0].vt = VT_BSTR;
    items[0].bstrVal = SysAllocString("one");
    items[1].vt = VT_UNKNOWN;
    items[1].punkVal = &object;
    object.AddRef();

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    auto* copied = static_cast<VARIANT*>(copy->pvData);
    EXPECT_NE(copied[0].bstrVal, items[0].bstrVal);
    EXPECT_STREQ(copied[0].bstrVal, "one");
    EXPECT_EQ(object.refs, 2u);

    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(object.refs, 0u);
}

TEST(Variant, CopyAndClearOwnership)
{
    counted_unknown object;
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = VT_UNKNOWN;
    a.punkVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(object.refs, 2u);
    EXPECT_EQ(VariantCopy(&b, &b), S_OK);
    EXPECT_EQ(object.refs, 2u);

    // Copying over a variant frees what it held.
    VARIANT s;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = SysAllocString("text");
    ASSERT_EQ(VariantCopy(&b, &s), S_OK);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_STREQ(b.bstrVal, "text");
    EXPECT_NE(b.bstrVal, s.bstrVal);

    // A by-reference variant owns nothing.
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_UNKNOWN;
    IUnknown* held = &object;
    r.ppunkVal = &held;
    EXPECT_EQ(VariantClear(&r), S_OK);
    EXPECT_EQ(r.vt, VT_EMPTY);
    EXPECT_EQ(object.refs, 1u);

    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(object.refs, 0u);
    EXPECT_EQ(VariantClear(&b), S_OK);
    EXPECT_EQ(VariantClear(&s), S_OK);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(bad.vt, 0x0FFF);
    bad.vt = VT_VARIANT;  // only by reference
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, ClearDestroysArrayButNotALockedOne)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 8);
    void* data = nullptr;
    SafeArrayAccessData(v.parray, &data);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
    SafeArrayUnaccessData(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

namespace {

VARIANT make_i8(LONGLONG value, VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(value); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(value); break;
    case VT_I2: v.iVal = static_cast<SHORT>(value); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(value); break;
    case VT_I4: v.lVal = static_cast<LONG>(value); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(value); break;
    case VT_BOOL: v.boolVal = static_cast<VARIANT_BOOL>(value); break;
    default: v.llVal = value; break;
    }
    return v;
}

}  // namespace

TEST(VariantChangeType, IntegerRangesAndBooleans)
{
    struct Case {
        LONGLONG value;
        VARTYPE from, to;
        HRESULT hr;
        LONGLONG expected;  // read back through the target's own field
    };
    const Case cases[] = {
        {255, VT_I4, VT_UI1, S_OK, 255},
        {256, VT_I4, VT_UI1, DISP_E_OVERFLOW, 0},
        {-1, VT_I4, VT_UI1, DISP_E_OVERFLOW, 0},
        {-128, VT_I2, VT_I1, S_OK, -128},
        {128, VT_I2, VT_I1, DISP_E_OVERFLOW, 0},
        {-32768, VT_I4, VT_I2, S_OK, -32768},
        {40000, VT_I4, VT_I2, DISP_E_OVERFLOW, 0},
        {0xFFFFFFFFLL, VT_UI4, VT_I4, DISP_E_OVERFLOW, 0},
        {0x7FFFFFFFLL, VT_UI4, VT_I4, S_OK, 0x7FFFFFFF},
        {-1, VT_I4, VT_UI4, DISP_E_OVERFLOW, 0},
        {200, VT_UI1, VT_I4, S_OK, 200},
        {-5, VT_I1, VT_I4, S_OK, -5},
        {0x100000000LL, VT_I8, VT_UI4, DISP_E_OVERFLOW, 0},
        {2, VT_I4, VT_BOOL, S_OK, VARIANT_TRUE},
        {0, VT_UI1, VT_BOOL, S_OK, VARIANT_FALSE},
        {VARIANT_TRUE, VT_BOOL, VT_I4, S_OK, -1},
        {VARIANT_TRUE, VT_BOOL, VT_UI1, S_OK, 255},  // truncated, as the platform does
        {VARIANT_TRUE, VT_BOOL, VT_UI4, S_OK, 0xFFFFFFFFLL},
        {0, VT_EMPTY, VT_I2, S_OK, 0},
    };
    for (const Case& c : cases) {
        VARIANT src = make_i8(c.value, c.from);
        VARIANT dst;
        VariantInit(&dst);
        dst.vt = VT_I2;
        dst.iVal = 77;
        const HRESULT hr = VariantChangeType(&dst, &src, 0, c.to);
        EXPECT_EQ(hr, c.hr) << c.value << " " << c.from << "->" << c.to;
        if (FAILED(hr)) {
            EXPECT_EQ(dst.vt, VT_I2);  // unchanged on failure
            EXPECT_EQ(dst.iVal, 77);
            continue;
        }
        ASSERT_EQ(dst.vt, c.to);
        LONGLONG got = 0;
        switch (c.to) {
        case VT_I1: got = dst.cVal; break;
        case VT_UI1: got = dst.bVal; break;
        case VT_I2: got = dst.iVal; break;
        case VT_I4: got = dst.lVal; break;
        case VT_UI4: got = dst.ulVal; break;
        case VT_BOOL: got = dst.boolVal; break;
        default: break;
        }
        EXPECT_EQ(got, c.expected) << c.value << " " << c.from << "->" << c.to;
    }
}

TEST(VariantChangeType, ReferencesStringsAndInPlace)
{
    LONG target = 300;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, 300);
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);  // own type: the value
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 300);

    VARIANT inner = make_i8(7, VT_UI1);
    VARIANT vref;
    VariantInit(&vref);
    vref.vt = VT_BYREF | VT_VARIANT;
    vref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_UI4), S_OK);
    EXPECT_EQ(out.ulVal, 7u);

    vref.pvarVal = nullptr;
    EXPECT_EQ(VariantChangeType(&out, &vref, 0, VT_UI4), E_INVALIDARG);
    ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_UI4), E_INVALIDARG);

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString("12");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&text, &text, 0, VT_BSTR), S_OK);  // a copy, in place
    EXPECT_STREQ(text.bstrVal, "12");
    VariantClear(&text);

    VARIANT err;
    VariantInit(&err);
    err.vt = VT_ERROR;
    EXPECT_EQ(VariantChangeType(&out, &err, 0, VT_I4), DISP_E_TYPEMISMATCH);

    VARIANT v = make_i8(1000, VT_I4);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_UI2), S_OK);
    EXPECT_EQ(v.vt, VT_UI2);
    EXPECT_EQ(v.uiVal, 1000);
}
