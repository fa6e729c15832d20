#pragma once
// Stand-ins for gethostname(), getaddrinfo() and freeaddrinfo(), defined in
// the test program so that they take the place of the C library's for the
// library too. Until a test arms them they pass every call on to the C
// library; armed, they give the answers no real resolver can be made to give.

#include <netdb.h>

#include <string>

namespace quill::test {

struct ResolverFake {
  // gethostname(): fails with this errno when not 0.
  int hostNameErrno = 0;
  // gethostname() and getaddrinfo(): when armed, the host name is "web" and
  // getaddrinfo() succeeds with no entry (emptyAnswer) or with one
  // entry whose canonical name is `canonicalName` (null when noCanonicalName).
  bool armed = false;
  bool emptyAnswer = false;
  bool noCanonicalName = false;
  std::string canonicalName;

  // What the last getaddrinfo() call was given, and the fake answers released.
  std::string node;
  bool serviceWasNull = false;
  addrinfo hints = {};
  int fakeAnswersFreed = 0;
};

// The fakes' settings; reset by each test's fixture.
ResolverFake& resolverFake();

}  // namespace quill::test
