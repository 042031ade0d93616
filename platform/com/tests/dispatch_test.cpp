// The generic IDispatch, driven by the platform's own type information of
// IPropertyNotifySink. The type library's interfaces are covered in idl/tests.
#include "platform/com/typeinfo.h"
#include "test_objects.h"

#include <gtest/gtest.h>

namespace {

constexpr DISPID kOnChanged = 0x60010000;
constexpr DISPID kOnRequestEdit = 0x60010001;

class DispatchTest : public ::testing::Test {
protected:
    const platform::interface_info& info = platform::type_info_of<IPropertyNotifySink>();
    recording_sink sink;
    VARIANT arg;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    UINT arg_err = 99;

    void SetUp() override
    {
        VariantInit(&arg);
        arg.vt = VT_I2;
        arg.iVal = 25;
    }

    HRESULT invoke(DISPID id, WORD flags = DISPATCH_METHOD, DISPPARAMS* p = nullptr,
                   EXCEPINFO* ei = nullptr, REFIID riid = IID_NULL)
    {
        return platform::dispatch_invoke(info, static_cast<IPropertyNotifySink*>(&sink), id, riid,
                                         flags, p ? p : &params, nullptr, ei, &arg_err);
    }
};

}  // namespace

TEST_F(DispatchTest, CallsTheMemberWithTheConvertedArgument)
{
    EXPECT_EQ(invoke(kOnChanged), S_OK);
    EXPECT_EQ(sink.changed, std::vector<DISPID>{25});

    LONG by_ref = 26;
    arg.vt = VT_BYREF | VT_I4;
    arg.plVal = &by_ref;
    EXPECT_EQ(invoke(kOnRequestEdit), S_OK);
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_UI1;
    inner.bVal = 27;
    arg.vt = VT_BYREF | VT_VARIANT;
    arg.pvarVal = &inner;
    EXPECT_EQ(invoke(kOnRequestEdit, DISPATCH_METHOD | DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(sink.requested, (std::vector<DISPID>{26, 27}));
}

TEST_F(DispatchTest, MethodResultsPassThroughOrAsException)
{
    sink.request_result = S_FALSE;
    EXPECT_EQ(invoke(kOnRequestEdit), S_FALSE);

    sink.request_result = E_NOTIMPL;
    EXPECT_EQ(invoke(kOnRequestEdit), E_NOTIMPL);
    EXCEPINFO ei;
    EXPECT_EQ(invoke(kOnRequestEdit, DISPATCH_METHOD, nullptr, &ei), DISP_E_EXCEPTION);
    EXPECT_EQ(ei.scode, E_NOTIMPL);
    EXPECT_STREQ(ei.bstrSource, "IPropertyNotifySink");
    SysFreeString(ei.bstrSource);
}

// Counts, names, types and DISPIDs are checked for every member of the library in
// idl/tests; here what only malformed calls can reach.
TEST_F(DispatchTest, MalformedCallsAreRefusedWithoutCallingAnything)
{
    EXPECT_EQ(platform::dispatch_invoke(info, &sink, kOnChanged, IID_NULL, DISPATCH_METHOD, nullptr,
                                        nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(invoke(kOnChanged, 0), E_INVALIDARG);
    EXPECT_EQ(platform::dispatch_invoke(info, nullptr, kOnChanged, IID_NULL, DISPATCH_METHOD,
                                        &params, nullptr, nullptr, nullptr),
              E_UNEXPECTED);
    DISPPARAMS missing_array{nullptr, nullptr, 1, 0};
    EXPECT_EQ(invoke(kOnChanged, DISPATCH_METHOD, &missing_array), E_INVALIDARG);
    DISPID named = 0;
    DISPPARAMS more_names{&arg, &named, 1, 2};
    EXPECT_EQ(invoke(kOnChanged, DISPATCH_METHOD, &more_names), E_INVALIDARG);
    DISPPARAMS missing_names{&arg, nullptr, 1, 1};
    EXPECT_EQ(invoke(kOnChanged, DISPATCH_METHOD, &missing_names), E_INVALIDARG);
    arg.vt = VT_BYREF | VT_I4;
    arg.plVal = nullptr;
    EXPECT_EQ(invoke(kOnChanged), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);
    EXPECT_TRUE(sink.changed.empty());
}

TEST_F(DispatchTest, ThunksCheckTheirArguments)
{
    const platform::member_info* m = platform::find_member(info, kOnChanged, INVOKE_FUNC);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m, platform::find_member_by_method(info, "OnChanged"));
    EXPECT_EQ(platform::find_member_by_method(info, "onchanged"), nullptr);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I2;  // a thunk takes exactly the parameter's type
    v.iVal = 5;
    EXPECT_EQ(m->invoke(static_cast<IPropertyNotifySink*>(&sink), &v), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(m->invoke(nullptr, &v), E_POINTER);
    EXPECT_EQ(m->invoke(static_cast<IPropertyNotifySink*>(&sink), nullptr), E_POINTER);
    v.vt = VT_I4;
    v.lVal = 5;
    EXPECT_EQ(m->invoke(static_cast<IPropertyNotifySink*>(&sink), &v), S_OK);
    EXPECT_EQ(sink.changed, std::vector<DISPID>{5});
}

TEST_F(DispatchTest, GetIDsOfNames)
{
    char member[] = "onrequestEDIT";
    char param[] = "DISPID";
    char unknown[] = "pVal";
    LPOLESTR names[] = {member, param, unknown};
    DISPID ids[3] = {};
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, names, 2, ids), S_OK);
    EXPECT_EQ(ids[0], kOnRequestEdit);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, names, 3, ids),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], kOnRequestEdit);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);

    LPOLESTR bad[] = {unknown};
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, bad, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    LPOLESTR null_name[] = {nullptr};
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, null_name, 1, ids),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_IUnknown, names, 1, ids),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, names, 0, ids), E_INVALIDARG);
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, nullptr, 1, ids), E_POINTER);
    EXPECT_EQ(platform::dispatch_get_ids_of_names(info, IID_NULL, names, 1, nullptr), E_POINTER);
}
