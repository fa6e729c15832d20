#pragma once
/// @file
/// QUILL_API marks the names that the shared library exports.
///
/// The library is built with hidden visibility: a class or function that
/// does not carry QUILL_API stays private to libquill, whatever header it is
/// declared in, so the soname promises only what the public headers mark.
/// Exception classes carry it too, so that their type information is one and
/// the same on both sides of the library boundary.

#if defined(__GNUC__) || defined(__clang__)
/// Exports the class, function or variable it marks from libquill.so.
#define QUILL_API __attribute__((visibility("default")))
/// Keeps a member of an exported class inside libquill.so (a private
/// constructor that only the library calls, say).
#define QUILL_LOCAL __attribute__((visibility("hidden")))
#else
#define QUILL_API
#define QUILL_LOCAL
#endif
