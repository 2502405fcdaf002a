// Progress objects: stages, values and the host's procedure.
#include <QXCore/QXProgress.h>
#include <gtest/gtest.h>

#include <vector>

#include "cf/CFRef.h"

namespace {

// What the host's procedure saw at each call.
struct Seen {
  int32_t event, stage;
  CFStringRef name;
  int32_t value, count;
  bool operator==(const Seen&) const = default;
};

struct Host {
  std::vector<Seen> calls;
  int32_t answer = 0;
};

int32_t hostProc(QXProgressRef progress, int32_t event) {
  auto* host = static_cast<Host*>(QXProgressGetContext(progress));
  host->calls.push_back({event, QXProgressGetStage(progress), QXProgressGetStageName(progress),
                         QXProgressGetStageValue(progress), QXProgressGetStageCount(progress)});
  return host->answer;
}

}  // namespace

TEST(ProgressTest, StagesReachTheHostWithTheObjectUpToDate) {
  // A null object is accepted everywhere and does nothing.
  EXPECT_EQ((std::vector<intptr_t>{QXProgressDoProgressBeginStage(nullptr, 2, CFSTR("S"), 10),
                                   QXProgressDoProgressUpdateStage(nullptr, 1), QXProgressDoProgressEndStage(nullptr),
                                   QXProgressDoProgress(nullptr, 1), QXProgressGetRefcon(nullptr)}),
            std::vector<intptr_t>(5, 0));
  QXProgressSetCB(nullptr, hostProc, nullptr);
  QXProgressSetStageName(nullptr, CFSTR("S"));
  EXPECT_EQ(nullptr, QXProgressGetStageName(nullptr));
  QXProgressRelease(nullptr);

  QXProgressRef progress = QXProgressCreate();
  ASSERT_NE(nullptr, progress);
  // No procedure yet: announcing records and answers 0.
  EXPECT_EQ(0, QXProgressDoProgressBeginStage(progress, 1, CFSTR("Early"), 3));
  EXPECT_EQ(3, QXProgressGetStageCount(progress));

  Host host;
  QXProgressSetCB(progress, hostProc, &host);
  QXProgressSetStageValue(progress, 9);  // setters call nothing
  EXPECT_TRUE(host.calls.empty());

  CFStringRef name = CFSTR("Reading");
  EXPECT_EQ(0, QXProgressDoProgressBeginStage(progress, 2, name, 10));
  EXPECT_EQ(0, QXProgressDoProgressUpdateStage(progress, 4));
  host.answer = -128;  // the host asks to stop
  EXPECT_EQ((std::vector<int32_t>{QXProgressDoProgressUpdateStage(progress, 5), QXProgressDoProgressEndStage(progress),
                                  QXProgressDoProgress(progress, 42)}),
            std::vector<int32_t>(3, -128));
  // Begin left stage 2, the name, count 10 and value 0 (not the 9 set before) when the procedure looked.
  EXPECT_EQ(
      host.calls,
      (std::vector<Seen>{
          {1, 2, name, 0, 10}, {2, 2, name, 4, 10}, {2, 2, name, 5, 10}, {3, 2, name, 5, 10}, {42, 2, name, 5, 10}}));

  // The object holds its own references to the name and the title, and lets them go.
  auto next = qxcf::adopt(CFStringCreateWithCString(nullptr, "Writing", kCFStringEncodingUTF8));
  CFIndex held = CFGetRetainCount(next.get());
  QXProgressSetStageName(progress, next.get());
  QXProgressSetTitle(progress, next.get());
  EXPECT_EQ(held + 2, CFGetRetainCount(next.get()));
  QXProgressRelease(progress);
  EXPECT_EQ(held, CFGetRetainCount(next.get()));
}
