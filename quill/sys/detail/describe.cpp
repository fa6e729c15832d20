#include <quill/sys/detail/describe.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/settings.h>
#include <quill/sys/prepare.h>

#include <fcntl.h>
#include <typeinfo>

namespace quill::sys::detail {

namespace {

PrepItem itemOf(PrepItem::Kind kind, TExec::TPrepare& prep) {
  return {kind, &prep, Step{Step::Kind::kClose, -1, -1, 0, nullptr, 0}, nullptr, nullptr};
}

PrepItem stepItem(TExec::TPrepare& prep, const Step& step) {
  PrepItem item = itemOf(PrepItem::Kind::kStep, prep);
  item.step = step;
  return item;
}

PrepItem openItem(TExec::TPrepare& prep, int fd, int flags, const std::string& path) {
  return stepItem(prep, {Step::Kind::kOpen, fd, -1, flags, path.c_str(), 0});
}

PrepItem pipeItem(PrepItem::Kind kind, TExec::TPrepare& prep, int* ends) {
  PrepItem item = itemOf(kind, prep);
  item.ends = ends;
  return item;
}

// What each preparation of the library does in the child, stated once.
struct Entry {
  const std::type_info& type;
  PrepItem (*describe)(TExec::TPrepare& prep);
};

template <typename T>
T& as(TExec::TPrepare& prep) {
  return static_cast<T&>(prep);
}

const Entry kLibrary[] = {
    {typeid(TFromFile),
     [](TExec::TPrepare& p) { return openItem(p, 0, O_RDONLY, as<TFromFile>(p).fileName); }},
    {typeid(TToFile),
     [](TExec::TPrepare& p) {
       const auto& file = as<TToFile>(p);
       return openItem(p, 1, writeFlags(file.append), file.fileName);
     }},
    {typeid(TRedirectToFile),
     [](TExec::TPrepare& p) {
       const auto& file = as<TRedirectToFile>(p);
       return openItem(p, file.fd, writeFlags(file.append), file.fileName);
     }},
    {typeid(TRedirect),
     [](TExec::TPrepare& p) {
       const auto& copy = as<TRedirect>(p);
       return stepItem(p, {Step::Kind::kCopy, copy.fd, copy.srcFd, 0, nullptr, 0});
     }},
    {typeid(TReadFromStr),
     [](TExec::TPrepare& p) {
       const std::string& text = as<TReadFromStr>(p).text;
       PrepItem item = stepItem(p, {Step::Kind::kText, 0, -1, 0, text.data(), text.size()});
       item.kind = PrepItem::Kind::kText;
       return item;
     }},
    {typeid(TReadOut),
     [](TExec::TPrepare& p) { return pipeItem(PrepItem::Kind::kCapture, p, as<TReadOut>(p).fds); }},
    {typeid(TWriteToPipeline),
     [](TExec::TPrepare& p) {
       return pipeItem(PrepItem::Kind::kPipeWrite, p, as<TWriteToPipeline>(p).pipe->fds);
     }},
    {typeid(TReadFromPipeline),
     [](TExec::TPrepare& p) {
       return pipeItem(PrepItem::Kind::kPipeRead, p, as<TReadFromPipeline>(p).pipe->fds);
     }},
    {typeid(SettingPrep),
     [](TExec::TPrepare& p) {
       PrepItem item = itemOf(PrepItem::Kind::kSetting, p);
       item.setting = &as<SettingPrep>(p);
       return item;
     }},
};

const Entry* entryOf(const TExec::TPrepare& prep) noexcept {
  const std::type_info& type = typeid(prep);
  for (const Entry& entry : kLibrary) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

// Settings inside a union of the user's still belong to the command.
template <typename Visit>
void visitSettingsIn(TExec::TPrepare* prep, Visit& visit) {
  if (prep == nullptr) return;
  if (auto* both = dynamic_cast<TUnionPrep*>(prep)) {
    visitSettingsIn(both->first.get(), visit);
    visitSettingsIn(both->second.get(), visit);
  } else if (typeid(*prep) == typeid(SettingPrep)) {
    visit(entryOf(*prep)->describe(*prep));
  }
}

// Calls `visit` with the item of every preparation in hook order, without
// allocating.
template <typename Visit>
void visitItems(TExec::TPrepare* prep, Visit& visit) {
  if (prep == nullptr) return;
  if (typeid(*prep) == typeid(TUnionPrep)) {
    auto* both = static_cast<TUnionPrep*>(prep);
    visitItems(both->first.get(), visit);
    visitItems(both->second.get(), visit);
    return;
  }
  if (const Entry* entry = entryOf(*prep)) {
    visit(entry->describe(*prep));
    return;
  }
  visit(itemOf(PrepItem::Kind::kForeign, *prep));
  if (auto* both = dynamic_cast<TUnionPrep*>(prep)) {
    visitSettingsIn(both->first.get(), visit);
    visitSettingsIn(both->second.get(), visit);
  }
}

}  // namespace

std::vector<PrepItem> describe(const TExec& cmd) {
  std::vector<PrepItem> items;
  auto add = [&items](const PrepItem& item) { items.push_back(item); };
  visitItems(cmd.prep.get(), add);
  return items;
}

bool hasForeign(const std::vector<PrepItem>& items) noexcept {
  for (const PrepItem& item : items) {
    if (item.kind == PrepItem::Kind::kForeign) return true;
  }
  return false;
}

void appendValueSteps(const PrepItem& item, std::vector<Step>& steps) {
  using Kind = PrepItem::Kind;
  switch (item.kind) {
    case Kind::kStep:
    case Kind::kText: steps.push_back(item.step); break;
    case Kind::kPipeWrite:
    case Kind::kCapture:
      steps.push_back({Step::Kind::kClose, item.ends[0], -1, 0, nullptr, 0});
      steps.push_back({Step::Kind::kMove, 1, item.ends[1], 0, nullptr, 0});
      break;
    case Kind::kPipeRead:
      steps.push_back({Step::Kind::kClose, item.ends[1], -1, 0, nullptr, 0});
      steps.push_back({Step::Kind::kMove, 0, item.ends[0], 0, nullptr, 0});
      break;
    case Kind::kForeign:
    case Kind::kSetting: break;
  }
}

void replayInChild(TExec::TPrepare& prep) {
  const Entry* entry = entryOf(prep);
  if (entry == nullptr) return;
  std::vector<Step> steps;
  appendValueSteps(entry->describe(prep), steps);
  SetupFailure failure;
  if (runSteps(steps.data(), steps.size(), failure)) return;
  const Step& step = steps[failure.index];
  if (step.kind == Step::Kind::kOpen)
    throwSystemError(std::string(step.data) + ": open failed", failure.error);
  throw TSysCallErr(failure.error);
}

void closePipesOf(const TExec& cmd) noexcept {
  auto close = [](const PrepItem& item) {
    if (item.ends == nullptr) return;
    closeFd(item.ends[0]);
    closeFd(item.ends[1]);
  };
  visitItems(cmd.prep.get(), close);
}

bool feedsPipe(const TExec& cmd) {
  bool found = false;
  auto check = [&found](const PrepItem& item) {
    if (item.kind == PrepItem::Kind::kPipeWrite) found = true;
  };
  visitItems(cmd.prep.get(), check);
  return found;
}

}  // namespace quill::sys::detail
