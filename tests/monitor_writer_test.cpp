// The log writer's bound: while another writer holds the file (a slow disk),
// calls only queue; what does not fit is dropped, counted, and the count logged.
#include <gtest/gtest.h>

#include "monitor/log_writer.h"
#include "tests/monitor_fixture.h"

namespace varrow {
namespace {

TEST(MonitorWriter, DropsAndCountsWhatTheQueueCannotHold) {
  test::ScratchDir dir;
  monitor::WriterOptions options;
  options.path = dir / L"bounded.txt";
  options.maxEntries = 8;
  options.idleExitMs = 50;
  monitor::LogWriter writer(options);
  // Hold the file as another writer would: the writer thread waits, the queue fills.
  HANDLE held = CreateMutexW(nullptr, TRUE, monitor::LogMutexName(options.path, L"File", 0).c_str());
  ASSERT_NE(held, nullptr);
  int accepted = 0;
  for (int i = 0; i < 100; ++i) {
    monitor::LogEntry entry;
    entry.function = "Entry" + std::to_string(i);
    if (writer.Submit(std::make_unique<monitor::ReadyEntry>(entry))) ++accepted;
  }
  EXPECT_LE(accepted, 16);  // the queue, and at most one batch taken before the file was free
  ReleaseMutex(held);
  CloseHandle(held);
  writer.Flush(5000);
  const monitor::WriterStats stats = writer.Stats();
  EXPECT_EQ(stats.written, static_cast<std::uint64_t>(accepted));
  EXPECT_EQ(stats.dropped, static_cast<std::uint64_t>(100 - accepted));
  std::string text;
  ASSERT_TRUE(test::ReadFileText(options.path, &text));
  EXPECT_NE(text.find(" entries not logged (queue full"), std::string::npos) << text;
  EXPECT_NE(text.find("Entry0"), std::string::npos);
}

}  // namespace
}  // namespace varrow
