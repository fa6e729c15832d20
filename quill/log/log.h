#pragma once
/// @file
/// The process-wide log channel: the system log or the console.
///
/// Every message of the library travels through the two function pointers
/// log_message and log_vmessage, so that in syslog mode a message goes straight
/// to syslog(3). In console mode a message is its formatted text and a line
/// feed, with no prefix, on standard error and (for the target "console" or no
/// target at all) also on standard output; each stream is flushed after every
/// message.
///
/// Ownership: the channel keeps the pointers it is given (the console target
/// and, inside the C library, the syslog identity); the caller's strings must
/// outlive the channel. Nothing here throws or reports a failure. The state is
/// plain process-wide variables without a lock: set the channel up before other
/// threads start.

#include <quill/export.h>
#include <stdarg.h>
#include <stddef.h>
#include <syslog.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Console target: null selects syslog once log_init() has run (and means
/// "both streams" before that); otherwise "console" (standard error and
/// standard output) or "stderr" (standard error only), compared without regard
/// to case; any other text silences the console. Borrowed, never copied.
extern QUILL_API const char* log_console_target;

/// The highest level that the console functions print; 6 (LOG_INFO) at start.
/// The whole level number is compared, facility bits included.
extern QUILL_API int log_threshold;

/// The facility that log_init() passed to openlog(); 0 until log_init() runs.
extern QUILL_API int log_facility;

/// Entry point for messages with variable arguments: console_log() at start and
/// in console mode, syslog() itself in syslog mode.
extern QUILL_API void (*log_message)(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// Entry point for callers that hold a va_list: console_vlog() at start and in
/// console mode, vsyslog() itself in syslog mode.
extern QUILL_API void (*log_vmessage)(int level, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

/// Selects the destination and the level; may be called again to switch.
///
/// A non-null @p console_target selects the console (an earlier syslog
/// connection stays open and idle). A null one closes any earlier syslog
/// connection and opens a new one.
/// @param console_target null for syslog, else the console target (see
///        log_console_target); kept, not copied.
/// @param level the highest level to let through; see log_set_level().
/// @param facility the syslog facility, stored in log_facility.
/// @param options openlog() options; LOG_PID is always added. Syslog mode only.
/// @param ident the syslog identity; the C library keeps the pointer, so it
///        must stay valid while syslog is open. Syslog mode only.
/// @return what log_set_level(@p level) returns.
QUILL_API int log_init(const char* console_target, int level, int facility, int options,
                       const char* ident);

/// Sets the level: log_threshold becomes @p level, raised to 0 if negative; in
/// syslog mode the syslog mask becomes LOG_UPTO(@p level) (a negative level
/// gives the empty mask, which leaves the mask unchanged; a level above 30
/// lets every severity through).
/// @param level a level from 0 (LOG_EMERG) to 7 (LOG_DEBUG), without facility
///        bits.
/// @return the stored threshold in console mode; in syslog mode the previous
/// mask that setlogmask() returns.
QUILL_API int log_set_level(int level);

/// Formats a message printf-style and writes it to the console; see
/// console_vlog().
/// @param level the message's level, facility bits included.
/// @param format a printf format; its arguments follow.
QUILL_API void console_log(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// Writes one message to the console unless @p level is above log_threshold or
/// the target silences the console: the text and a line feed go to standard
/// error, then (target null or "console") the same to standard output. Write
/// errors are ignored; errno is left as it was.
/// @param level the message's level, compared whole with log_threshold.
/// @param format a printf format.
/// @param args the format's arguments; used through copies, left unconsumed.
QUILL_API void console_vlog(int level, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

#ifdef __cplusplus
}
#endif
