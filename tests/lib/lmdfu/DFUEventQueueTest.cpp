#include "lib/lmdfu/DFUEventQueue.h"

#include <gtest/gtest.h>

namespace {

std::vector<tLMDFUEvent> All(tLMDFUEventQueue& aQueue) {
  std::vector<tLMDFUEvent> Events;
  aQueue.Drain([&](const tLMDFUEvent& e) { Events.push_back(e); });
  return Events;
}

TEST(DFUEventQueue, HoldsTheEndBackUntilTheCallIsOverAndKeepsTheOrder) {
  tLMDFUEventQueue Q;
  Q.DFUCallStarted();
  Q.PostDFUMessage(WM_DFU_DOWNLOAD, 100);
  Q.PostDFUMessage(WM_DFU_PROGRESS, 50);
  EXPECT_EQ(All(Q), (std::vector<tLMDFUEvent>{{WM_DFU_DOWNLOAD, 100}, {WM_DFU_PROGRESS, 50}}));
  Q.PostDFUMessage(WM_DFU_PROGRESS, 100);
  Q.PostDFUMessage(WM_DFU_COMPLETE, 0);
  EXPECT_EQ(All(Q), (std::vector<tLMDFUEvent>{{WM_DFU_PROGRESS, 100}}));
  EXPECT_FALSE(Q.WaitFor(std::chrono::milliseconds(1)));
  Q.DFUCallEnded();
  EXPECT_TRUE(Q.WaitFor(std::chrono::milliseconds(1)));
  EXPECT_EQ(All(Q), (std::vector<tLMDFUEvent>{{WM_DFU_COMPLETE, 0}}));
  // Outside a call nothing is held.
  Q.PostDFUMessage(WM_DFU_ERROR, 0);
  EXPECT_EQ(All(Q), (std::vector<tLMDFUEvent>{{WM_DFU_ERROR, 0}}));
  // An unmatched end does not unbalance later calls.
  Q.DFUCallEnded();
  Q.DFUCallStarted();
  Q.PostDFUMessage(WM_DFU_ERROR, 0);
  EXPECT_TRUE(All(Q).empty());
  Q.DFUCallEnded();
  EXPECT_EQ(All(Q).size(), 1u);
}

}  // namespace
