#include <quill/sys/prepare.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/describe.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace quill::sys {

namespace {

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) == -1) throw TSysCallErr(errno);
}

}  // namespace

TUnionPrep::TUnionPrep(const TSharedPtr<TExec::TPrepare>& f, const TSharedPtr<TExec::TPrepare>& s)
    : first(f), second(s) {}
TUnionPrep::~TUnionPrep() = default;

void TUnionPrep::BeforeFork(const TExec& cmd) {
  if (first) first->BeforeFork(cmd);
  if (second) second->BeforeFork(cmd);
}

bool TUnionPrep::OnForkError(const TExec& cmd) {
  if (first) first->OnForkError(cmd);
  return second ? second->OnForkError(cmd) : true;
}

void TUnionPrep::InParent(const TExec& cmd) {
  if (first) first->InParent(cmd);
  if (second) second->InParent(cmd);
}

void TUnionPrep::InChild(const TExec& cmd) {
  if (first) first->InChild(cmd);
  if (second) second->InChild(cmd);
}

void TUnionPrep::BeforeExec(const TExec& cmd) {
  if (first) first->BeforeExec(cmd);
  if (second) second->BeforeExec(cmd);
}

bool TUnionPrep::OnExecError(const TExec& cmd) {
  if (first) first->OnExecError(cmd);
  return second ? second->OnExecError(cmd) : true;
}

// What the child-side hooks below do is stated once, as data, in
// detail/describe.cpp; they replay it.

TFromFile::TFromFile(const std::string& name) : fileName(name) {}
TFromFile::~TFromFile() = default;

void TFromFile::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TToFile::TToFile(const std::string& name, bool appending) : fileName(name), append(appending) {}
TToFile::~TToFile() = default;

void TToFile::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TRedirect::TRedirect(int target, int source) : fd(target), srcFd(source) {}
TRedirect::~TRedirect() = default;

void TRedirect::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TRedirectToFile::TRedirectToFile(int target, const std::string& name, bool appending)
    : fd(target), fileName(name), append(appending) {}
TRedirectToFile::~TRedirectToFile() = default;

void TRedirectToFile::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TReadFromStr::TReadFromStr(const std::string& content) : text(content) {}
TReadFromStr::~TReadFromStr() = default;

void TReadFromStr::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TReadOut::TReadOut() : fds{-1, -1} {}
TReadOut::~TReadOut() = default;

void TReadOut::BeforeFork(const TExec&) {
  makePipe(fds);
}

void TReadOut::InParent(const TExec&) {
  detail::closeFd(fds[1]);
}

void TReadOut::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TWriteToPipeline::TWriteToPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TWriteToPipeline::~TWriteToPipeline() = default;

void TWriteToPipeline::BeforeFork(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
  makePipe(pipe->fds);
}

void TWriteToPipeline::InChild(const TExec&) {
  detail::replayInChild(*this);
}

TReadFromPipeline::TReadFromPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TReadFromPipeline::~TReadFromPipeline() = default;

void TReadFromPipeline::InParent(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
}

void TReadFromPipeline::InChild(const TExec&) {
  detail::replayInChild(*this);
}

}  // namespace quill::sys
