#pragma once
/// @file
/// Output streams into newly created files with unique names.
///
/// createTempFile() makes the file; TmpFileBase owns its path and a buffered
/// output file buffer over its descriptor; TmpFile is the stream built on
/// them, and can remove its file when it is destroyed. Creation failures throw
/// the SystemError family (quill/errors/errors.h); destructors never throw.
/// Nothing here is shared between threads.

#include <quill/export.h>
#include <ext/stdio_filebuf.h>

#include <ostream>
#include <string>

namespace quill {

/// A file just created and opened: its final path and its descriptor. The
/// descriptor belongs to whoever receives the record (normally a TmpFileBase).
struct QUILL_API OpenedFile {
  /// The path of the created file, unique part filled in.
  std::string path;
  /// The open descriptor of that file (close-on-exec).
  int descriptor;
};

/// Creates a new file named @p prefix followed by six characters that make the
/// name unique, readable and writable by its owner only, and opens it for
/// reading and writing. The directory part of @p prefix must exist; a relative
/// prefix is taken from the current directory.
/// @throws SystemError (ExSystemError<2> for a missing directory) with the
/// message "mkstemp() failed".
QUILL_API OpenedFile createTempFile(const std::string& prefix);

/// A file's path and a 2048-byte output buffer over its descriptor, for the
/// output streams that write into a newly created file. Owns the descriptor
/// and closes it (writing out what is still buffered) when destroyed.
class QUILL_API TmpFileBase {
 public:
  /// Takes over @p file's descriptor. Throws nothing of its own; if the buffer
  /// cannot be attached, the descriptor is closed at once and every write
  /// through the buffer fails.
  explicit TmpFileBase(const OpenedFile& file);

  /// Writes out pending output and closes the descriptor; errors are ignored
  /// (use syncAndClose() to learn of them).
  ~TmpFileBase();

  TmpFileBase(const TmpFileBase&) = delete;
  TmpFileBase& operator=(const TmpFileBase&) = delete;

 protected:
  /// Writes out what is buffered, forces the file's data to the device and
  /// closes the descriptor, which is closed whatever happens.
  /// @return 0, or the errno of the first step that failed.
  int syncAndClose() noexcept;

  /// The file's path, as created.
  std::string path;
  /// The output buffer; it owns the descriptor.
  __gnu_cxx::stdio_filebuf<char> buffer;
};

/// An output stream into a new file with a unique name. The file stays when
/// the stream is destroyed unless autoclean was set.
class QUILL_API TmpFile : private TmpFileBase, public std::ostream {
 public:
  /// Creates the file as createTempFile(@p prefix) does.
  /// @throws SystemError with "mkstemp() failed"; then no file exists.
  explicit TmpFile(const std::string& prefix);

  /// Removes the file first when autoclean is set (a failure other than the
  /// file being gone already is reported as one line "TmpFile autoclean
  /// failed: <system text>" on std::cerr), then writes out pending output and
  /// closes the descriptor. Throws nothing.
  ~TmpFile() override;

  /// The path of the file.
  const std::string& path() const { return TmpFileBase::path; }

  /// Whether the destructor removes the file; false until set.
  void setAutoclean(bool enabled) { autoclean_ = enabled; }

  /// The current autoclean setting.
  bool autoclean() const { return autoclean_; }

 private:
  bool autoclean_ = false;
};

}  // namespace quill
