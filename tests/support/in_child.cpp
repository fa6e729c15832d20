#include "tests/support/in_child.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace quill::test {

namespace {

int reportDescriptor = -1;

}  // namespace

std::string describe(const std::exception& error) {
  int status = 0;
  char* name = abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status);
  std::string text = status == 0 && name != nullptr ? name : typeid(error).name();
  std::free(name);
  return text + ": " + error.what();
}

int inChildReportDescriptor() {
  return reportDescriptor;
}

void writeReport(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

std::string inChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return std::string("fork: ") + std::strerror(error);
  }
  if (pid == 0) {
    close(fds[0]);
    reportDescriptor = fds[1];
    std::string report;
    try {
      report = body();
    } catch (const std::exception& error) {
      report = "exception " + describe(error);
    } catch (...) {
      report = "exception not derived from std::exception";
    }
    writeReport(fds[1], report);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    report.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    report += " (child ended with wait status " + std::to_string(status) + ")";
  return report;
}

}  // namespace quill::test
