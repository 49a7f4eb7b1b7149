#include "line/tapi_stubs.h"

#include <gtest/gtest.h>

// Each suite runs in its own process (see CMakeLists.txt): the stubs' caches last for the
// process, so one library situation per process.

TEST(AbsentLibrary, EveryStubFailsAndTheLoadIsNeverRetried) {
    HLINEAPP app = 0;
    DWORD devices = 5;
    EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(static_cast<uint32_t>(LINEERR_OPERATIONUNAVAIL), 0x80000049u);
    EXPECT_EQ(tapi_binding::LibraryLoadAttempts(), 1);

    EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineShutdown(app), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineAnswer(1, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineClose(1), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(tapi_binding::LibraryLoadAttempts(), 1);
    EXPECT_EQ(tapi_binding::ExportLookups(), 0);
    EXPECT_EQ(devices, 5u);
}

TEST(PartialLibrary, OnlyTheMissingExportFailsAndIsNotLookedUpAgain) {
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), 0);
    EXPECT_EQ(devices, 1u);
    int lookups = tapi_binding::ExportLookups();

    EXPECT_EQ(lineDrop(1, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(tapi_binding::ExportLookups(), lookups + 1);
    EXPECT_EQ(lineDrop(1, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineDrop(1, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(tapi_binding::ExportLookups(), lookups + 1);

    EXPECT_GT(lineAnswer(1, nullptr, 0), 0);
    EXPECT_EQ(lineDeallocateCall(1), 0);
    EXPECT_EQ(tapi_binding::LibraryLoadAttempts(), 1);
}

TEST(CompleteLibrary, EachExportIsResolvedOnceAndResultsPassThrough) {
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), 0);
    EXPECT_EQ(app, 5u);
    int lookups = tapi_binding::ExportLookups();
    EXPECT_EQ(lookups, 1);

    LONG first = lineAnswer(3, nullptr, 0);
    LONG second = lineAnswer(3, nullptr, 0);
    EXPECT_GT(first, 0);
    EXPECT_EQ(second, first + 1);  // the library's own request ids, passed through unchanged
    EXPECT_EQ(lineGetID(1, 0, 0, LINECALLSELECT_LINE, nullptr, "wave/in"),
              LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), 0);
    EXPECT_EQ(tapi_binding::ExportLookups(), lookups + 2);  // lineAnswer and lineGetIDA, once each
}
