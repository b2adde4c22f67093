// The log writer's bounds: while another writer holds the file (a slow disk),
// calls only queue; what does not fit is dropped, counted, and the count
// logged. While no one may write the file, rendered entries wait within a
// bound; what does not fit is lost, counted, and noted once the file is back.
#include <gtest/gtest.h>

#include <algorithm>

#include "log/log_writer.h"
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
  HANDLE held = monitor::HoldLogFile(options.path);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  int accepted = 0;
  for (int i = 0; i < 100; ++i) {
    monitor::LogEntry entry;
    entry.function = "Entry" + std::to_string(i);
    if (writer.Submit(std::make_unique<monitor::ReadyEntry>(entry))) ++accepted;
  }
  EXPECT_LE(accepted, 16);  // the queue, and at most one batch taken before the file was free
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

// A flat-out burst (100,000 entries, as 50,000 calls with entry and exit make)
// while the writer cannot write at all waits in the queue: nothing is dropped,
// and the entries come out whole and in order once the file is free.
TEST(MonitorWriter, TakesABurstWithoutDropping) {
  test::ScratchDir dir;
  monitor::WriterOptions options;  // the library's own bounds
  options.path = dir / L"burst.txt";
  options.idleExitMs = 50;
  monitor::LogWriter writer(options);
  HANDLE held = monitor::HoldLogFile(options.path);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  constexpr int kBurst = 100000;
  monitor::LogEntry entry;
  entry.fields = {{"ChannelID", "1"}};
  for (int i = 0; i < kBurst; ++i) {
    entry.function.assign(1, 'B');  // not = "B" + ...: GCC would warn of an overlapping copy
    entry.function += std::to_string(i);
    ASSERT_TRUE(writer.Submit(std::make_unique<monitor::ReadyEntry>(entry))) << "entry " << i;
  }
  CloseHandle(held);
  writer.Flush(60000);
  EXPECT_EQ(writer.Stats().written, static_cast<std::uint64_t>(kBurst));
  EXPECT_EQ(writer.Stats().dropped, 0u);
  std::string text;
  ASSERT_TRUE(test::ReadFileText(options.path, &text));
  std::size_t at = 0;
  for (int i = 0; i < kBurst; i += 997) {
    at = text.find(" B" + std::to_string(i) + " ", at);
    ASSERT_NE(at, std::string::npos) << "entry " << i << " missing or out of order";
  }
}

TEST(MonitorWriter, CountsAndNotesWhatTheFileCouldNotTake) {
  test::ScratchDir dir;
  monitor::WriterOptions options;
  options.path = dir / L"held.txt";
  options.maxCarryBytes = 600;  // a few entries
  options.idleExitMs = 50;
  monitor::LogWriter writer(options);
  // A program holds the file without write sharing before the writer opens it.
  HANDLE held = CreateFileW(options.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  constexpr int kHeld = 40;
  for (int i = 0; i < kHeld; ++i) {
    monitor::LogEntry entry;
    entry.function = "Held" + std::to_string(i);
    ASSERT_TRUE(writer.Submit(std::make_unique<monitor::ReadyEntry>(entry)));
    if (i % 10 == 9) writer.Flush(5000);  // a batch of ten at a time, each refused
  }
  CloseHandle(held);
  monitor::LogEntry last;
  last.function = "AfterRelease";
  ASSERT_TRUE(writer.Submit(std::make_unique<monitor::ReadyEntry>(last)));
  writer.Flush(5000);
  const monitor::WriterStats stats = writer.Stats();
  EXPECT_GT(stats.unwritten, 0u);
  EXPECT_EQ(stats.written + stats.unwritten, static_cast<std::uint64_t>(kHeld + 1));
  std::string text;
  ASSERT_TRUE(test::ReadFileText(options.path, &text));
  const std::string note = std::to_string(stats.unwritten) + " entries not logged: the log file could not be written";
  EXPECT_NE(text.find(note), std::string::npos) << text;
  EXPECT_NE(text.find("AfterRelease"), std::string::npos);
  int logged = 0;
  for (int i = 0; i < kHeld; ++i) logged += text.find("Held" + std::to_string(i) + " ") != std::string::npos;
  EXPECT_EQ(static_cast<std::uint64_t>(logged) + stats.unwritten, static_cast<std::uint64_t>(kHeld));
}

// An entry of a large message (a 4 KB one renders to about 14 KB) that notes,
// when it is rendered, how many entries were rendered since the file last grew.
class LargeEntry : public monitor::EntrySource {
 public:
  struct Watch {
    std::wstring path;
    std::uint64_t lastSize = 0;
    int sinceGrowth = 0;
    int most = 0;  // the most entries rendered before the file grew
  };
  explicit LargeEntry(Watch* watch) : watch_(watch) {}
  std::size_t Bytes() const override { return 16000; }
  void Build(monitor::LogEntry* entry) const override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    std::uint64_t size = 0;
    if (GetFileAttributesExW(watch_->path.c_str(), GetFileExInfoStandard, &data)) {
      size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    watch_->sinceGrowth = size > watch_->lastSize ? 1 : watch_->sinceGrowth + 1;
    watch_->lastSize = size;
    watch_->most = std::max(watch_->most, watch_->sinceGrowth);
    *entry = monitor::LogEntry();
    entry->function = "Large";
    entry->fields = {{"Data", std::string(14000, 'A')}};
  }

 private:
  Watch* watch_;
};

// A thousand such entries taken at once (after a stall) are written in
// batches of about 4 MiB of text, not rendered into one block of 14 MB.
TEST(MonitorWriter, ABatchEndsOnceItsTextPassesItsBound) {
  test::ScratchDir dir;
  monitor::WriterOptions options;
  options.path = dir / L"large.txt";
  options.periodMs = 60000;  // the writer takes the queue when told to, all of it at once
  options.idleExitMs = 50;
  monitor::LogWriter writer(options);
  LargeEntry::Watch watch;
  watch.path = options.path;
  constexpr int kEntries = 1000;
  for (int i = 0; i < kEntries; ++i) ASSERT_TRUE(writer.Submit(std::make_unique<LargeEntry>(&watch)));
  writer.Flush(60000);
  EXPECT_EQ(writer.Stats().written, static_cast<std::uint64_t>(kEntries));
  EXPECT_GE(writer.Stats().batches, 3u);
  EXPECT_LE(watch.most, (4 << 20) / 14000 + 2) << "entries rendered into one batch";
  writer.Finish(5000);
}

}  // namespace
}  // namespace varrow
