#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarry {
namespace {

// Each of these must stop the server with a usage error, not serve with a setting dropped:
// patterns relative to no root, or a time limit that would kill every verifier at once.
TEST(Options, UsageErrorsExitWithStatus2AndTheRestIsKept) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"--root"},
                                             {"--protect", "t/**"},
                                             {"--verify-timeout", "0"},
                                             {"--verify-timeout", "1.5"},
                                             {"--sync=yes"}}) {
    SCOPED_TRACE(args.front());
    const CommandLine line = parse_command_line(args);
    EXPECT_EQ(line.exit_status, 2);
    EXPECT_TRUE(line.text_to_stderr);
  }
  const CommandLine line =
      parse_command_line({"--root=/r", "--protect", "a/**", "--verify-timeout", "7", "--sync"});
  EXPECT_FALSE(line.exit_status);
  EXPECT_EQ(line.options.root, "/r");
  EXPECT_EQ(line.options.protect, std::vector<std::string>{"a/**"});
  EXPECT_EQ(line.options.verify_timeout, std::chrono::seconds(7));
  EXPECT_TRUE(line.options.sync);
}

}  // namespace
}  // namespace quarry
