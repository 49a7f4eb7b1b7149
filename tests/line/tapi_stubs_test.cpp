#include "line/tapi_stubs.h"

#include <gtest/gtest.h>

namespace {

// One row per library situation; each runs in its own process with VANTORO_TAPI naming its
// library (see CMakeLists.txt), since the stubs' caches last for the process.
struct StubRow {
    const char* name;
    LONG initialize;  // what lineInitialize gives, every time
    LONG drop;        // what lineDrop gives, every time
    bool answers;     // lineAnswer reaches the library (its request ids pass through)
    int lookups;      // export look-ups in all: each export once, none without a library
    DWORD devices;    // as lineInitialize left it
};
void PrintTo(const StubRow& row, std::ostream* out) { *out << row.name; }

const StubRow kRows[] = {
    {"absent", LINEERR_OPERATIONUNAVAIL, LINEERR_OPERATIONUNAVAIL, false, 0, 5},
    {"partial", 0, LINEERR_OPERATIONUNAVAIL, true, 3, 1},  // the library lacks lineDrop
    {"complete", 0, 1, true, 3, 1},
};

class LateBoundStubs : public ::testing::TestWithParam<StubRow> {};

TEST_P(LateBoundStubs, ResolveEachExportOnceAndFailForGoodWhereMissing) {
    const StubRow& row = GetParam();
    HLINEAPP app = 0;
    DWORD devices = 5;
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, "test", &devices), row.initialize);
        EXPECT_EQ(lineDrop(1, nullptr, 0), row.drop);
    }
    const LONG first = lineAnswer(3, nullptr, 0), second = lineAnswer(3, nullptr, 0);
    EXPECT_EQ(first > 0 && second == first + 1, row.answers) << first << " " << second;
    EXPECT_EQ(tapi_binding::LibraryLoadAttempts(), 1);
    EXPECT_EQ(tapi_binding::ExportLookups(), row.lookups);
    EXPECT_EQ(devices, row.devices);
}

INSTANTIATE_TEST_SUITE_P(Rows, LateBoundStubs, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
