#include "tavra/platform/logger.h"

#include <gtest/gtest.h>

#include <thread>

namespace tavra {
namespace {

TEST(LoggerTest, MemoryLoggerKeepsLinesAndLevelsInOrder) {
  MemoryLogger logger("com.zelkorandin.tavra", "reconcile");
  EXPECT_EQ(logger.subsystem(), "com.zelkorandin.tavra");
  EXPECT_EQ(logger.category(), "reconcile");
  logger.log("created /x [a]");
  logger.error("/y: io: cannot write");
  logger.info("run finished: ok; catalog 1; managed: a");
  using L = Logger::Level;
  EXPECT_EQ(logger.lines(), (std::vector<MemoryLogger::Line>{
                                {L::default_, "created /x [a]"},
                                {L::error, "/y: io: cannot write"},
                                {L::info, "run finished: ok; catalog 1; managed: a"}}));
  logger.clear();
  EXPECT_TRUE(logger.texts().empty());
  EXPECT_EQ(levelName(L::default_), "default");
  EXPECT_EQ(levelName(L::info), "info");
  EXPECT_EQ(levelName(L::error), "error");
}

TEST(LoggerTest, MemoryLoggerTakesLinesFromSeveralThreads) {
  MemoryLogger logger("s", "c");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < 250; ++i) logger.log("line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(logger.lines().size(), 1000u);
}

TEST(LoggerTest, SystemLoggerPrintsNothingOnTheTerminal) {
  auto logger = systemLogger("com.zelkorandin.tavra", "reconcile");
  EXPECT_EQ(logger->category(), "reconcile");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  logger->log("tavra logger test: default line with %s and %n kept literally");
  logger->info("tavra logger test: info line");
  logger->error("tavra logger test: error line");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tavra
