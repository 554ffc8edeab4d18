#include "host/transfer_clock.h"

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

using namespace std::chrono_literals;

TEST(TransferClockTest, EachPeriodMustMoveAByteAndTheMinimumRatesWorth) {
  const TTransferLimits limits{2000ms, 240}; // 480 bytes a period
  const TTransferClock::TTime start{};
  TTransferClock clock;
  clock.Start(start);
  EXPECT_EQ(clock.Deadline(limits), start + 2000ms);
  // A burst into the system's buffers carries the first period only.
  clock.Progress(100000);
  EXPECT_TRUE(clock.Renew(start + 2000ms, limits));
  EXPECT_EQ(clock.Deadline(limits), start + 4000ms);
  clock.Progress(479);
  EXPECT_FALSE(clock.Renew(start + 4000ms, limits));
  EXPECT_EQ(clock.Shortfall(limits), "only 479 bytes in 2 s, below 240 bytes per second");
  clock.Start(start);
  EXPECT_FALSE(clock.Renew(start + 2000ms, limits));
  EXPECT_EQ(clock.Shortfall(limits), "nothing for 2 s");
  // Without a minimum rate, one byte a period keeps a transfer going.
  clock.Progress(1);
  EXPECT_TRUE(clock.Renew(start + 2000ms, TTransferLimits{2000ms, 0}));
}

} // namespace
} // namespace isapi_web::host
