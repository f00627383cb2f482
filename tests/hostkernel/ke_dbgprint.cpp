// DbgPrint's Windows format specifiers, the debug log, assertions and the
// wide formatting routines.
#include <string>

#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

std::string Last(hk::Machine& m) {
    auto log = m.DebugLog();
    return log.empty() ? std::string("<none>") : log.back();
}

TEST(KeDbgPrint, FormatTable) {
    hk::Machine m;
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, u"Bus\\0001");
    ANSI_STRING as;
    RtlInitAnsiString(&as, "ansi");
    const ULONG big = 0xC0000120u;
    const LONG neg = -5;
    struct Row {
        std::string got;
        const char* expected;
    };
#define ROW(expected, ...) Row{(DbgPrint(__VA_ARGS__), Last(m)), expected}
    const Row rows[] = {
        ROW("c0000120", "%x", big),
        ROW("C0000120", "%X", big),
        ROW("0000abcd", "%08x", 0xABCDu),
        ROW("0x1f", "%#x", 0x1Fu),
        ROW("00000000DEADBEEF", "%p", (void*)0xDEADBEEFull),
        ROW("3221225760", "%lu", big),
        ROW("-5", "%ld", neg),
        ROW("-5|+7| 7", "%d|%+d|% d", -5, 7, 7),
        ROW("4294967291", "%u", (ULONG)neg),
        ROW("123456789abcdef0", "%I64x", 0x123456789ABCDEF0ull),
        ROW("123456789abcdef0", "%llx", 0x123456789ABCDEF0ull),
        ROW("ffffffffffffffff", "%Ix", (ULONG_PTR)-1),
        ROW("narrow", "%s", "narrow"),
        ROW("narrow", "%hs", "narrow"),
        ROW("wide", "%ws", u"wide"),
        ROW("wide", "%S", u"wide"),
        ROW("wide", "%ls", u"wide"),
        ROW("Bus\\0001", "%wZ", &us),
        ROW("ansi", "%Z", &as),
        ROW("(null)", "%s", (const char*)nullptr),
        ROW("x", "%c", 'x'),
        ROW("100%", "%d%%", 100),
        ROW("[   ab][ab   ]", "[%5s][%-5s]", "ab", "ab"),
        ROW("[abc]", "[%.3s]", "abcdef"),
        ROW("[  42][42  ][0042]", "[%4d][%-4d][%.4d]", 42, 42, 42),
        ROW("[   -0042]", "[%8.4d]", -42),
        ROW("[    7]", "[%*d]", 5, 7),
        ROW("12", "%hu", 0x1000Cu),
    };
#undef ROW
    for (const Row& r : rows) EXPECT_EQ(r.expected, r.got);
}

TEST(KeDbgPrint, EachCallIsOneEntryWithRawBytes) {
    hk::Machine m;
    m.ClearDebugLog();
    DbgPrint("[VuzODidIrizaz]");
    DbgPrint("Kelo\xA3\xBA BulkUsb_ReadTouchCatch the exception\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%d\n", 3);
    auto log = m.DebugLog();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("[VuzODidIrizaz]", log[0]);
    EXPECT_EQ(std::string("Kelo\xA3\xBA BulkUsb_ReadTouchCatch the exception\n"), log[1]);
    EXPECT_EQ("3\n", log[2]);
}

TEST(KeDbgPrint, AssertionIsRecordedAndExecutionContinues) {
    hk::Machine m;
    RtlAssert((PVOID) "pdx->Common.IsFDO", (PVOID) "VhubVMic\\fdo", 120, nullptr);
    bool continued = true;
    auto a = m.Assertions();
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("pdx->Common.IsFDO", a[0].expression);
    EXPECT_EQ("VhubVMic\\fdo", a[0].file);
    EXPECT_EQ(120u, a[0].line);
    EXPECT_TRUE(continued);
    EXPECT_NE(std::string::npos, m.DebugText().find("pdx->Common.IsFDO"));
}

TEST(KeWideFormat, WindowsSemantics) {
    hk::Machine m;
    WCHAR buf[64];
    EXPECT_EQ(30, swprintf(buf, u"USB\\VID_%04X&PID_%04X&REV_%04X", 0xFC01, 0xFD01, 0xABCD));
    EXPECT_EQ(std::u16string(u"USB\\VID_FC01&PID_FD01&REV_ABCD"), std::u16string(buf));
    // %s is wide in a wide routine, %hs narrow
    swprintf(buf, u"%s|%hs|%S", u"w", "n", "n2");
    EXPECT_EQ(std::u16string(u"w|n|n2"), std::u16string(buf));

    // _snwprintf: no terminator when the text fills the buffer, -1 when cut
    WCHAR small[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(4, _snwprintf(small, 4, u"%d", 1234));
    EXPECT_EQ(u'4', small[3]);
    EXPECT_EQ(-1, _snwprintf(small, 4, u"%d", 12345));

    // swprintf_s: too small leaves an empty string and -1
    WCHAR s2[4];
    EXPECT_EQ(-1, swprintf_s(s2, 4, u"%d", 1234));
    EXPECT_EQ(0, s2[0]);
    EXPECT_EQ(3, swprintf_s(s2, 4, u"%d", 123));

    EXPECT_EQ(0, _wcsnicmp(u"USB\\Composite", u"usb\\COMPOSITE", 13));
    EXPECT_NE(0, _wcsicmp(u"abc", u"abd"));
    EXPECT_EQ(nullptr, wcschr(u"abc", u'z'));
    EXPECT_EQ(3u, wcslen(u"abc"));
}

TEST(KeRtl, GuidStringAndUnicodeHelpers) {
    hk::Machine m;
    static const GUID g = {0xA918DC47, 0x8798, 0x45A3, {0x83, 0x51, 0xCB, 0xF0, 0xAB, 0x47, 0x20, 0x8A}};
    UNICODE_STRING s;
    ASSERT_EQ(STATUS_SUCCESS, RtlStringFromGUID(g, &s));
    EXPECT_EQ(std::u16string(u"{A918DC47-8798-45A3-8351-CBF0AB47208A}"),
              std::u16string(s.Buffer, s.Length / 2));
    RtlFreeUnicodeString(&s);

    WCHAR storage[8];
    UNICODE_STRING d{0, sizeof storage, storage};
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&d, u"abc"));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&d, u"defghi"));
    EXPECT_EQ(6, d.Length);
    HK_EXPECT_CLEAN(m);
}

}  // namespace
