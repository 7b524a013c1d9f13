#include "boundary/rate_window.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

using kestrel::RateWindow;

constexpr std::uint64_t kSecond = RateWindow::kLengthNs;
constexpr std::uint64_t kStart = 1'700'000'000 * kSecond;  // a plausible wall-clock reading

struct Call {
    std::uint64_t now_ns;
    std::uint64_t limit;
    bool admitted;
};

struct RateCase {
    const char* name;
    std::uint64_t start_ns;  // the clock reading at construction
    std::vector<Call> calls;
    std::uint64_t final_start_ns;  // where the last window opened
    std::uint64_t final_count;     // calls counted in it, refused ones included
};

const RateCase kCases[] = {
    {"LimitTwoAdmitsTwoThenRefuses",
     kStart,
     {{kStart, 2, true}, {kStart + 1, 2, true}, {kStart + 2, 2, false}, {kStart + 3, 2, false}},
     kStart,
     4},
    {"LastNanosecondBelongsToTheWindow",
     kStart,
     {{kStart + kSecond - 1, 1, true}, {kStart + kSecond - 1, 1, false}},
     kStart,
     2},
    {"OneSecondLaterOpensANewWindow",
     kStart,
     {{kStart, 1, true}, {kStart + 1, 1, false}, {kStart + kSecond, 1, true}, {kStart + kSecond + 1, 1, false}},
     kStart + kSecond,
     2},
    {"NewWindowStartsAtTheCallNotOnTheGrid",
     kStart,
     {{kStart + 3 * kSecond / 2, 1, true}, {kStart + 2 * kSecond + 1, 1, false}, {kStart + 5 * kSecond / 2, 1, true}},
     kStart + 5 * kSecond / 2,
     1},
    // Zero admits nothing in the first window, which counts from construction,
    // but every later window admits the call that opens it.
    {"ZeroLimit",
     kStart,
     {{kStart, 0, false},
      {kStart + kSecond - 1, 0, false},
      {kStart + kSecond, 0, true},
      {kStart + kSecond + 1, 0, false},
      {kStart + 3 * kSecond, 0, true}},
     kStart + 3 * kSecond,
     1},
    // A refused call is counted: a larger limit later in the window sees it.
    {"RefusedCallsUseUpTheBudget",
     kStart,
     {{kStart, 1, true}, {kStart + 1, 1, false}, {kStart + 2, 2, false}, {kStart + 3, 4, true}},
     kStart,
     4},
    {"HighestLimitAdmitsEverything",
     kStart,
     {{kStart, UINT64_MAX, true}, {kStart, UINT64_MAX, true}, {kStart + 1, UINT64_MAX, true}},
     kStart,
     3},
    // A clock that steps back before the window's start, by any amount, opens
    // a new window at the earlier time, even when the budget is spent; a step
    // back that stays within the window does not.
    {"ClockStepsBackOneNanosecond",
     kStart,
     {{kStart, 1, true}, {kStart + 1, 1, false}, {kStart - 1, 1, true}, {kStart, 1, false}},
     kStart - 1,
     2},
    {"ClockStepsBackWithinTheWindow",
     kStart,
     {{kStart + 10, 1, true}, {kStart + 11, 1, false}, {kStart + 9, 1, false}},
     kStart,
     3},
    {"ClockStepsBackAnHour",
     kStart,
     {{kStart, 1, true}, {kStart - 3600 * kSecond, 1, true}, {kStart - 3600 * kSecond + kSecond - 1, 1, false}},
     kStart - 3600 * kSecond,
     2},
    // A clock before the epoch reads 0; the next real reading is a second or
    // more later and opens a new window.
    {"ClockBeforeTheEpoch", 0, {{0, 1, true}, {5, 1, false}, {kStart, 1, true}}, kStart, 1},
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class RateWindowTable : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateWindowTable, Admits) {
    const RateCase& c = GetParam();
    RateWindow window(c.start_ns);
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(window.admit(c.calls[i].now_ns, c.calls[i].limit), c.calls[i].admitted);
    }
    EXPECT_EQ(window.start_ns(), c.final_start_ns);
    EXPECT_EQ(window.count(), c.final_count);
}

INSTANTIATE_TEST_SUITE_P(Cases, RateWindowTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

}  // namespace
