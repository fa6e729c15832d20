// The library's preparations: their hooks, what each does in the child as
// data, and the operations of TExec that attach them.

#include <quill/sys/prepare.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/items.h>
#include <quill/sys/detail/plan.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <typeinfo>

namespace quill::sys {

namespace {

// A pipe of a preparation, above the standard descriptors so that a caller
// with one of them closed sets up the same child as any other.
void makePipe(int fds[2]) {
  const detail::PipeEnds pipe = detail::makePipe(3);
  fds[0] = pipe.read;
  fds[1] = pipe.write;
}

// Standard input from the caller. Only a run of Start has a caller to feed
// it; everywhere else the program reads an empty input.
class CallerInputPrep : public TExec::TPrepare {
 public:
  void InChild(const TExec& cmd) override;
};

// Only an object of exactly the library's class is known by its data: a
// subclass may override any hook.
template <typename T>
const T* exactly(const TExec::TPrepare& prep) {
  return typeid(prep) == typeid(T) ? static_cast<const T*>(&prep) : nullptr;
}

detail::PrepItem opening(int fd, int flags, const std::string& path) {
  return detail::FixedStep{detail::FixedStep::Kind::kOpen, fd, -1, flags, &path};
}

// What the library preparation `prep` does in the child, as data; a
// preparation of the caller's is known by its hooks alone.
detail::PrepItem itemOf(TExec::TPrepare& prep) {
  if (const auto* in = exactly<TFromFile>(prep)) return opening(0, O_RDONLY, in->fileName);
  if (const auto* out = exactly<TToFile>(prep))
    return opening(1, detail::writeFlags(out->append), out->fileName);
  if (const auto* file = exactly<TRedirectToFile>(prep))
    return opening(file->fd, detail::writeFlags(file->append), file->fileName);
  if (const auto* copy = exactly<TRedirect>(prep))
    return detail::FixedStep{detail::FixedStep::Kind::kCopy, copy->fd, copy->srcFd, 0, nullptr};
  if (const auto* text = exactly<TReadFromStr>(prep)) return detail::TextInput{&text->text};
  if (exactly<CallerInputPrep>(prep)) return detail::CallerInput{};
  if (exactly<TReadOut>(prep)) return detail::Capture{&prep, static_cast<TReadOut&>(prep).fds};
  if (exactly<TWriteToPipeline>(prep))
    return detail::PipelineEnd{static_cast<TWriteToPipeline&>(prep).pipe->fds, true};
  if (exactly<TReadFromPipeline>(prep))
    return detail::PipelineEnd{static_cast<TReadFromPipeline&>(prep).pipe->fds, false};
  return detail::Hooked{&prep};
}

void collectItems(TExec::TPrepare* prep, std::vector<detail::PrepItem>& items) {
  if (prep == nullptr) return;
  if (const auto* both = exactly<TUnionPrep>(*prep)) {
    collectItems(both->first.get(), items);
    collectItems(both->second.get(), items);
    return;
  }
  items.push_back(itemOf(*prep));
}

// The InChild hook of a library preparation: its steps, in this process.
// Raises what the hook always raised: the SystemError family with "<file>:
// open failed" for a file, TSysCallErr otherwise.
void replayInChild(TExec::TPrepare& prep) {
  std::vector<detail::Step> steps;
  detail::appendClassicSteps(itemOf(prep), steps);
  detail::SetupFailure failure;
  if (detail::runSteps(steps.data(), steps.size(), failure)) return;
  const detail::Step& step = steps[failure.index];
  if (step.kind == detail::Step::Kind::kOpen)
    throwSystemError(std::string(step.data) + ": open failed", failure.error);
  throw TSysCallErr(failure.error);
}

TExec withAdded(const TExec& cmd, TExec::TPrepare* p) {
  const TSharedPtr<TExec::TPrepare> owned(p);
  TExec copy(cmd);
  copy.AddPrep(owned);
  return copy;
}

}  // namespace

namespace detail {

Step stepOf(const FixedStep& fixed) {
  if (fixed.kind == FixedStep::Kind::kCopy)
    return {Step::Kind::kCopy, fixed.fd, fixed.source, 0, nullptr, 0};
  return {Step::Kind::kOpen, fixed.fd, -1, fixed.flags, fixed.path->c_str(), 0};
}

std::vector<PrepItem> itemsOf(const TExec& cmd) {
  std::vector<PrepItem> items;
  collectItems(cmd.prep.get(), items);
  return items;
}

void appendClassicSteps(const PrepItem& item, std::vector<Step>& steps) {
  auto pipeSteps = [&steps](int target, int used, int other) {
    steps.push_back({Step::Kind::kClose, other, -1, 0, nullptr, 0});
    steps.push_back({Step::Kind::kMove, target, used, 0, nullptr, 0});
  };
  std::visit(
      [&](const auto& it) {
        using T = std::decay_t<decltype(it)>;
        if constexpr (std::is_same_v<T, FixedStep>) {
          steps.push_back(stepOf(it));
        } else if constexpr (std::is_same_v<T, TextInput>) {
          steps.push_back({Step::Kind::kText, 0, -1, 0, it.text->data(), it.text->size()});
        } else if constexpr (std::is_same_v<T, CallerInput>) {
          steps.push_back({Step::Kind::kText, 0, -1, 0, "", 0});
        } else if constexpr (std::is_same_v<T, PipelineEnd>) {
          if (it.writes) {
            pipeSteps(1, it.ends[1], it.ends[0]);
          } else {
            pipeSteps(0, it.ends[0], it.ends[1]);
          }
        } else if constexpr (std::is_same_v<T, Capture>) {
          pipeSteps(1, it.ends[1], it.ends[0]);
        } else {
          static_assert(std::is_same_v<T, Hooked>);
        }
      },
      item);
}

}  // namespace detail

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

TFromFile::TFromFile(const std::string& name) : fileName(name) {}
TFromFile::~TFromFile() = default;
void TFromFile::InChild(const TExec&) {
  replayInChild(*this);
}

TToFile::TToFile(const std::string& name, bool appending) : fileName(name), append(appending) {}
TToFile::~TToFile() = default;
void TToFile::InChild(const TExec&) {
  replayInChild(*this);
}

TRedirect::TRedirect(int target, int source) : fd(target), srcFd(source) {}
TRedirect::~TRedirect() = default;
void TRedirect::InChild(const TExec&) {
  replayInChild(*this);
}

TRedirectToFile::TRedirectToFile(int target, const std::string& name, bool appending)
    : fd(target), fileName(name), append(appending) {}
TRedirectToFile::~TRedirectToFile() = default;
void TRedirectToFile::InChild(const TExec&) {
  replayInChild(*this);
}

TReadFromStr::TReadFromStr(const std::string& content) : text(content) {}
TReadFromStr::~TReadFromStr() = default;
void TReadFromStr::InChild(const TExec&) {
  replayInChild(*this);
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
  replayInChild(*this);
}

TWriteToPipeline::TWriteToPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TWriteToPipeline::~TWriteToPipeline() = default;
void TWriteToPipeline::BeforeFork(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
  makePipe(pipe->fds);
}
void TWriteToPipeline::InChild(const TExec&) {
  replayInChild(*this);
}

TReadFromPipeline::TReadFromPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TReadFromPipeline::~TReadFromPipeline() = default;
void TReadFromPipeline::InParent(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
}
void TReadFromPipeline::InChild(const TExec&) {
  replayInChild(*this);
}

void TExec::AddPrep(const TSharedPtr<TPrepare>& p) {
  prep = TSharedPtr<TPrepare>(new TUnionPrep(prep, p));
}

TExec TExec::StdinFromFile(const std::string& path) const {
  return withAdded(*this, new TFromFile(path));
}

TExec TExec::StdoutToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, false));
}

TExec TExec::StdoutAppendToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, true));
}

TExec TExec::WithRedirect(const TRedirect& r) const {
  return withAdded(*this, new TRedirect(r.fd, r.srcFd));
}

TExec TExec::WithRedirectToFile(const TRedirectToFile& r) const {
  return withAdded(*this, new TRedirectToFile(r.fd, r.fileName, r.append));
}

TExec TExec::StdinFromString(const std::string& text) const {
  return withAdded(*this, new TReadFromStr(text));
}

TExec TExec::StdinFromCaller() const {
  return withAdded(*this, new CallerInputPrep);
}

void CallerInputPrep::InChild(const TExec&) {
  replayInChild(*this);
}

}  // namespace quill::sys
