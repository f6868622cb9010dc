// SPDX-License-Identifier: BSD-3-Clause
// Helpers shared by the test programs.
#ifndef PULVINA_TESTING_H
#define PULVINA_TESTING_H

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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

// Shows the messages no test captures only for a test that fails, so that a
// passing run prints just the framework's lines. Call once; returns true.
bool ShowMessagesOfFailedTestsOnly();

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

// Paths that no reader may read, each with the reason given for it: a
// missing file, a folder and a FIFO made in dir (named stem.extension), and
// a device. Reading the last two used to never end.
std::vector<std::pair<std::string, std::string>> UnreadablePaths(const TempDir &dir,
                                                                 const std::string &extension);

// The contents of a file; a file that cannot be read fails the running test
// with its name (and gives "").
std::string ReadWholeFile(const std::string &path);

// Runs a shell command, its output and errors into *output; gives the exit
// status, or -1 when it did not exit.
int RunCommand(const std::string &command, std::string *output = nullptr);
// Runs a shell command that must end with the status given, else fails the
// running test with its output; returns its standard output and error.
std::string RunExpecting(const std::string &command, int status = 0);

// Success when text holds part; else a failure that shows the text.
::testing::AssertionResult Holds(const std::string &text, const std::string &part);

// Fractional coordinates equal up to a whole cell.
bool SameModOne(double a, double b, double tolerance);

// A file of tests/data, by its path relative to that folder.
std::string TestDataPath(const std::string &relative);

// One case of tests/data: indexed X-ray data of a known structure computed by
// an independent program, and the answer, from the case's truth.json.
struct ReferenceAtom {
  std::string element;
  double x = 0, y = 0, z = 0;
};
struct ReferenceCase {
  std::string name;
  std::string epc;  // as the solver prints it; one element's sites in letter order
  std::vector<ReferenceAtom> atoms;
  int freeCoordinates = -1, epcCount = -1, reflections = -1;
  double rTrueOnNoisy = -1;  // grouped Bragg factor of the truth on the noisy file
  // The case's file named NAME + suffix: path("_clean.hkl"), path(".epc").
  std::string path(const std::string &suffix) const;
};
// The six cases. A truth.json that is missing or malformed fails the running
// test with the file's name.
std::vector<ReferenceCase> ReferenceCases();
ReferenceCase LoadReferenceCase(const std::string &name);

#endif
