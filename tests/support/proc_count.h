#pragma once
// Counters that tests use to prove nothing leaks: the descriptors this
// process holds open and the child processes it has (zombies included).

#include <sys/types.h>
#include <string>
#include <vector>

namespace quill::test {

// Number of descriptors open in this process (from /proc/self/fd).
int openDescriptorCount();

// Descriptions of the open descriptors ("3 -> pipe:[1234]"), for messages.
std::vector<std::string> openDescriptors();

// Process ids whose parent is this process, zombies included.
std::vector<pid_t> childProcesses();

// Number of childProcesses().
int childProcessCount();

}  // namespace quill::test
