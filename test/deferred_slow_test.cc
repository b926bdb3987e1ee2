// Durations above 20 seconds take the clock-watching wait instead of one
// sleep: through the real binary, the stop still comes after the whole
// duration and not before.
#include "watch.h"

namespace {

class DeferredStopSlowTest : public qtest::BackgroundTest {};

TEST_F(DeferredStopSlowTest, ClockWatchingWaitLastsTheDuration) {
  auto peer = qtest::ListeningPeer({}, {"NODE_LOG_DIR=/data/logs"});
  long long begin = qtest::NowMs();
  qtest::RunResult run = qtest::RunQuellix({"--start_profiling", "time=21s", peer->pid_text()});
  ASSERT_EQ(0, run.status);
  EXPECT_NE(std::string::npos, run.out.find("\n请等待21秒后读取此cpu-profiling结果.\n"));
  pid_t background = qtest::FindBackground({peer->pid()});
  ASSERT_NE(-1, background);
  long long end = qtest::NowMs();

  ASSERT_TRUE(qtest::WaitFor([&] { return peer->HasMessage(1); }, 26000));
  long long arrival = qtest::NowMs();
  EXPECT_GE(arrival - begin, 21000);
  EXPECT_LT(arrival - end, 23000);
  std::string start = peer->Message(0), stop = peer->Message(1);
  EXPECT_EQ(0x80u, qtest::MaskOf(stop));
  EXPECT_EQ(qtest::TextOf(start), qtest::TextOf(stop));
  EXPECT_EQ(background, qtest::SenderOf(stop));
  EXPECT_EQ(42, qtest::ExitCode(background, 3000));
}

}  // namespace
