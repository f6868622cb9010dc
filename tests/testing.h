// Helpers shared by the test programs.
#ifndef PULVINA_TESTING_H
#define PULVINA_TESTING_H

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "utils.h"

// Collects every message while alive, from any thread; restores the
// previous sink after. Read it once the threads that report are done.
class CapturedMessages {
 public:
  CapturedMessages();
  ~CapturedMessages();
  CapturedMessages(const CapturedMessages &) = delete;
  CapturedMessages &operator=(const CapturedMessages &) = delete;

  const std::vector<std::pair<int, std::string>> &all() const { return messages_; }
  // Every text joined, in order.
  std::string text() const;
  size_t size() const { return messages_.size(); }
  void clear() { messages_.clear(); }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> messages_;
  MessageSink previous_;
};

// A scratch folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes text to a file in the folder and returns its path.
  std::string write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string &path);

// Points the kernel at the data files of the source tree.
void UseSourceData();

#endif
