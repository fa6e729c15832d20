#pragma once
/// @file
/// The host's fully qualified domain name, as the system resolver gives it.
///
/// Procedural: reports its reasons for a failure on the log channel
/// (log_message at level 3 (LOG_ERR)) and returns a status; it never throws.
/// No state of its own; as safe for threads as getaddrinfo(3) and the log
/// channel, which is to say: call it from one thread.

#include <quill/export.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Writes the canonical name that the resolver gives for the kernel's host
/// name into the caller's buffer @p buf of @p size bytes (the terminating zero
/// included), zero-filling the rest of it. The name must contain a dot; it is
/// returned as the resolver gave it (no case folding, a trailing dot kept).
/// @param buf the caller's buffer; written only on success.
/// @param size the size of @p buf in bytes, the terminating zero included; a
///        65-byte buffer holds any host name.
/// @return 0 on success; -1 on failure (no host name, the resolver fails or
/// gives no canonical name, the name has no dot, or it does not fit), with the
/// reason logged and @p buf left untouched.
QUILL_API int get_host_fqdn(char* buf, size_t size);

#ifdef __cplusplus
}
#endif
