#include "tests/net/resolver_fakes.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>

namespace quill::test {

ResolverFake& resolverFake() {
  static ResolverFake fake;
  return fake;
}

namespace {

addrinfo fakeAnswer = {};
char fakeCanonicalName[1024];

template <typename Function>
Function realFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace
}  // namespace quill::test

using quill::test::resolverFake;

extern "C" int gethostname(char* name, size_t length) noexcept {
  if (resolverFake().hostNameErrno != 0) {
    errno = resolverFake().hostNameErrno;
    return -1;
  }
  if (resolverFake().armed) {
    // Whatever name the kernel has, the armed resolver answers for "web".
    snprintf(name, length, "web");
    return 0;
  }
  return quill::test::realFunction<int (*)(char*, size_t)>("gethostname")(name, length);
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  quill::test::ResolverFake& fake = resolverFake();
  fake.node = node != nullptr ? node : "(null)";
  fake.serviceWasNull = service == nullptr;
  fake.hints = hints != nullptr ? *hints : addrinfo{};
  if (!fake.armed) {
    using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    return quill::test::realFunction<GetAddrInfo>("getaddrinfo")(node, service, hints, result);
  }
  if (fake.emptyAnswer) {
    *result = nullptr;
    return 0;
  }
  quill::test::fakeAnswer = addrinfo{};
  const size_t length = fake.canonicalName.copy(quill::test::fakeCanonicalName,
                                                sizeof quill::test::fakeCanonicalName - 1);
  quill::test::fakeCanonicalName[length] = '\0';
  quill::test::fakeAnswer.ai_canonname =
      fake.noCanonicalName ? nullptr : quill::test::fakeCanonicalName;
  *result = &quill::test::fakeAnswer;
  return 0;
}

extern "C" void freeaddrinfo(addrinfo* list) noexcept {
  if (list == &quill::test::fakeAnswer) {
    ++resolverFake().fakeAnswersFreed;
    return;
  }
  quill::test::realFunction<void (*)(addrinfo*)>("freeaddrinfo")(list);
}
