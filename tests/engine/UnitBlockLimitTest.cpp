// The bound on the blocks of one transfer, which the block transfers share:
// reaching it through the exported interface would take tens of thousands of
// exchanges.
#include <gtest/gtest.h>

#include <string>

#include "engine/PduHelpers.h"

using namespace quillon;

namespace {

// Counts blocks until the limit refuses one; returns how many were accepted
// and the refusal's text.
std::pair<int, std::string> CountUntilRefused(size_t bytesPerBlock, int attempts) {
  TBlockLimit limit;
  for (int i = 0; i < attempts; ++i) {
    try {
      limit.Count(bytesPerBlock);
    } catch (const std::exception& e) {
      return {i, e.what()};
    }
  }
  return {attempts, ""};
}

TEST(BlockLimit, BoundsBlocksAndBlocksWithoutData) {
  const struct {
    size_t Bytes;
    int Attempts;
    int Accepted;
    const char* Message;
  } cases[] = {
      {1, 65536, 65536, ""},
      {1, 65537, 65536, "Block transfer longer than 65536 blocks"},
      {0, 16, 16, ""},
      {0, 17, 16, "Block transfer with more than 16 blocks without data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Attempts);
    const auto [accepted, message] = CountUntilRefused(c.Bytes, c.Attempts);
    EXPECT_EQ(accepted, c.Accepted);
    EXPECT_EQ(message, c.Message);
  }
}

}  // namespace
