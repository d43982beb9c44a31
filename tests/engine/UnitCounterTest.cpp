// The built-in invocation counter and the conformance numbering, which have no
// deterministic route through the exported interface (the counter follows the
// wall clock).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "engine/ExtendedContext.h"

using namespace quillon;

namespace {

TEST(FrameCounter, FollowsTheClockAndNeverRepeats) {
  struct Step {
    int64_t Clock;  // seconds since 2011-04-07 00:00
    uint32_t Expected;
  };
  // Same second: +1 each call. Clock moves on: jump to 5 x seconds. Clock
  // moves back or stalls while ahead: keep counting up.
  const Step steps[] = {
      {100, 500}, {100, 501}, {100, 502}, {101, 505}, {101, 506}, {101, 507}, {101, 508},
      {101, 509}, {101, 510}, {102, 511}, {103, 515}, {90, 516},  {200, 1000},
  };
  TFrameCounter::FLastValue = 0;
  for (const Step& s : steps) EXPECT_EQ(TFrameCounter::NextFor(s.Clock), s.Expected) << "clock " << s.Clock;
}

TEST(FrameCounter, WrapsInThirtyTwoBits) {
  // 5 x 900000000 s = 4500000000, which keeps only its low 32 bits.
  TFrameCounter::FLastValue = 0;
  EXPECT_EQ(TFrameCounter::NextFor(900000000), static_cast<uint32_t>(4500000000ull & 0xFFFFFFFFull));
}

TEST(FrameCounter, GetNextIsStrictlyIncreasing) {
  TFrameCounter::FLastValue = 0;
  uint32_t last = TFrameCounter::GetNext();
  EXPECT_GT(last, 5u * 86400u * 365u * 10u) << "clock-derived, not a small count";
  for (int i = 0; i < 20; ++i) {
    const uint32_t next = TFrameCounter::GetNext();
    EXPECT_GT(next, last);
    last = next;
  }
}

TEST(FrameCounter, FollowsUtcWhateverTheLocalTimeZone) {
  // Local time 14 hours ahead of UTC: a counter on local time would start
  // 5 x 50400 above the UTC one, and fall back when the zone changes.
  const char* saved = std::getenv("TZ");
  const std::string savedZone = saved ? saved : "";
  setenv("TZ", "<+14>-14", 1);
  tzset();
  std::tm epoch{};
  epoch.tm_year = 2011 - 1900;
  epoch.tm_mon = 3;
  epoch.tm_mday = 7;
  const int64_t start = timegm(&epoch);
  TFrameCounter::FLastValue = 0;
  const int64_t before = std::time(nullptr);
  const uint32_t value = TFrameCounter::GetNext();
  const int64_t after = std::time(nullptr);
  if (saved) setenv("TZ", savedZone.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_GE(value, static_cast<uint32_t>(5 * (before - start)));
  EXPECT_LE(value, static_cast<uint32_t>(5 * (after - start)));
}

TEST(FrameCounter, ThreadsNeverShareAValue) {
  TFrameCounter::FLastValue = 0;
  // One clock reading for all: every value comes from counting up.
  constexpr int kThreads = 4, kDraws = 100000;
  std::vector<std::vector<uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (auto& mine : drawn)
    threads.emplace_back([&mine] {
      for (int i = 0; i < kDraws; ++i) mine.push_back(TFrameCounter::NextFor(100));
    });
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (const auto& mine : drawn) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a value was handed out twice";
}

TEST(FrameCounter, RefusesToWrapToValuesAlreadyUsed) {
  TFrameCounter::FLastValue = 0xFFFFFFFFu;
  try {
    const uint32_t v = TFrameCounter::NextFor(100);
    ADD_FAILURE() << "counter went on with " << v;
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Built-in invocation counter exhausted");
  }
  TFrameCounter::FLastValue = 0;
}

TEST(ConformanceNumbering, PlainBitsMoveUpByFive) {
  const struct {
    uint32_t Plain;
    TProtectionServices Expected;
  } cases[] = {
      {1u << 19, {rcGET}},
      {1u << 0, {rcRESERVED0}},
      {1u << 23, {rcACTION}},
      {(1u << 2) | (1u << 11) | (1u << 12),
       {rcGENERAL_BLOCK_TRANSFER, rcBLOCK_TRANSFER_WITH_GET_OR_READ, rcBLOCK_TRANSFER_WITH_SET_OR_WRITE}},
      {0xFF000000u, {}},  // bits above the 24 conformance bits are not conformance
  };
  for (const auto& c : cases)
    EXPECT_EQ(TContextHelper::ConformanceAsParameterSet(c.Plain).Bits(), c.Expected.Bits()) << std::hex << c.Plain;
}

}  // namespace
