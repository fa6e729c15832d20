#pragma once
// A command's preparations as the runners see them; private to quill/sys.
//
// Each preparation of the library says, next to its class (prepare.cpp),
// what it does in the child, as one of these items. A preparation that is
// not exactly one of the library's (a class of the caller's, a subclass of
// a library class, which may override any hook) is known by its hooks only.

#include <quill/sys/exec.h>

#include <string>
#include <variant>
#include <vector>

namespace quill::sys::detail {

/// A descriptor step that needs nothing from the run: a file opened onto
/// `fd` with `flags` (`path` points into the preparation), or `fd` made a
/// copy of `source`.
struct FixedStep {
  enum class Kind { kOpen, kCopy };
  Kind kind;
  int fd;
  int source;
  int flags;
  const std::string* path;
};

/// Standard input reads a text, then end of file.
struct TextInput {
  const std::string* text;
};

/// Standard input from the caller (TJob::Write): a pipe a run of Start
/// feeds from its queue; an empty input elsewhere.
struct CallerInput {};

/// Standard output into a pipeline's pipe (`writes`), or standard input
/// from it. `ends` are the pipe's ends in the preparations' PipePair, which
/// also tells the two ends of one pipe apart from those of another.
struct PipelineEnd {
  int* ends;
  bool writes;
};

/// Standard output into a TReadOut's pipe, whose ends live in the
/// preparation (its BeforeFork hook makes them).
struct Capture {
  TExec::TPrepare* prep;
  int* ends;
};

/// A preparation of the caller's: only its hooks know what it does.
struct Hooked {
  TExec::TPrepare* prep;
};

/// One preparation of a command.
using PrepItem = std::variant<FixedStep, TextInput, CallerInput, PipelineEnd, Capture, Hooked>;

/// The preparations of `cmd` in the order their hooks run; unions of the
/// library are walked, not listed.
std::vector<PrepItem> itemsOf(const TExec& cmd);

struct Step;

/// Appends the child's steps for `item` as the classic runner lays them
/// out: a pipe's ends are those its preparations' BeforeFork hooks made.
/// Nothing for a preparation of the caller's.
void appendClassicSteps(const PrepItem& item, std::vector<Step>& steps);

/// The step of a fixed item.
Step stepOf(const FixedStep& fixed);

}  // namespace quill::sys::detail
