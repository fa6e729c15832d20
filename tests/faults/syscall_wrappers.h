#pragma once
// Link-time wrappers of system calls for the failures that no real condition
// can cause on demand: fsync reporting an I/O error, waitpid interrupted or
// refused, pipe2 failing at a chosen call. (A child sets itself up with raw system calls, which no
// wrapper reaches: sys_faults_test refuses those with a seccomp filter.)
//
// Only wrapped_faults_test links them, together with a static copy of the
// library built for it: the program is linked with -Wl,--wrap=<call>, so
// every call of the library (and of the test) goes through __wrap_<call>.
// Unarmed, a wrapper simply makes the real call. The plan lives in plain
// memory: a child started with vfork semantics shares it with its parent,
// a forked child gets a copy of its own.

#include <sys/types.h>

namespace quill::test {

enum class WrappedCall { kFsync, kWaitpid, kPipe2 };

// Lets `skip` calls of `call` through, then makes the next one fail with
// `errorNumber`; the calls after it go through again.
void failOnce(WrappedCall call, int errorNumber, int skip = 0);

// After `skip` further successful pipe2 calls, the next one forks a copy of
// this process that holds every descriptor (the new pipe's ends included)
// and waits to be killed, as a fork without exec in another thread of a
// daemon would. Its pid is heldBy().
void holdAfterPipe(int skip);
pid_t heldBy();

// Disarms every wrapper.
void passAll();

// How many failures have been injected into `call` in this process (and in
// children that share its memory) since the last passAll().
int injectedFailures(WrappedCall call);

}  // namespace quill::test
