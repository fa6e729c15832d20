// The configuration file reader: lines parsed in place in the store's blocks
// of text.
//
// The text read from a file is kept in blocks owned by the store, and the
// definitions point into it: a name and a value are terminated in place, so
// loading a file costs a few allocations whatever its number of lines.

#include <quill/conf/detail/conf_reader.h>

#include <quill/conf/detail/conf_index.h>
#include <quill/conf/detail/conf_store.h>
#include <quill/conf/detail/conf_text.h>
#include <quill/log/log.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::detail {
namespace {

// Streams of unknown length are read in blocks of this size; a line that does
// not fit makes its block grow.
constexpr size_t kStreamBlockSize = size_t{64} * 1024;

// Character classes of the "C" locale, whatever locale the program set, as
// tables: the parser asks them once per byte.
struct CharClasses {
  bool space[256] = {};
  bool name[256] = {};
  constexpr CharClasses() {
    const char spaces[] = " \t\n\v\f\r";
    for (const char c : spaces) space[static_cast<unsigned char>(c)] = c != '\0';
    for (int c = 'a'; c <= 'z'; ++c) name[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) name[c] = true;
    for (int c = '0'; c <= '9'; ++c) name[c] = true;
    name[static_cast<unsigned char>('_')] = true;
  }
};
constexpr CharClasses kClasses;

bool isSpace(char c) {
  return kClasses.space[static_cast<unsigned char>(c)];
}
bool isNameChar(char c) {
  return kClasses.name[static_cast<unsigned char>(c)];
}

// A definition parsed from the text: its name and value are terminated in
// place and live as long as the store.
struct Definition {
  char* name;
  char* value;
  uint32_t tag;
};

// Definitions on their way into the store. Entering one costs a cache miss on
// its index slot, which is fetched ahead while the following lines are
// parsed. Holding definitions back changes nothing that can be seen: entering
// one allocates nothing and cannot fail, and the room for an entry is made at
// the very definition where it would be made if each were entered at once
// (while fewer definitions wait than free entries are left, no new name among
// them can fill the store).
class DefinitionQueue {
 public:
  explicit DefinitionQueue(ConfStore* store) : store_(store) {}
  DefinitionQueue(const DefinitionQueue&) = delete;
  DefinitionQueue& operator=(const DefinitionQueue&) = delete;
  ~DefinitionQueue() { flush(); }

  // Queues the definition of `name` (of `nameLength` bytes); -1 (logged,
  // errno ENOMEM) when the store has no room for it and cannot grow.
  int add(char* name, size_t nameLength, char* value) {
    if (store_->count + waiting_ >= store_->capacity) {
      flush();
      if (conf_store_reserve(store_) != 0) return -1;
    }
    if (waiting_ == kDepth) enter(queue_[first_]);
    const uint32_t tag = conf_name_tag(name, nameLength);
    conf_index_prefetch(tag, *store_);
    queue_[(first_ + waiting_) % kDepth] = Definition{name, value, tag};
    if (waiting_ == kDepth) {
      first_ = (first_ + 1) % kDepth;
    } else {
      ++waiting_;
    }
    return 0;
  }

  // Enters every waiting definition, oldest first.
  void flush() {
    for (; waiting_ > 0; --waiting_, first_ = (first_ + 1) % kDepth) enter(queue_[first_]);
  }

 private:
  static constexpr size_t kDepth = 16;

  void enter(const Definition& definition) {
    uint64_t* slot = conf_index_find(definition.name, definition.tag, *store_);
    conf_index_enter(definition.name, definition.value, definition.tag, slot, store_);
  }

  ConfStore* store_;
  Definition queue_[kDepth];
  size_t first_ = 0;
  size_t waiting_ = 0;
};

// About how many lines a large text holds, judged from its first lines.
uint64_t estimatedLines(const char* text, size_t length) {
  constexpr size_t kSample = size_t{64} * 1024;
  if (length <= kSample) return 0;  // not worth judging: the store grows quickly enough
  uint64_t lines = 0;
  for (const char* at = text;
       (at = static_cast<const char*>(memchr(at, '\n', text + kSample - at))); ++at)
    ++lines;
  return lines * (length / kSample) + lines * (length % kSample) / kSample;
}

enum class LineOutcome { kSkipped, kStored, kFailed };

// Parses one line, a C string that ends at its first zero byte, its newline
// included. The name and the value of a definition are terminated in place
// and queued.
LineOutcome parseLine(char* line, DefinitionQueue* queue) {
  char* text = line;
  while (isSpace(*text)) ++text;
  if (*text == '\0' || *text == '#') return LineOutcome::kSkipped;  // blank line or comment

  char* nameEnd = text;
  while (isNameChar(*nameEnd)) ++nameEnd;
  if (nameEnd == text || !isSpace(*nameEnd)) {
    log_message(kConfWarning,
                "Invalid variable definition %s\nExpected a space after variable name\n", text);
    return LineOutcome::kSkipped;
  }
  char* value = nameEnd;
  while (isSpace(*value)) ++value;
  if (*value == '\0' || *value == '#') {
    log_message(kConfWarning, "Invalid variable definition %s\nExpected a value", text);
    return LineOutcome::kSkipped;
  }
  // The value runs to the end of the line or a comment, less the whitespace
  // (newline and carriage return included) in front of that end.
  char* valueEnd = strchrnul(value, '#');
  while (isSpace(valueEnd[-1])) --valueEnd;
  *valueEnd = '\0';
  *nameEnd = '\0';
  return queue->add(text, nameEnd - text, value) == 0 ? LineOutcome::kStored : LineOutcome::kFailed;
}

// Parses the complete lines of [begin, end), and the unterminated rest too
// when `atEnd`, into the store; the byte at `end` may be written. Sets
// `*stored` once a definition points into the text. Returns where the
// unparsed rest begins, or null when a definition could not be stored.
char* parseLines(char* begin, char* end, bool atEnd, ConfStore* store, bool* stored) {
  DefinitionQueue queue(store);
  char* line = begin;
  while (line < end) {
    auto* newline = static_cast<char*>(memchr(line, '\n', end - line));
    if (newline == nullptr && !atEnd) break;
    char* next = newline != nullptr ? newline + 1 : end;
    // The line is ended after its newline for its parsing, and the first byte
    // of the next line put back afterwards; a value never reaches that byte
    // unless the text ends there.
    const char firstOfNext = *next;
    *next = '\0';
    const LineOutcome outcome = parseLine(line, &queue);
    if (next != end) *next = firstOfNext;
    if (outcome == LineOutcome::kFailed) return nullptr;
    if (outcome == LineOutcome::kStored) *stored = true;
    line = next;
  }
  return line;
}

// A whole regular file fits its first block, with one byte more so that the
// first read already meets the end of the file.
size_t firstBlockSize(FILE* stream) {
  struct stat status;
  const int fd = fileno(stream);
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      static_cast<uint64_t>(status.st_size) < SIZE_MAX / 2)
    return static_cast<size_t>(status.st_size) + 1;
  return kStreamBlockSize;
}

}  // namespace

int conf_store_read_stream(FILE* stream, ConfStore* store) {
  ConfText* block = conf_text_add(store, firstBlockSize(stream));
  if (block == nullptr) return -1;
  size_t filled = 0;         // bytes of the block read so far
  size_t parsed = 0;         // bytes of the block parsed so far
  bool blockStored = false;  // whether a definition points into the block
  bool firstRead = true;
  while (true) {
    if (filled == block->size) {
      // The unparsed rest, a line not yet read whole, goes to the front of
      // the block if nothing points into it, otherwise to a new block (of
      // the size of a stream's: a regular file that fit its first block has
      // grown since); a block that the line fills alone is replaced by one
      // twice as large.
      const size_t rest = filled - parsed;
      if (!blockStored && parsed > 0) {
        memmove(block->bytes(), block->bytes() + parsed, rest);
      } else {
        ConfText* next =
            conf_text_add(store, rest * 2 > kStreamBlockSize ? rest * 2 : kStreamBlockSize);
        if (next == nullptr) return -1;
        memcpy(next->bytes(), block->bytes() + parsed, rest);
        if (!blockStored) {
          next->next = block->next;
          conf_text_free(block);
        }
        block = next;
        blockStored = false;
      }
      filled = rest;
      parsed = 0;
    }

    const size_t wanted = block->size - filled;
    errno = 0;
    const size_t got = fread(block->bytes() + filled, 1, wanted, stream);
    int readErrno = errno;
    if (firstRead) {
      // Most often the whole file: the index can be made for all of it.
      conf_index_grow_ahead(store, store->count + estimatedLines(block->bytes(), got));
      firstRead = false;
    }
    filled += got;
    const bool atEnd = got < wanted;
    char* rest =
        parseLines(block->bytes() + parsed, block->bytes() + filled, atEnd, store, &blockStored);
    if (rest == nullptr) return -1;
    parsed = rest - block->bytes();
    if (!atEnd) continue;

    if (feof(stream) && !ferror(stream)) return 0;
    if (readErrno == 0) readErrno = EIO;  // a stream error that left errno alone
    log_message(kConfWarning, "Unable to read configuration file: %s", strerror(readErrno));
    errno = readErrno;
    return -1;
  }
}

int conf_store_read_file(const char* path, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  // Non-blocking, so that a named pipe at the path cannot hold the program up
  // until someone writes to it; close-on-exec, so that programs started
  // meanwhile never inherit it.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat info;
  if (descriptor < 0 || fstat(descriptor, &info) != 0) {
    const int openErrno = errno;
    if (descriptor >= 0) close(descriptor);
    log_message(kConfWarning, "unable to open configuration file %s: %s\n", path,
                strerror(openErrno));
    errno = openErrno;
    return -1;
  }
  // Only a regular file has an end to read to: a pipe or a device is refused
  // before the first read. A directory fails that read, which says so.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    close(descriptor);
    log_message(kConfWarning, "unable to open configuration file %s: %s\n", path,
                "not a regular file");
    errno = EINVAL;
    return -1;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags != -1) fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(descriptor, "r");
  if (file == nullptr) {
    const int openErrno = errno;
    close(descriptor);
    log_message(kConfWarning, "unable to open configuration file %s: %s\n", path,
                strerror(openErrno));
    errno = openErrno;
    return -1;
  }
  const int result = conf_store_read_stream(file, store);
  const int readErrno = errno;
  fclose(file);
  errno = readErrno;
  return result;
}

}  // namespace quill::detail
