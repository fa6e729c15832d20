#pragma once
// Runs a piece of a test in a forked child of its own, for what must not
// touch the test program: a lowered limit, a changed identity, a seccomp
// filter, a closed standard descriptor, a namespace.

#include <exception>
#include <functional>
#include <string>

namespace quill::test {

// "<class>: <what()>", the class demangled ("quill::ExSystemError<2>").
std::string describe(const std::exception& error);

// What `body` returns, run in a forked child; an exception it raises is
// reported as "exception <class>: <what>", and a child that does not exit
// normally with 0 adds " (child ended with wait status N)".
std::string inChild(const std::function<std::string()>& body);

// In such a child: the descriptor its report goes through, for a handler
// that must report before the child ends (-1 elsewhere).
int inChildReportDescriptor();

// Writes all of `text` to `fd`, retrying interrupted writes.
void writeReport(int fd, const std::string& text);

}  // namespace quill::test
