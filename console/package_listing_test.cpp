#include "console/package_listing.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// Build times are unsigned 32-bit seconds, up to February 2106; on 32-bit machines time_t stops in January 2038, so
// the fields are reckoned without it. They match gmtime() wherever time_t reaches (all of them on 64-bit machines).
TEST(PackageListing, BuildTimesUpTo2106) {
  std::string shown;
  for (uint32_t seconds : {0u, 951782400u, 0x7FFFFFFFu, 0x80000000u, 4107542400u, 0xFFFFFFFFu})
    shown += buildTimeText(seconds) + ", ";
  EXPECT_EQ(shown,
            "Jan/01/1970 00:00:00, Feb/29/2000 00:00:00, Jan/19/2038 03:14:07, Jan/19/2038 03:14:08, "
            "Mar/01/2100 00:00:00, Feb/07/2106 06:28:15, ");
  for (uint64_t seconds = 0; seconds <= UINT32_MAX; seconds += 86399 * 37 + 1) {
    if (sizeof(time_t) < 8 && seconds > INT32_MAX) break;
    const time_t time = static_cast<time_t>(seconds);
    std::tm expected{};
    ASSERT_TRUE(gmtime_r(&time, &expected) != nullptr);
    const std::tm parts = buildTimeParts(static_cast<uint32_t>(seconds));
    ASSERT_EQ(std::tie(parts.tm_year, parts.tm_mon, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                       parts.tm_wday, parts.tm_yday),
              std::tie(expected.tm_year, expected.tm_mon, expected.tm_mday, expected.tm_hour, expected.tm_min,
                       expected.tm_sec, expected.tm_wday, expected.tm_yday))
        << seconds;
  }
}

}  // namespace
