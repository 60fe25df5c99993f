#include "os/foundation/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace os {
namespace {

// The console's descriptor set to a pipe for the test's duration.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(pipe_, O_NONBLOCK), 0);
    previous_ = Console::setOutputDescriptor(pipe_[1]);
  }
  void TearDown() override {
    Console::setOutputDescriptor(previous_);
    close(pipe_[0]);
    close(pipe_[1]);
  }
  std::string drain() {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_[0], buffer, sizeof buffer)) > 0;) out.append(buffer, size_t(n));
    return out;
  }
  int pipe_[2] = {-1, -1};
  int previous_ = -1;
};

TEST_F(ConsoleTest, WritesToItsDescriptorUnlessCaptured) {
  const std::string longText(1000, 'x');
  Console::write("a");
  Console::writeLine("b");
  Console::writef("%s %d|%s\n", "c", 42, longText.c_str());
  EXPECT_EQ(drain(), "ab\nc 42|" + longText + "\n");
  {
    ConsoleCapture outer;
    Console::write("one ");
    {
      ConsoleCapture inner;
      Console::writeLine("two");
      EXPECT_EQ(inner.take(), "two\n");
      EXPECT_EQ(inner.text(), "");
    }
    EXPECT_EQ(outer.text(), "one two\n");
    EXPECT_EQ(drain(), "");
  }
  Console::write("after");
  EXPECT_EQ(drain(), "after");
}

TEST_F(ConsoleTest, LinesFromManyThreadsStayWhole) {
  ConsoleCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Console::writef("thread %d line %03d ...........\n", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = capture.text();
  size_t lines = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    const std::string line = text.substr(start, end - start);
    ASSERT_EQ(line.size(), 29u) << line;
    ASSERT_EQ(line.rfind("thread ", 0), 0u) << line;
  }
  EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace os
