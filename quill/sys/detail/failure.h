#pragma once
// A child's failed set-up in words; private to quill/sys.
//
// Both ways a failure reaches the caller start from the one record
// (SetupFailure): the child of the classic runner writes its line on its
// standard error and ends with its exit code; a run of Execute names the
// step in the stage's outcome. Everything here is child side (no
// allocation, nothing raised).

#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/plan.h>

namespace quill::sys::detail {

/// The failed step in words with its operand: "open /x onto 1", "chdir
/// /srv", "exec prog".
void describeStep(const ChildPlan& plan, const SetupFailure& failure, LineBuffer& line) noexcept;

/// The line a child of the classic runner writes on its standard error when
/// its set-up fails: "<program>: <path>: open failed: <reason>" for a file,
/// "<program>: <step>: <reason>" for a setting, "<program>: <message>" when
/// a hook of the caller's raised, else "<program>: <reason>".
void describeFailureLine(const ChildPlan& plan, const SetupFailure& failure, const char* message,
                         LineBuffer& line) noexcept;

/// The exit code of a child whose set-up failed as `failure` says: 127 for
/// a program that was not found, else 126.
int failureExitCode(const SetupFailure& failure) noexcept;

}  // namespace quill::sys::detail
