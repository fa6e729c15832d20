// Command lists: sequences, pipelines and the list forms of the
// redirections.

#include <quill/sys/exec_list.h>

namespace quill::sys {

namespace {

// A copy of `l` whose last command is `derive` of what it was.
template <typename Derive>
TExecList withLast(const TExecList& l, Derive derive) {
  TExecList copy(l);
  if (!copy.empty()) copy.back() = derive(copy.back());
  return copy;
}

}  // namespace

TExecList::TExecList(const TExec& cmd) : commands_{cmd} {}

TExecList::TExecList(std::initializer_list<TExec> cmds) : commands_(cmds) {}

void TExecList::AddPrepToLast(const TSharedPtr<TExec::TPrepare>& p) {
  if (!commands_.empty()) commands_.back().AddPrep(p);
}

TExecList Sequence(const TExec& a, const TExec& b) {
  return TExecList{a, b};
}

TExecList Sequence(const TExec& a, const TExecList& l) {
  return Sequence(TExecList(a), l);
}

TExecList Sequence(const TExecList& l, const TExec& b) {
  return Sequence(l, TExecList(b));
}

TExecList Sequence(const TExecList& l, const TExecList& m) {
  TExecList result(l);
  for (const TExec& cmd : m) result.push_back(cmd);
  return result;
}

TExecList Pipe(const TExec& a, const TExec& b) {
  return Pipe(TExecList(a), TExecList(b));
}

TExecList Pipe(const TExecList& l, const TExec& b) {
  return Pipe(l, TExecList(b));
}

TExecList Pipe(const TExec& a, const TExecList& l) {
  return Pipe(TExecList(a), l);
}

TExecList Pipe(const TExecList& l, const TExecList& m) {
  // A join with nothing on one side has no pipe to make; a reader of a pipe
  // nobody creates would close the caller's standard input.
  if (l.empty()) return m;
  if (m.empty()) return l;
  const TSharedPtr<PipePair> pair(new PipePair);
  TExecList result(l);
  result.AddPrepToLast(TSharedPtr<TExec::TPrepare>(new TWriteToPipeline(pair)));
  // Neither the first command nor the writer may be waited for while they
  // are started: the stages after them are not running yet, so a full pipe
  // would block the writer for ever.
  const std::uint64_t noWait = TExec::Fork | TExec::SearchPath;
  result.front().flags &= noWait;
  result.back().flags &= noWait;
  TExecList right(m);
  right.front().AddPrep(TSharedPtr<TExec::TPrepare>(new TReadFromPipeline(pair)));
  for (const TExec& cmd : right) result.push_back(cmd);
  return result;
}

TExecList StdinFromFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdinFromFile(path); });
}

TExecList StdoutToFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdoutToFile(path); });
}

TExecList StdoutAppendToFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdoutAppendToFile(path); });
}

TExecList WithRedirect(const TExecList& l, const TRedirect& r) {
  return withLast(l, [&](const TExec& cmd) { return cmd.WithRedirect(r); });
}

TExecList WithRedirectToFile(const TExecList& l, const TRedirectToFile& r) {
  return withLast(l, [&](const TExec& cmd) { return cmd.WithRedirectToFile(r); });
}

TExecList StdinFromCaller(const TExecList& l) {
  TExecList copy(l);
  if (!copy.empty()) copy.front() = copy.front().StdinFromCaller();
  return copy;
}

TExecList StdinFromString(const TExecList& l, const std::string& text) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdinFromString(text); });
}

}  // namespace quill::sys
