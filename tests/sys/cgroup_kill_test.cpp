// Ending a cgroup without cgroup.kill, as on kernels before 5.14: a tree of
// processes that never stops forking is ended all the same. The way with
// cgroup.kill is what the runs of confinement_test.cpp take.
#include <quill/sys/detail/cgroup.h>

#include "tests/support/cgroup.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <string>

namespace quill::sys::detail {
namespace {

bool populated(int events) {
  char text[256] = {};
  return pread(events, text, sizeof text - 1, 0) > 0 && std::strstr(text, "populated 1") != nullptr;
}

TEST(FreezeAndKill, EndsATreeThatKeepsForking) {
  quill::test::TestCgroup cgroup;
  QUILL_REQUIRE_CGROUP(cgroup);
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  // Eight loops, each forking again as soon as its last child has ended.
  const pid_t tree = fork();
  if (tree == 0) {
    const int procs = open((cgroup.path() + "/cgroup.procs").c_str(), O_WRONLY);
    if (procs == -1 || write(procs, "0", 1) != 1 || dup2(out[1], 1) != 1) _exit(126);
    execl("/bin/sh", "sh", "-c",
          "for i in 1 2 3 4 5 6 7 8; do (while :; do true & wait; done) & done; echo forking; wait",
          nullptr);
    _exit(127);
  }
  close(out[1]);
  char line[16] = {};
  ASSERT_EQ(read(out[0], line, sizeof line), 8) << "the tree did not start";
  close(out[0]);
  const int leaf = open(cgroup.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int events = open((cgroup.path() + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
  int rounds = 0;
  for (; rounds < 50 && populated(events); ++rounds) {
    freezeAndKill(leaf);
    pollfd change = {events, POLLPRI, 0};
    poll(&change, 1, 100);
  }
  EXPECT_FALSE(populated(events)) << rounds << " rounds";
  int status = 0;
  EXPECT_EQ(waitpid(tree, &status, 0), tree);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  close(events);
  close(leaf);
}

}  // namespace
}  // namespace quill::sys::detail
