// Host FQDN detection through the system resolver.

#include <quill/net/fqdn.h>

#include <quill/log/log.h>

#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One message, passed as the format itself: it carries no conversions.
constexpr char kAdvice[] =
    "It is impossible to detect the FQDN of the host.\n"
    "Please make sure that the host name is correctly specified in /etc/hosts and goes right "
    "after the host's IP address.\n"
    "Depending on your OS, you might need to set the host name in /etc/HOSTNAME or "
    "/etc/hostname.";

int failWithAdvice() {
  log_message(LOG_ERR, kAdvice);
  return -1;
}

// Releases the resolver's answer on every path out of get_host_fqdn.
class AddrInfoOwner {
 public:
  explicit AddrInfoOwner(addrinfo* list) : list_(list) {}
  ~AddrInfoOwner() {
    if (list_ != nullptr) freeaddrinfo(list_);
  }
  AddrInfoOwner(const AddrInfoOwner&) = delete;
  AddrInfoOwner& operator=(const AddrInfoOwner&) = delete;

 private:
  addrinfo* list_;
};

}  // namespace

int get_host_fqdn(char* buf, size_t size) {
  // HOST_NAME_MAX (64) characters and the terminating zero: a kernel host name
  // of the full 64 characters must fit, so the whole buffer is offered.
  char name[65] = {};
  if (gethostname(name, sizeof name) < 0) {
    log_message(LOG_ERR, "Unable to get hostname: %s", strerror(errno));
    return failWithAdvice();
  }
  name[sizeof name - 1] = '\0';

  addrinfo hints = {};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int code = getaddrinfo(name, nullptr, &hints, &result);
  if (code != 0) {
    log_message(LOG_ERR, "Unable to resolve fqdn: %s", gai_strerror(code));
    return failWithAdvice();
  }
  AddrInfoOwner owner(result);
  if (result == nullptr) {
    log_message(LOG_ERR, "Unable to resolve fqdn");
    return failWithAdvice();
  }

  // Only the first entry carries the canonical name. A resolver that gives
  // none has not named the host any better than a name without a dot.
  const char* canonical = result->ai_canonname;
  if (canonical == nullptr || strchr(canonical, '.') == nullptr) {
    log_message(LOG_ERR, "Canonname is not correct fqdn");
    return failWithAdvice();
  }
  // size 0 has no room even for the terminating zero.
  if (size == 0 || strlen(canonical) > size - 1) {
    log_message(LOG_ERR, "Buffer size is not enough to hold hostname");
    return -1;
  }
  strncpy(buf, canonical, size);
  return 0;
}
