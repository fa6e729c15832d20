#pragma once
/// @file
/// Replacing a file's content all at once.
///
/// A FileReplacement stages the new content in a file of its own beside the
/// target and moves it over the target only when all of it is safely on disk,
/// so a full disk, an I/O error or a crash leaves either the old content or
/// the new one, never a mixture. A symbolic link at the target is replaced, not
/// followed. Failures throw the SystemError family (quill/errors/errors.h);
/// after a failure the staging file is gone and the target is as it was.

#include <quill/export.h>
#include <quill/files/tmpfile.h>

#include <ostream>
#include <string>

namespace quill {

/// An output stream whose content becomes the file at a given path when
/// commit() succeeds. Until then the target is untouched; a replacement
/// destroyed without a successful commit() removes its staging file.
class QUILL_API FileReplacement : private TmpFileBase, public std::ostream {
 public:
  /// Creates the staging file, a new file with a unique hidden name in the
  /// directory of @p target, and gives it at once the permission bits and
  /// owner of the regular file it replaces (a new file or one replacing a
  /// link keeps 0666 less the umask), so that no content is ever staged under
  /// looser bits than the target's.
  /// @throws SystemError with the message "Cannot create a file beside " and
  /// @p target (ExSystemError<2> when the directory is missing); no staging
  /// file is left then.
  explicit FileReplacement(const std::string& target);

  /// Removes the staging file unless commit() succeeded. Throws nothing.
  ~FileReplacement() override;

  /// Writes out the content, forces it to disk and renames it over the
  /// target.
  /// @throws SystemError with the message "Cannot replace " and the target
  /// when a write, the flush, the sync, the close or the rename fails; the
  /// staging file is then removed and the target left as it was. The errno
  /// of a write that failed in an earlier flush of the stream is not known
  /// any more and reads EIO. Call it
  /// once: a later call returns at once after a success and throws again
  /// (EBADF) after a failure.
  void commit();

  /// The path whose content this replaces.
  const std::string& target() const { return target_; }

 private:
  enum class State { kStaged, kCommitted, kFailed };

  std::string target_;
  State state_ = State::kStaged;
};

}  // namespace quill
