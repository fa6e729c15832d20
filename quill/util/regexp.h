#pragma once
/// @file
/// POSIX regular expressions (regcomp/regexec) behind a small owning class.
///
/// A Regexp owns its compiled expression for its whole life and is neither
/// copied nor moved. A match result keeps its own copy of the subject, so the
/// texts it hands out stay valid after the caller's string has changed or
/// gone; results made by Match are shared through boost::shared_ptr. Nothing
/// here is synchronised: use one Regexp per thread.

#include <quill/export.h>
#include <boost/shared_ptr.hpp>

#include <regex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quill {

/// One compiled POSIX regular expression.
class QUILL_API Regexp {
 public:
  /// Where one sub-expression matched inside MatchResultData::subject.
  struct MatchGroup {
    /// Offset of the first matched byte from the beginning of the whole
    /// subject, or -1 when the sub-expression took no part in the match.
    /// 64 bits wide so that matches beyond 2 GiB into a subject keep their place.
    int64_t start = -1;
    /// Number of matched bytes; 0 when the sub-expression took no part.
    uint64_t length = 0;
  };

  /// The outcome of one successful match: the subject and where each group
  /// matched in it.
  struct QUILL_API MatchResultData {
    /// A copy of the whole string that was searched, not only the part
    /// after the start offset.
    std::string subject;
    /// The offset in subject at which the search began.
    uint64_t offset = 0;
    /// Element 0 is the whole match, element i the i-th parenthesised
    /// sub-expression; exactly as many as the caller asked for.
    std::vector<MatchGroup> groups;

    /// The group at index. Raises std::out_of_range for an index at or
    /// beyond the number of groups.
    const MatchGroup& GroupAt(size_t index) const { return groups.at(index); }

    /// The text a group matched: empty when it took no part, cut short at
    /// the end of subject. Raises std::out_of_range when the group starts
    /// beyond the end of subject.
    std::string Text(const MatchGroup& group) const;

    /// The text of the group at index; raises std::out_of_range as GroupAt
    /// and Text(const MatchGroup&) do.
    std::string Text(size_t index) const { return Text(GroupAt(index)); }

    /// The texts of all groups, in order; empty when groups is empty.
    std::vector<std::string> Texts() const;
  };

  /// Compiles pattern with the given regcomp flags (REG_EXTENDED,
  /// REG_ICASE, REG_NEWLINE, REG_NOSUB), passed on unchanged. Raises
  /// std::runtime_error whose message is the C library's own text for the
  /// error when the pattern is rejected.
  Regexp(const std::string& pattern, int flags);

  /// Releases the compiled expression.
  ~Regexp();

  Regexp(const Regexp&) = delete;
  Regexp& operator=(const Regexp&) = delete;

  /// Searches subject from its beginning. Returns a new result holding
  /// groupCount groups (the whole match counts as the first) on a match,
  /// an empty pointer otherwise. execFlags are regexec's REG_NOTBOL and
  /// REG_NOTEOL, passed on unchanged. Raises std::runtime_error with the C
  /// library's text when the search itself fails (running out of memory,
  /// flags it does not know).
  boost::shared_ptr<MatchResultData> Match(const std::string& subject, uint64_t groupCount,
                                           int execFlags) const;

  /// Searches subject from startOffset on and tells whether the expression
  /// matches there; a caret matches at startOffset unless execFlags hold
  /// REG_NOTBOL. When result is not null, a match replaces its contents:
  /// the whole subject, startOffset, and exactly groupCount groups whose
  /// positions count from the beginning of the whole subject. Without a
  /// match, or when an error is raised, result is left as it was. Raises
  /// std::out_of_range when startOffset lies beyond the end of subject and
  /// std::runtime_error as Match does, also when the text to search is longer
  /// than the C library can count (2 GiB). The search sees subject up to its
  /// first NUL byte.
  bool MatchInto(MatchResultData* result, const std::string& subject, uint64_t startOffset,
                 uint64_t groupCount, int execFlags) const;

  /// MatchInto from the beginning of subject. The two overloads differ in
  /// arity only, so a call always says whether it passes a start offset.
  bool MatchInto(MatchResultData* result, const std::string& subject, uint64_t groupCount,
                 int execFlags) const {
    return MatchInto(result, subject, 0, groupCount, execFlags);
  }

  /// text with a backslash before every character that is special in
  /// basic syntax ("\.*[]^$") or, when extended is true, in extended syntax
  /// (those and "+?{}()|"), so that it matches itself inside a pattern.
  static std::string Escape(const std::string& text, bool extended);

 private:
  regex_t regex;
};

}  // namespace quill
