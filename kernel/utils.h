// SPDX-License-Identifier: BSD-3-Clause
// Reporting, data-file paths, files read and written safely, and the
// blank-stripping copy.
#ifndef PULVINA_UTILS_H
#define PULVINA_UTILS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum MessageType {
  MESSAGE_ERROR = 0,
  MESSAGE_WARNING = 1,
  MESSAGE_HINT = 2,
  MESSAGE_PLAIN = 3
};

// Formats at most 1023 characters and hands them to the installed sink.
// Returns the number of characters formatted. Safe from any thread.
int Message(int type, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The sink receives the message type and the formatted text, which carries its
// own line ends. It is called outside the kernel's locks, from whichever
// thread reported, so it must be safe for threads itself (it may take the
// toolkit's lock without risk of a deadlock with a timer that reports too).
// One thread's messages reach it in the order they were sent.
using MessageSink = std::function<void(int type, const std::string &text)>;
// Installs a sink and returns the one it replaces; an empty sink restores the
// default, which writes to standard error with a prefix for the type.
MessageSink SetMessageSink(MessageSink sink);
void DefaultMessageSink(int type, const std::string &text);

// Where the data files ("sgt.xml", "asft.dat", "nslt.dat") are read: the
// folder, and the folders searched to find it, which the message about a
// missing data file names. A job carries its own (JobSettings); functions
// given none use the default below, never the working directory.
struct DataLocation {
  std::string directory;
  std::vector<std::string> searched;
};
// FindDataDirectory's choice for a run given no folder, made once: it
// depends only on the environment and on where the program sits.
const DataLocation &DefaultDataLocation();
// FindDataDirectory's choice with the folders it searched.
DataLocation LocateData(const std::string &requested);
std::string DataPath(const DataLocation &data, const char *name);
// A line for the message about a data file that cannot be read: the folders
// searched when it is missing, else the full path of the file.
std::string DataFileNote(const DataLocation &data, const char *name);

// The data folder for a run: the requested folder when one is given, else
// the environment variable PULVINA_DATA, else the installed folder beside
// the running program (../share/pulvina from its bin folder), else, for a
// program run from the build tree, the source tree's data folder. The two
// automatic places count only when they hold sgt.xml; when neither does,
// the first is returned, so that the error that follows names it. Every
// folder considered is appended to searched (when not null).
std::string FindDataDirectory(const std::string &requested, std::vector<std::string> *searched);

// The source tree of the build tree the running program sits in (up to three
// folders below the build folder), from the build's CMake cache; empty for
// an installed program.
std::string BuildTreeSource();

// Joins a folder and a name with the platform's directory separator; an empty
// folder leaves the name alone.
std::string JoinPath(const std::string &folder, const std::string &name);
// The folder part of a path ("" for a bare name).
std::string DirName(const std::string &path);

struct FileCloser {
  void operator()(std::FILE *f) const { if (f) std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
FilePtr OpenFile(const std::string &path, const char *mode);

// Largest files the readers take: far above any real job, far below what
// would exhaust memory or time.
constexpr long long kMaxControlFileBytes = 4LL << 20;
constexpr long long kMaxPeakFileBytes = 256LL << 20;
constexpr long long kMaxDataFileBytes = 16LL << 20;

// Opens a file for reading only when it is a regular file of at most
// maxBytes bytes. A folder, a device, a FIFO or a socket is refused without
// reading from it (a FIFO does not wait for a writer). Null otherwise, with
// the reason ("is a folder", "is larger than ...", the system's text) in
// *why.
FilePtr OpenInputFile(const std::string &path, long long maxBytes, std::string *why);

// Reads a text stream line by line. Lines keep at most maxLength
// characters; a longer line is consumed whole and marked, never continued as
// a new line. Reading stops after maxBytes bytes, so that a file that grows
// while read, or a stream without line ends, cannot run on for ever.
class LineReader {
 public:
  LineReader(std::FILE *file, size_t maxLength, long long maxBytes);
  // The next line without its line end (LF, and a CR before it). False at
  // the end of the stream, after a read error or at the byte limit.
  bool Next();
  // Counted from 1; comment and blank lines count too.
  int number() const { return number_; }
  // The line, cut to maxLength characters.
  const std::string &text() const { return text_; }
  // Characters of the whole line, also beyond maxLength.
  size_t length() const { return length_; }
  bool tooLong() const { return length_ > maxLength_; }
  // A NUL or another control character than tab, CR, vertical tab and form
  // feed: not a text file.
  bool binary() const { return binary_; }
  // True when the stream ended in a read error or reached the byte limit.
  bool failed() const { return failed_; }
  bool exceeded() const { return exceeded_; }
  // True when a line ran past kMaxLineBytes: it is returned marked too
  // long, and reading ends there (failed() is then true too).
  bool abandoned() const { return abandoned_; }
  // No text file has lines this long; a stream that has them is no text.
  static constexpr size_t kMaxLineBytes = 1 << 16;

 private:
  std::FILE *file_;
  size_t maxLength_;
  long long maxBytes_;
  long long read_ = 0;
  int number_ = 0;
  std::string text_;
  size_t length_ = 0;
  bool binary_ = false;
  bool failed_ = false;
  bool exceeded_ = false;
  bool abandoned_ = false;
};

// A file written through a scratch file beside it: the target is replaced
// only by commit(), once everything was written, so a full disk or a crash
// never leaves a half-written file behind. Dropped uncommitted, the scratch
// file is removed.
//
// The scratch file is created exclusively (never through a link someone
// placed under its name) in the target's folder. A target that exists must
// be a regular file or a link to one: a link keeps pointing where it did,
// and the file it names is replaced with the same permissions. Anything else
// (a folder, a device, a FIFO, a dangling link) is refused.
class AtomicFile {
 public:
  explicit AtomicFile(const std::string &path, const char *mode = "w");
  ~AtomicFile();
  AtomicFile(const AtomicFile &) = delete;
  AtomicFile &operator=(const AtomicFile &) = delete;
  // Null when the target was refused or the scratch file could not be
  // created; error() then says why.
  std::FILE *get() const { return file_.get(); }
  // Closes and renames; false when a write, the close or the rename failed.
  bool commit();
  // Why the file could not be created or written, "" when nothing failed.
  const std::string &error() const { return error_; }

 private:
  std::string target_, scratch_, error_;
  FilePtr file_;
};

// Copies source without blank, tab, line feed, vertical tab, form feed and
// carriage return; destination must hold strlen(source) + 1 characters.
char *RemoveSpace(const char *source, char *destination);
std::string RemoveSpace(const std::string &source);

// Bounded copy into a fixed field: at most size - 1 characters, always
// terminated.
void CopyText(char *destination, size_t size, const char *source);

#endif
