#include <quill/sys/detail/settings.h>

#include <quill/errors/errors.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;  // NOLINT: the C library's

namespace quill::sys::detail {

namespace {

// Whether the entry "NAME=value" of an environment is the variable `name`.
bool isVariable(const std::string& entry, const std::string& name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
         entry[name.size()] == '=';
}

}  // namespace

SettingPrep::~SettingPrep() = default;

SettingPrep lookUpUser(const std::string& user) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int error;
  while ((error = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  // Several name services report an unknown name as one of these errors
  // rather than as a null result.
  const bool unknown = found == nullptr && (error == 0 || error == ENOENT || error == ESRCH ||
                                            error == EBADF || error == EPERM);
  if (unknown) throw std::runtime_error("AsUser: no such user: " + user);
  if (error != 0) throwSystemError("AsUser: cannot look up user " + user, error);

  SettingPrep identity(SettingPrep::Kind::kIdentity);
  identity.uid = entry.pw_uid;
  identity.gid = entry.pw_gid;
  int count = 32;
  for (;;) {
    identity.groups.resize(static_cast<std::size_t>(count));
    const int wanted = count;
    if (getgrouplist(entry.pw_name, entry.pw_gid, identity.groups.data(), &count) != -1) break;
    if (count <= wanted) count = wanted * 2;  // some versions do not say how many
  }
  identity.groups.resize(static_cast<std::size_t>(count));
  return identity;
}

void ChildSettings::add(const SettingPrep& setting) {
  using Kind = SettingPrep::Kind;
  switch (setting.kind) {
    case Kind::kSetEnv:
    case Kind::kUnsetEnv:
    case Kind::kEmptyEnv: environmentChanges_.push_back(&setting); break;
    case Kind::kDirectory:
      directory_ = setting.name;
      settings_.directory = directory_.c_str();
      break;
    case Kind::kUmask:
      settings_.setUmask = true;
      settings_.umask = setting.mask;
      break;
    case Kind::kIdentity:
      settings_.setIdentity = true;
      settings_.uid = setting.uid;
      settings_.gid = setting.gid;
      groups_ = setting.groups;
      break;
    case Kind::kLimit: limits_.push_back(setting.limit); break;
    case Kind::kSession: settings_.newSession = true; break;
    case Kind::kProcessGroup: settings_.newProcessGroup = true; break;
    case Kind::kDeathSignal: settings_.deathSignal = setting.signal; break;
  }
}

Settings ChildSettings::settings() const noexcept {
  Settings settings = settings_;
  settings.limits = limits_.data();
  settings.limitCount = limits_.size();
  settings.groups = groups_.data();
  settings.groupCount = groups_.size();
  return settings;
}

char* const* ChildSettings::environment() {
  if (environmentChanges_.empty()) return nullptr;
  if (!environmentBuilt_) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
      environment_.emplace_back(*entry);
    for (const SettingPrep* change : environmentChanges_) {
      if (change->kind == SettingPrep::Kind::kEmptyEnv) {
        environment_.clear();
        continue;
      }
      const std::string& name = change->name;
      environment_.erase(std::remove_if(environment_.begin(), environment_.end(),
                                        [&](const std::string& e) { return isVariable(e, name); }),
                         environment_.end());
      if (change->kind == SettingPrep::Kind::kSetEnv)
        environment_.push_back(name + "=" + change->value);
    }
    for (std::string& entry : environment_) environmentPointers_.push_back(entry.data());
    environmentPointers_.push_back(nullptr);
    environmentBuilt_ = true;
  }
  return environmentPointers_.data();
}

const char* ChildSettings::searchList() {
  if (environmentChanges_.empty()) {
    const char* path = std::getenv("PATH");
    return path != nullptr ? path : "/bin:/usr/bin";
  }
  searchList_ = "/bin:/usr/bin";
  for (char* const* entry = environment(); *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "PATH=", 5) == 0) searchList_ = *entry + 5;
  }
  return searchList_.c_str();
}

}  // namespace quill::sys::detail
