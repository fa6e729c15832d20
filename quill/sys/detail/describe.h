#pragma once
// The library's own preparations as data; private to quill/sys.
//
// Each preparation of the library states here, once, what it does in the
// child. Its InChild hook replays that through the plan interpreter; the
// executor lays the same steps out for a child that shares the caller's
// memory; the runs of lists find their pipes through it. A preparation that
// is not exactly one of the library's (a class of the user's, a subclass of
// a library class, which may override any hook) is known by its hooks only.

#include <quill/sys/detail/plan.h>
#include <quill/sys/exec.h>

#include <cstdint>
#include <vector>

namespace quill::sys::detail {

class SettingPrep;

/// One preparation of a command, as a runner sees it.
struct PrepItem {
  /// What the preparation stands for.
  enum class Kind : std::uint8_t {
    kForeign,    // none of the library's: only its hooks know what it does
    kStep,       // `step`, which needs nothing from the run
    kText,       // standard input reads a text (`step`, a kText step)
    kPipeWrite,  // standard output into a pipeline's pipe, whose ends the value holds in `ends`
    kPipeRead,   // standard input from a pipeline's pipe (`ends`)
    kCapture,    // standard output into a TReadOut's pipe (`ends`)
    kSetting,    // a child setting (`setting`)
  };
  Kind kind;
  TExec::TPrepare* prep;
  Step step;
  int* ends;
  const SettingPrep* setting;
};

/// The preparations of `cmd` in the order their hooks run; unions of the
/// library are walked, not listed.
std::vector<PrepItem> describe(const TExec& cmd);

/// True when one of `items` is known by its hooks only.
bool hasForeign(const std::vector<PrepItem>& items) noexcept;

/// Appends the child's descriptor steps for `item` as a run whose pipes live
/// in the values sees them (Run, RunAll, RunAndRead): the pipes were made by
/// the preparations' BeforeFork hooks. Nothing for a setting or a foreign
/// preparation.
void appendValueSteps(const PrepItem& item, std::vector<Step>& steps);

/// The InChild hook of the library preparation `prep`: replays its steps in
/// this process. Raises what the hook always raised: the SystemError family
/// with "<file>: open failed" for a file, TSysCallErr otherwise.
void replayInChild(TExec::TPrepare& prep);

/// Closes the pipe ends that `cmd`'s own preparations (capture, pipeline
/// ends) still hold in the caller; for a start that failed.
void closePipesOf(const TExec& cmd) noexcept;

/// True when `cmd`'s preparations send its output into a pipeline's pipe.
bool feedsPipe(const TExec& cmd);

}  // namespace quill::sys::detail
