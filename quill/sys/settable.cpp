// The setting operations of commands and lists, written once for both.

#include <quill/errors/errors.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/settings.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace quill::sys {

namespace {

using TEnvChange = TChildSettings::TEnvChange;

// A copy of `cmd`, or of every command of `list`, with `change` made to its
// settings.
template <typename Change>
TExec changed(const TExec& cmd, const Change& change) {
  TExec copy(cmd);
  change(copy.settings);
  return copy;
}

template <typename Change>
TExecList changed(const TExecList& list, const Change& change) {
  TExecList copy(list);
  for (TExec& cmd : copy) change(cmd.settings);
  return copy;
}

bool holdsZero(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

// Names the environment can hold: not empty, no "=", no zero byte.
void refuseBadName(const char* operation, const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos || holdsZero(name))
    throw std::invalid_argument(std::string(operation) + ": not a variable name: " + name);
}

void refuseZero(const char* operation, const char* what, const std::string& text) {
  if (holdsZero(text))
    throw std::invalid_argument(std::string(operation) + ": " + what + " holds a zero byte");
}

struct Identity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

// The ids of `user` from the user database.
Identity lookUpUser(const std::string& user) {
  refuseZero("AsUser", "the user name", user);
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

  Identity identity{entry.pw_uid, entry.pw_gid, {}};
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

}  // namespace

template <typename Self>
Self TSettable<Self>::WithEnv(const std::string& name, const std::string& value) const {
  refuseBadName("WithEnv", name);
  refuseZero("WithEnv", "the value", value);
  return changed(static_cast<const Self&>(*this), [&](TChildSettings& settings) {
    settings.environment.push_back({TEnvChange::TKind::Set, name, value});
  });
}

template <typename Self>
Self TSettable<Self>::WithoutEnv(const std::string& name) const {
  refuseBadName("WithoutEnv", name);
  return changed(static_cast<const Self&>(*this), [&](TChildSettings& settings) {
    settings.environment.push_back({TEnvChange::TKind::Unset, name, ""});
  });
}

template <typename Self>
Self TSettable<Self>::WithEmptyEnv() const {
  return changed(static_cast<const Self&>(*this), [](TChildSettings& settings) {
    settings.environment.push_back({TEnvChange::TKind::Clear, "", ""});
  });
}

template <typename Self>
Self TSettable<Self>::InDirectory(const std::string& path) const {
  refuseZero("InDirectory", "the path", path);
  return changed(static_cast<const Self&>(*this),
                 [&](TChildSettings& settings) { settings.directory = path; });
}

template <typename Self>
Self TSettable<Self>::WithUmask(mode_t mask) const {
  return changed(static_cast<const Self&>(*this), [&](TChildSettings& settings) {
    settings.setUmask = true;
    settings.umask = mask;
  });
}

template <typename Self>
Self TSettable<Self>::AsUser(const std::string& user) const {
  const Identity identity = lookUpUser(user);
  return AsUser(identity.uid, identity.gid, identity.groups);
}

template <typename Self>
Self TSettable<Self>::AsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const {
  // The system reads -1 as "leave this id as it is": the program would keep
  // the caller's, root's.
  if (uid == static_cast<uid_t>(-1)) throw std::invalid_argument("AsUser: user id -1");
  if (gid == static_cast<gid_t>(-1)) throw std::invalid_argument("AsUser: group id -1");
  for (const gid_t group : groups) {
    if (group == static_cast<gid_t>(-1))
      throw std::invalid_argument("AsUser: supplementary group id -1");
  }
  return changed(static_cast<const Self&>(*this), [&](TChildSettings& settings) {
    settings.setIdentity = true;
    settings.uid = uid;
    settings.gid = gid;
    settings.groups = groups;
  });
}

template <typename Self>
Self TSettable<Self>::WithLimit(int resource, rlim_t soft, rlim_t hard) const {
  return changed(static_cast<const Self&>(*this), [&](TChildSettings& settings) {
    settings.limits.push_back({resource, soft, hard});
  });
}

template <typename Self>
Self TSettable<Self>::InNewSession() const {
  return changed(static_cast<const Self&>(*this),
                 [](TChildSettings& settings) { settings.newSession = true; });
}

template <typename Self>
Self TSettable<Self>::InNewProcessGroup() const {
  return changed(static_cast<const Self&>(*this),
                 [](TChildSettings& settings) { settings.newProcessGroup = true; });
}

template <typename Self>
Self TSettable<Self>::WithParentDeathSignal(int sig) const {
  return changed(static_cast<const Self&>(*this),
                 [&](TChildSettings& settings) { settings.deathSignal = sig; });
}

template <typename Self>
Self TSettable<Self>::InCgroup(const std::string& dir) const {
  refuseZero("InCgroup", "the directory", dir);
  if (dir.empty()) throw std::invalid_argument("InCgroup: no directory");
  return changed(static_cast<const Self&>(*this),
                 [&](TChildSettings& settings) { settings.cgroup = dir; });
}

template <typename Self>
Self TSettable<Self>::WithNoNewPrivileges() const {
  return changed(static_cast<const Self&>(*this),
                 [](TChildSettings& settings) { settings.noNewPrivileges = true; });
}

template <typename Self>
Self TSettable<Self>::WithoutCapabilities() const {
  return changed(static_cast<const Self&>(*this),
                 [](TChildSettings& settings) { settings.withoutCapabilities = true; });
}

template class TSettable<TExec>;
template class TSettable<TExecList>;

}  // namespace quill::sys
