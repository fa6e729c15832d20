#include "tests/support/tool_run.h"

#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quill::test {
namespace {

// Child between fork and exec: only async-signal-safe calls (the argument
// vector was built before the fork), and _exit on any failure.
[[noreturn]] void execChild(char* const* argv, int outWrite, int errWrite,
                            const ToolOptions& options) {
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (input < 0 || dup2(input, 0) < 0 || dup2(outWrite, 1) < 0 || dup2(errWrite, 2) < 0) _exit(126);
  umask(options.umask);
  const rlimit fileSize{options.fileSizeLimit, options.fileSizeLimit};
  if (options.fileSizeLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &fileSize) != 0) _exit(126);
  if (options.withoutFileAccessOverride && !dropFileAccessOverride()) _exit(126);
  if (options.withoutSetFileCapability && !dropCapabilities({CAP_SETFCAP})) _exit(126);
  for (const SyscallRefusal& refusal : options.refusedSyscalls) {
    if (refuseSyscall(refusal) != 0) _exit(126);
  }
  execv(argv[0], argv);
  _exit(127);
}

void closeIfOpen(int& descriptor) {
  if (descriptor >= 0) close(descriptor);
  descriptor = -1;
}

}  // namespace

ToolRun startTool(const std::vector<std::string>& argv, const ToolOptions& options) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw std::runtime_error("pipe2 failed");
  }
  const pid_t pid = fork();
  if (pid == 0) execChild(pointers.data(), out[1], err[1], options);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("fork failed");
  }
  return ToolRun{pid, out[0], err[0]};
}

ToolResult finishTool(ToolRun& run) {
  ToolResult result;
  result.pid = run.pid;
  // Both pipes are drained together so that a child filling one of them
  // never blocks while we wait on the other.
  while (run.outPipe >= 0 || run.errPipe >= 0) {
    pollfd fds[2] = {{run.outPipe, POLLIN, 0}, {run.errPipe, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      int& descriptor = i == 0 ? run.outPipe : run.errPipe;
      std::string& text = i == 0 ? result.out : result.err;
      char chunk[4096];
      const ssize_t got = read(descriptor, chunk, sizeof chunk);
      if (got > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        closeIfOpen(descriptor);
      }
    }
  }
  closeIfOpen(run.outPipe);
  closeIfOpen(run.errPipe);
  int status = 0;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.pid = -1;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

ToolResult runTool(const std::vector<std::string>& argv, const ToolOptions& options) {
  ToolRun run = startTool(argv, options);
  return finishTool(run);
}

std::string describe(const ToolResult& result) {
  return "exit code " + std::to_string(result.exitCode) + "\nstdout: [" + result.out +
         "]\nstderr: [" + result.err + "]";
}

}  // namespace quill::test
