#pragma once
// Runs a program (the built zone tool, named-checkzone, ...) as a child
// process and collects what it wrote and how it ended. The child sees the
// caller's namespaces, so inside a Sandbox it works on the sandbox's files.

#include "tests/support/syscall_filter.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace quill::test {

struct ToolOptions {
  // The umask the child runs under.
  mode_t umask = 022;
  // Run without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH (ordinary
  // permission checks even for root).
  bool withoutFileAccessOverride = false;
  // Run without CAP_SETFCAP (no file capabilities may be set).
  bool withoutSetFileCapability = false;
  // The largest file the child may write (RLIMIT_FSIZE, soft and hard).
  rlim_t fileSizeLimit = RLIM_INFINITY;
  // System calls that fail in the child and the program it executes.
  std::vector<SyscallRefusal> refusedSyscalls = {};
};

struct ToolResult {
  // The child's process id, as syslog puts it into its lines.
  pid_t pid = -1;
  // The wait status's exit code, or -1 when the child did not exit normally.
  int exitCode = -1;
  std::string out;
  std::string err;
};

// A child started by startTool(); finishTool() collects it.
struct ToolRun {
  pid_t pid = -1;
  int outPipe = -1;
  int errPipe = -1;
};

// Starts argv[0] (a path) with argv, standard input from /dev/null.
// Throws std::runtime_error when the process cannot be started.
ToolRun startTool(const std::vector<std::string>& argv, const ToolOptions& options = {});

// Reads the child's output to its end, waits for it and closes the pipes.
ToolResult finishTool(ToolRun& run);

// startTool() and finishTool() in one.
ToolResult runTool(const std::vector<std::string>& argv, const ToolOptions& options = {});

// How a failed run reads in a test's failure message.
std::string describe(const ToolResult& result);

}  // namespace quill::test
