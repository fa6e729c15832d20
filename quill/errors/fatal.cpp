#include <quill/errors/fatal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace quill {

void installFatalErrorHandler() {
  std::set_terminate(fatalErrorHandler);
}

void fatalErrorHandler() {
  if (std::exception_ptr pending = std::current_exception()) {
    try {
      std::rethrow_exception(pending);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Unexpected error: %s\n", e.what());
    } catch (...) {
      std::fputs("Unexpected error\n", stderr);
    }
  } else {
    std::fputs("Unexpected error\n", stderr);
  }
  std::fflush(stderr);
  std::exit(1);
}

}  // namespace quill
