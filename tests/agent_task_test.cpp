// AgentTask and TaskRegistry in process: the states a server client cannot reach directly
// (a finished task still held) and the rules of the attempt limit and the snapshot.
#include "agent_task.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace quarry {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Tasks work on paths relative to the working directory, as in the server.
class AgentTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  static AgentTask start(const std::vector<std::string>& files, std::uint64_t max_attempts = 4,
                         const std::string& verify_cmd = "true") {
    Result<AgentTask> task = AgentTask::start("task-1", "goal", verify_cmd, files, max_attempts,
                                              std::nullopt, std::make_shared<TaskSettings>());
    EXPECT_TRUE(task.ok()) << (task.ok() ? "" : task.error().message);
    return std::move(task).value();
  }

  TempDir dir_;
  std::filesystem::path previous_;
};

TEST_F(AgentTaskTest, ZeroMaxAttemptsAdmitsOneProposal) {
  AgentTask task = start({"a"}, 0);
  EXPECT_TRUE(task.propose({{"a", "x"}}).passed);
  const ProposeOutcome refused = task.propose({{"a", "y"}});
  EXPECT_EQ(refused.output, "max attempts (1) exceeded; task finished");
  EXPECT_EQ(refused.attempt, 1u);
  EXPECT_EQ(task.attempts().size(), 1u);
}

TEST_F(AgentTaskTest, LimitRefusalsAreNotRecordedAndFinishStillWorks) {
  write_file("a", "start");
  AgentTask task = start({"a"}, 3);
  for (int i = 0; i < 3; ++i) (void)task.propose({{"a", std::to_string(i)}});
  for (int i = 0; i < 2; ++i) {
    const ProposeOutcome refused = task.propose({{"a", "late"}});
    EXPECT_EQ(refused.attempt, 3u);
    EXPECT_EQ(refused.fingerprint, "");
    EXPECT_FALSE(refused.passed);
  }
  EXPECT_EQ(task.attempts().size(), 3u);
  EXPECT_TRUE(task.finish(false).ok());
  EXPECT_EQ(read_file("a"), "start");
}

TEST_F(AgentTaskTest, FinishedTaskRefusesProposalsAndFinishesAgainQuietly) {
  AgentTask task = start({"a"});
  ASSERT_TRUE(task.finish(true).ok());
  const ProposeOutcome refused = task.propose({{"a", "x"}});
  EXPECT_EQ(refused.output, "task already finished");
  EXPECT_EQ(refused.attempt, 0u);
  EXPECT_TRUE(task.attempts().empty());
  EXPECT_FALSE(testing::file_exists("a"));
  // A restore after a commit would undo kept work: a finished task ignores it.
  EXPECT_TRUE(task.finish(false).ok());
}

TEST_F(AgentTaskTest, PassingSetIsVerifiedAgainWhenRepeated) {
  write_file("counter", "");
  AgentTask task = start({"a"}, 4, "echo run >> counter");
  EXPECT_TRUE(task.propose({{"a", "same"}}).passed);
  EXPECT_TRUE(task.propose({{"a", "same"}}).passed);
  EXPECT_EQ(read_file("counter"), "run\nrun\n");
}

TEST_F(AgentTaskTest, TaskWithoutFilesRecordsViolationsAndEmptySets) {
  AgentTask task = start({});
  EXPECT_EQ(task.propose({{"x", "1"}, {"y", "2"}}).output.substr(0, 9), "path 'x' ");
  EXPECT_EQ(task.propose({}).output, "empty edit-set rejected");
  EXPECT_EQ(task.attempts().size(), 2u);
}

TEST_F(AgentTaskTest, AllowlistUsesPathIdentityNotTheFileSystem) {
  write_file("src/a", "start");
  AgentTask task = start({"src//a"});
  EXPECT_TRUE(task.propose({{"src/./a", "changed"}}).passed);
  EXPECT_EQ(task.propose({{"./src/a", "other"}}).output.substr(0, 15), "path './src/a' ");
  EXPECT_EQ(read_file("src/a"), "changed");
}

TEST_F(AgentTaskTest, CommitAfterOnlyFailuresLeavesTheStartState) {
  write_file("a", "start");
  AgentTask task = start({"a", "b"}, 4, "false");
  (void)task.propose({{"a", "x"}, {"b", "y"}});
  ASSERT_TRUE(task.finish(true).ok());
  EXPECT_EQ(read_file("a"), "start");
  EXPECT_FALSE(testing::file_exists("b"));
}

TEST_F(AgentTaskTest, DeclaredDirectoryIsAbsentAndLeftAloneByRestore) {
  std::filesystem::create_directory("d");
  AgentTask task = start({"d"});
  EXPECT_EQ(task.propose({{"d", "x"}}).output, "apply failed: Is a directory (os error 21)");
  EXPECT_TRUE(task.finish(false).ok());
  EXPECT_TRUE(std::filesystem::is_directory("d"));
}

TEST_F(AgentTaskTest, SnapshotReadErrorsOtherThanAbsenceFailTheStart) {
  Result<AgentTask> task = AgentTask::start("t", "g", "true", {std::string("a\0b", 3)}, 4,
                                            std::nullopt, std::make_shared<TaskSettings>());
  ASSERT_FALSE(task.ok());
  EXPECT_EQ(task.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(task.error().message, "path contains a NUL byte");
}

// A start cancelled while its gate's tools ran must not go on to snapshot and hand back a task.
TEST_F(AgentTaskTest, AbandonedStartStartsNoTask) {
  RunHooks hooks;
  hooks.abandoned = [] { return true; };
  Result<AgentTask> task = AgentTask::start("t", "g", "true", {"a"}, 4, std::nullopt,
                                            std::make_shared<TaskSettings>(), hooks);
  ASSERT_FALSE(task.ok());
  EXPECT_EQ(task.error().kind, ErrorKind::Interrupted);
}

TEST_F(AgentTaskTest, SameGoalInTwoTasksKeepsSeparateMemories) {
  AgentTask first = start({"a"}, 4, "false");
  AgentTask second = start({"a"}, 4, "false");
  (void)first.propose({{"a", "x"}});
  EXPECT_NE(second.propose({{"a", "x"}}).output,
            "identical edit-set already rejected; not re-applied");
}

TEST(TaskRegistry, UnknownIdRunsNothingAndFinishedIdIsGone) {
  TempDir dir;
  std::shared_ptr<TaskRegistry> registry = TaskRegistry::create();
  Result<AgentTask> task = AgentTask::start("task-x", "g", "true", {}, 4, std::nullopt,
                                            std::make_shared<TaskSettings>());
  ASSERT_TRUE(task.ok());
  registry->insert(std::move(task).value());

  bool ran = false;
  for (const std::string id : {"task-X", " task-x", "task-x "}) {
    EXPECT_FALSE(registry->with_task(id, [&](AgentTask&) { return ran = true; }).has_value());
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(registry->with_task("task-x", [](AgentTask& t) { return t.id(); }), "task-x");
  EXPECT_TRUE(registry->remove("task-x").has_value());
  EXPECT_FALSE(registry->remove("task-x").has_value());
  EXPECT_FALSE(registry->with_task("task-x", [](AgentTask&) { return 1; }).has_value());
}

}  // namespace
}  // namespace quarry

namespace quarry {
namespace {

// A declared path that is a dangling symbolic link: the write goes through the link and
// creates its target. Undoing it used to delete the link and leave the target behind.
TEST_F(AgentTaskTest, DanglingLinkIsPutBackAsItWas) {
  std::filesystem::create_symlink("target", "link");
  AgentTask task = start({"link"}, 4, "false");
  EXPECT_FALSE(task.propose({{"link", "x"}}).passed);
  EXPECT_TRUE(std::filesystem::is_symlink("link"));
  EXPECT_FALSE(std::filesystem::exists("target"));

  AgentTask kept = start({"link"});
  EXPECT_TRUE(kept.propose({{"link", "y"}}).passed);
  EXPECT_EQ(read_file("target"), "y");
  ASSERT_TRUE(kept.finish(false).ok());
  EXPECT_TRUE(std::filesystem::is_symlink("link"));
  EXPECT_FALSE(std::filesystem::exists("target"));
}

}  // namespace
}  // namespace quarry
