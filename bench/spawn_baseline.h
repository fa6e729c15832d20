#pragma once
// The hand-written baseline the spawn and capture benchmarks compare the
// library with: posix_spawnp with the child's standard output on a pipe, the
// pipe read to its end, the child waited for.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

extern char** environ;

namespace quill::bench {

// Runs `argv` and reads its output into `buffer` (`size` bytes, overwritten
// at each read, kept nowhere); the number of bytes read, -1 when the program
// could not be started.
inline std::int64_t spawnAndReadAll(char* const argv[], char* buffer, std::size_t size) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) {
    close(fds[0]);
    return -1;
  }
  std::int64_t total = 0;
  ssize_t got;
  while ((got = read(fds[0], buffer, size)) > 0) total += got;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return total;
}

// Runs /bin/true through spawnAndReadAll: the start that the library's
// spawn figures are set beside. False when it could not be started.
inline bool spawnTrue() {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  char buffer[1024];
  return spawnAndReadAll(argv, buffer, sizeof buffer) >= 0;
}

}  // namespace quill::bench
