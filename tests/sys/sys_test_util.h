#pragma once
// Helpers shared by the tests of quill/sys.

#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/run_options.h>

#include "tests/support/scratch_dir.h"

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>

namespace quill::sys::test {

inline TEArgs argsOf(std::initializer_list<std::string> words) {
  TEArgs args;
  for (const std::string& word : words) args.Add(word);
  return args;
}

// A forked, waited command found through PATH.
inline TExec command(std::initializer_list<std::string> words,
                     std::uint64_t flags = TExec::Fork | TExec::Wait | TExec::SearchPath) {
  return TExec(argsOf(words), flags);
}

// A forked, waited `sh -c script`.
inline TExec sh(const std::string& script) {
  return command({"sh", "-c", script});
}

inline std::string fileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The message ReadOutput raises for `list`, or "<no failure>".
inline std::string failureOf(const TExecList& list) {
  try {
    ReadOutput(list);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "<no failure>";
}

// What the system shell prints for `script`, read through popen.
inline std::string shellOutput(const std::string& script) {
  std::string out;
  FILE* pipe = popen(script.c_str(), "r");
  if (pipe == nullptr) return "<popen failed>";
  char buffer[4096];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

using ScratchDir = ::quill::test::ScratchDir;

// Run options with a deadline of `timeoutMs` and `killAfterMs` between TERM
// and KILL.
inline TRunOptions deadline(long timeoutMs, long killAfterMs = 200) {
  TRunOptions options;
  options.timeout = std::chrono::milliseconds(timeoutMs);
  options.killAfter = std::chrono::milliseconds(killAfterMs);
  return options;
}

}  // namespace quill::sys::test
