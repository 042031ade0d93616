#include "platform/com/interfaces.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

TEST(Guid, BracedUpperCaseFormRoundTrips)
{
    char text[GUID_STRING_CHARS];
    ASSERT_EQ(StringFromGUID2(IID_IDispatch, text, sizeof text), 39);
    EXPECT_STREQ(text, "{00020400-0000-0000-C000-000000000046}");
    ASSERT_EQ(StringFromGUID2(IID_IPropertyNotifySink, text, sizeof text), 39);
    EXPECT_STREQ(text, "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");

    IID parsed{};
    EXPECT_EQ(IIDFromString(text, &parsed), S_OK);
    EXPECT_TRUE(parsed == IID_IPropertyNotifySink);

    CLSID lower{};
    EXPECT_EQ(CLSIDFromString("{b196b284-bab4-101a-b69c-00aa00341d07}", &lower), NOERROR);
    EXPECT_TRUE(IsEqualGUID(lower, IID_IConnectionPointContainer));
}

TEST(Guid, ShortBufferWritesNothing)
{
    char text[38];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(StringFromGUID2(IID_IUnknown, text, sizeof text), 0);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(StringFromGUID2(IID_IUnknown, nullptr, 39), 0);
}

TEST(Guid, MalformedStringsAreRefusedAndLeaveNull)
{
    const char* bad[] = {
        "",
        "00020400-0000-0000-C000-000000000046",     // no braces
        "{00020400-0000-0000-C000-000000000046",    // no closing brace
        "{00020400-0000-0000-C000-000000000046}x",  // trailing text
        "{00020400-0000-0000-C0000-00000000046}",   // dash in the wrong place
        "{0002040G-0000-0000-C000-000000000046}",   // not hex
        "{00020400-0000-0000-C000-0000000000}",     // short
        "Ostra.Tethra",                             // a ProgID
    };
    for (const char* s : bad) {
        CLSID clsid = IID_IDispatch;
        EXPECT_EQ(CLSIDFromString(s, &clsid), CO_E_CLASSSTRING) << s;
        EXPECT_TRUE(clsid == GUID_NULL) << s;
        IID iid = IID_IDispatch;
        EXPECT_EQ(IIDFromString(s, &iid), E_INVALIDARG) << s;
        EXPECT_TRUE(iid == GUID_NULL) << s;
    }
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(IIDFromString("{00020400-0000-0000-C000-000000000046}", nullptr), E_INVALIDARG);
}

TEST(Guid, EqualityAndOrderUseEveryField)
{
    IID a = IID_IConnectionPoint;
    IID b = a;
    EXPECT_TRUE(a == b);
    b.Data4[7] ^= 1;
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE((a < b) != (b < a));

    // The four connection interfaces differ only in Data1 and sort by it.
    std::map<IID, int> ids{{IID_IEnumConnections, 3}, {IID_IConnectionPointContainer, 0},
                           {IID_IConnectionPoint, 2}, {IID_IEnumConnectionPoints, 1}};
    int expected = 0;
    for (const auto& [iid, order] : ids)
        EXPECT_EQ(order, expected++);
    EXPECT_TRUE(IID_NULL == GUID_NULL);
    EXPECT_FALSE(IID_IUnknown == IID_NULL);
}
