// SPDX-License-Identifier: BSD-3-Clause
#include "utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::mutex &SinkMutex() {
  static std::mutex m;
  return m;
}

// Replaced whole, never changed in place: a reporting thread keeps its copy
// alive while it calls it, outside the lock.
std::shared_ptr<const MessageSink> &Sink() {
  static std::shared_ptr<const MessageSink> sink;
  return sink;
}

}  // namespace

void DefaultMessageSink(int type, const std::string &text) {
  const char *prefix = "";
  switch (type) {
    case MESSAGE_ERROR: prefix = "error: "; break;
    case MESSAGE_WARNING: prefix = "warning: "; break;
    case MESSAGE_HINT: prefix = "hint: "; break;
    default: break;
  }
  // One call per message, so that lines of different threads do not mix.
  std::fprintf(stderr, "%s%s", prefix, text.c_str());
  std::fflush(stderr);
}

int Message(int type, const char *format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) {
    buffer[0] = '\0';
    n = 0;
  }
  const std::string text(buffer);
  std::shared_ptr<const MessageSink> sink;
  {
    std::lock_guard<std::mutex> lock(SinkMutex());
    sink = Sink();
  }
  if (sink && *sink)
    (*sink)(type, text);
  else
    DefaultMessageSink(type, text);
  return n < 1023 ? n : 1023;
}

MessageSink SetMessageSink(MessageSink sink) {
  std::shared_ptr<const MessageSink> next;
  if (sink) next = std::make_shared<const MessageSink>(std::move(sink));
  std::lock_guard<std::mutex> lock(SinkMutex());
  std::shared_ptr<const MessageSink> old = std::move(Sink());
  Sink() = std::move(next);
  return old ? *old : MessageSink();
}

const DataLocation &DefaultDataLocation() {
  static const DataLocation location = LocateData("");
  return location;
}

DataLocation LocateData(const std::string &requested) {
  DataLocation l;
  l.directory = FindDataDirectory(requested, &l.searched);
  return l;
}

std::string DataPath(const DataLocation &data, const char *name) {
  return JoinPath(data.directory, name);
}

std::string DataFileNote(const DataLocation &data, const char *name) {
  const std::string path = DataPath(data, name);
  std::error_code error;
  if (fs::exists(path, error)) return "  data file: " + path + "\n";
  std::string folders;
  for (const std::string &folder :
       data.searched.empty() ? std::vector<std::string>{data.directory} : data.searched)
    folders += (folders.empty() ? "" : ", ") + (folder.empty() ? std::string(".") : folder);
  return "  data folders searched: " + folders + "\n";
}

std::string FindDataDirectory(const std::string &requested, std::vector<std::string> *searched) {
  auto consider = [searched](const std::string &folder) {
    if (searched) searched->push_back(folder);
  };
  // A folder the user named is taken as it is: quietly falling back to
  // another would hide the mistake.
  if (!requested.empty()) {
    consider(requested);
    return requested;
  }
  const char *environment = std::getenv("PULVINA_DATA");
  if (environment && *environment) {
    consider(environment);
    return environment;
  }
  std::vector<std::string> automatic;
  std::error_code error;
  const fs::path program = fs::canonical("/proc/self/exe", error);
  if (!error)
    automatic.push_back(
        (program.parent_path() / PULVINA_RELATIVE_DATA_DIR).lexically_normal().string());
  // A program that was never installed reads the data of the tree it was
  // built from, found through the build tree around it rather than a path
  // compiled in: an installed copy must carry no trace of the build machine.
  const std::string source = BuildTreeSource();
  if (!source.empty()) automatic.push_back(JoinPath(source, "data"));
  if (automatic.empty()) automatic.push_back("data");
  for (const std::string &folder : automatic) {
    consider(folder);
    if (fs::is_regular_file(fs::path(folder) / "sgt.xml", error)) return folder;
  }
  return automatic.front();
}

std::string BuildTreeSource() {
  std::error_code error;
  const fs::path program = fs::canonical("/proc/self/exe", error);
  if (error) return "";
  // The build folder holds the CMake cache, which names the source tree;
  // test programs sit a few folders below it.
  const std::string key = "Pulvina_SOURCE_DIR:STATIC=";
  fs::path folder = program.parent_path();
  for (int up = 0; up < 4 && !folder.empty(); ++up, folder = folder.parent_path()) {
    std::ifstream cache(folder / "CMakeCache.txt");
    std::string line;
    while (cache && std::getline(cache, line))
      if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
    if (folder == folder.root_path()) break;
  }
  return "";
}

std::string JoinPath(const std::string &folder, const std::string &name) {
#ifdef _WIN32
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  if (folder.empty()) return name;
  if (folder.back() == separator) return folder + name;
  return folder + separator + name;
}

std::string DirName(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

FilePtr OpenFile(const std::string &path, const char *mode) {
  return FilePtr(std::fopen(path.c_str(), mode));
}

namespace {

std::string SystemError(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
  if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
  if (S_ISSOCK(mode)) return "is a socket, not a regular file";
  return "is not a regular file";
}

std::string SizeText(long long bytes) {
  char text[64];
  if (bytes >= (1LL << 20))
    std::snprintf(text, sizeof text, "%lld MB", bytes >> 20);
  else
    std::snprintf(text, sizeof text, "%lld bytes", bytes);
  return text;
}

// The process's file-creation mask, read without changing it (umask() can
// only be read by setting it, which other threads would see).
mode_t CurrentUmask() {
  FilePtr status(std::fopen("/proc/self/status", "r"));
  char line[256];
  while (status && std::fgets(line, sizeof line, status.get())) {
    unsigned mask = 0;
    if (std::sscanf(line, "Umask: %o", &mask) == 1) return static_cast<mode_t>(mask & 0777);
  }
  return 022;
}

}  // namespace

FilePtr OpenInputFile(const std::string &path, long long maxBytes, std::string *why) {
  // Looked at before opening: opening a device or a FIFO can block or have
  // effects of its own.
  struct stat before;
  if (::stat(path.c_str(), &before) != 0) {
    *why = SystemError(errno);
    return nullptr;
  }
  if (!S_ISREG(before.st_mode)) {
    *why = KindOf(before.st_mode);
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = SystemError(errno);
    return nullptr;
  }
  // Checked again on what was opened, in case the name changed meanwhile.
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = ::fstat(fd, &st) != 0 ? SystemError(errno) : KindOf(st.st_mode);
    ::close(fd);
    return nullptr;
  }
  if (st.st_size > maxBytes) {
    *why = "is larger than " + SizeText(maxBytes) + " (" + std::to_string(st.st_size) + " bytes)";
    ::close(fd);
    return nullptr;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE *f = ::fdopen(fd, "r");
  if (!f) {
    *why = SystemError(errno);
    ::close(fd);
    return nullptr;
  }
  why->clear();
  return FilePtr(f);
}

LineReader::LineReader(std::FILE *file, size_t maxLength, long long maxBytes)
    : file_(file), maxLength_(maxLength), maxBytes_(maxBytes) {
  text_.reserve(maxLength);
}

bool LineReader::Next() {
  text_.clear();
  length_ = 0;
  binary_ = false;
  if (failed_ || !file_) return false;
  bool any = false;
  int c = EOF, previous = EOF;
  for (;;) {
    if (read_ >= maxBytes_) {
      exceeded_ = failed_ = true;
      return false;
    }
    c = std::getc(file_);
    if (c == EOF) {
      if (std::ferror(file_)) {
        failed_ = true;
        return false;
      }
      break;
    }
    ++read_;
    any = true;
    if (c == '\n') break;
    if (c == 0 || c == 0x7f ||
        (c < 0x20 && c != '\t' && c != '\r' && c != '\v' && c != '\f'))
      binary_ = true;
    if (length_ < maxLength_) text_.push_back(static_cast<char>(c));
    ++length_;
    previous = c;
    if (length_ > kMaxLineBytes) {
      abandoned_ = failed_ = true;
      break;
    }
  }
  if (!any) return false;
  if (!abandoned_ && c == '\n' && previous == '\r') {
    // A CR before the LF belongs to the line end, also where it was the one
    // character beyond the limit.
    if (length_ <= maxLength_) text_.pop_back();
    --length_;
  }
  ++number_;
  return true;
}

AtomicFile::AtomicFile(const std::string &path, const char *mode) : target_(path) {
  mode_t permissions = 0666 & ~CurrentUmask();
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // The link stays; the file it leads to is the one replaced.
      char *real = ::realpath(path.c_str(), nullptr);
      if (!real) {
        error_ = errno == ENOENT ? "is a link to a file that does not exist" : SystemError(errno);
        return;
      }
      target_ = real;
      std::free(real);
      if (::stat(target_.c_str(), &st) != 0) {
        error_ = SystemError(errno);
        return;
      }
    }
    if (!S_ISREG(st.st_mode)) {
      error_ = KindOf(st.st_mode);
      return;
    }
    permissions = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    error_ = SystemError(errno);
    return;
  }
  std::string folder = DirName(target_);
  const size_t slash = target_.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  // Hidden and short enough for any name the target may have.
  std::string templ = JoinPath(folder, "." + base.substr(0, 200) + ".XXXXXX");
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error_ = SystemError(errno);
    return;
  }
  scratch_ = name.data();
  std::FILE *f = nullptr;
  if (::fchmod(fd, permissions) != 0 || !(f = ::fdopen(fd, mode))) {
    error_ = SystemError(errno);
    ::close(fd);
    ::unlink(scratch_.c_str());
    scratch_.clear();
    return;
  }
  file_.reset(f);
}

AtomicFile::~AtomicFile() {
  if (file_) {
    file_.reset();
    ::unlink(scratch_.c_str());
  }
}

bool AtomicFile::commit() {
  if (!file_) return false;
  const bool writeFailed = std::fflush(file_.get()) != 0 || std::ferror(file_.get()) != 0;
  const int writeError = errno;
  const bool closeFailed = std::fclose(file_.release()) != 0;
  const int closeError = errno;
  if (writeFailed || closeFailed) {
    error_ = SystemError(writeFailed ? writeError : closeError);
    ::unlink(scratch_.c_str());
    return false;
  }
  if (std::rename(scratch_.c_str(), target_.c_str()) != 0) {
    error_ = SystemError(errno);
    ::unlink(scratch_.c_str());
    return false;
  }
  return true;
}

static bool IsSpaceChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *RemoveSpace(const char *source, char *destination) {
  char *out = destination;
  for (const char *p = source; *p; ++p)
    if (!IsSpaceChar(*p)) *out++ = *p;
  *out = '\0';
  return destination;
}

std::string RemoveSpace(const std::string &source) {
  std::string out;
  out.reserve(source.size());
  for (char c : source)
    if (!IsSpaceChar(c)) out.push_back(c);
  return out;
}

void CopyText(char *destination, size_t size, const char *source) {
  if (size == 0) return;
  size_t n = std::strlen(source);
  if (n > size - 1) n = size - 1;
  std::memcpy(destination, source, n);
  destination[n] = '\0';
}
