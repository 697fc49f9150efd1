#include <gtest/gtest.h>

#include "os_version.h"

namespace {

struct VersionCase {
  unsigned long platform, major, minor;
  OsVersion expected;
};

TEST(OsVersion, MapsPlatformAndVersionToOrderedNumber) {
  const VersionCase cases[] = {
      // 9x family
      {1, 4, 0, 1}, {1, 4, 10, 2}, {1, 4, 90, 3}, {1, 5, 95, 3}, {1, 4, 5, 0}, {1, 3, 95, 0},
      // NT family
      {2, 3, 51, 0}, {2, 4, 0, 4}, {2, 4, 9, 4}, {2, 5, 0, 5}, {2, 5, 1, 6}, {2, 5, 2, 7}, {2, 5, 7, 7},
      {2, 6, 0, 8}, {2, 6, 1, 9}, {2, 6, 2, 10}, {2, 6, 3, 11}, {2, 6, 4, 0}, {2, 10, 0, 12}, {2, 7, 0, 12},
      // anything else
      {0, 6, 1, 0}, {3, 10, 0, 0},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "platform " << c.platform << " version " << c.major << "." << c.minor);
    EXPECT_EQ(osVersionFor(c.platform, c.major, c.minor), c.expected);
  }
}

}  // namespace
