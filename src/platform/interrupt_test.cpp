#include "platform/interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/terminal.h"

namespace dizedir {
namespace {

std::atomic<int> earlier_handler_calls{0};
void EarlierHandler(int) { earlier_handler_calls.fetch_add(1); }

TEST(InterruptWatchTest, NoticesEachSignalAndRestoresTheEarlierHandler) {
  struct sigaction earlier = {};
  earlier.sa_handler = &EarlierHandler;
  sigemptyset(&earlier.sa_mask);
  struct sigaction saved_int = {}, saved_term = {};
  ASSERT_EQ(sigaction(SIGINT, &earlier, &saved_int), 0);
  ASSERT_EQ(sigaction(SIGTERM, &earlier, &saved_term), 0);

  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    {
      std::unique_ptr<InterruptWatch> watch;
      ASSERT_TRUE(InterruptWatch::Install(&watch).ok());
      std::unique_ptr<InterruptWatch> second;
      EXPECT_TRUE(InterruptWatch::Install(&second).IsBusy());
      EXPECT_FALSE(watch->Interrupted());
      EXPECT_FALSE(watch->WaitFor(10));
      // The signal arrives on another thread while this one waits.
      std::thread sender([signal] { raise(signal); });
      EXPECT_TRUE(watch->WaitFor(600000));
      sender.join();
      EXPECT_TRUE(watch->Interrupted());
      EXPECT_TRUE(watch->WaitFor(600000));
    }
    EXPECT_EQ(earlier_handler_calls.load(), 0);
    raise(signal);
    EXPECT_EQ(earlier_handler_calls.exchange(0), 1);
  }
  sigaction(SIGINT, &saved_int, nullptr);
  sigaction(SIGTERM, &saved_term, nullptr);
}

TEST(InterruptWatchTest, ASecondSignalEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::unique_ptr<InterruptWatch> watch;
        if (!InterruptWatch::Install(&watch).ok()) std::_Exit(1);
        raise(SIGINT);
        if (!watch->Interrupted()) std::_Exit(2);
        raise(SIGTERM);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(kInterruptedExitStatus), "");
}

TEST(TerminalTest, ReadInputLineTakesOneLineAtATime) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved_input = dup(STDIN_FILENO);
  ASSERT_GE(saved_input, 0);
  ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  close(fds[0]);
  const std::string input = "yes\r\n\nlast";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));

  struct Step {
    bool keep_waiting;
    bool close_input_first;
    bool read;
    std::string line;
  };
  const Step steps[] = {
      {false, false, false, ""},  // gives up without taking anything
      {true, false, true, "yes"},
      {true, false, true, ""},
      {true, true, true, "last"},  // input ends without a line ending
      {true, false, false, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.line);
    if (step.close_input_first) close(fds[1]);
    std::string line = "stale";
    EXPECT_EQ(ReadInputLine(&line, [&] { return step.keep_waiting; }), step.read);
    if (step.read) {
      EXPECT_EQ(line, step.line);
    }
  }
  dup2(saved_input, STDIN_FILENO);
  close(saved_input);
}

}  // namespace
}  // namespace dizedir
