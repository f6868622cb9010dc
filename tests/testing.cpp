// SPDX-License-Identifier: BSD-3-Clause
#include "testing.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

CapturedMessages::CapturedMessages() {
  previous_ = SetMessageSink(
      [this](int type, const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.emplace_back(type, text);
      });
}

CapturedMessages::~CapturedMessages() { SetMessageSink(std::move(previous_)); }

std::string CapturedMessages::text() const {
  std::string all;
  for (const auto &m : messages_) all += m.second;
  return all;
}

namespace {

class MessagesOfFailedTests : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo &) override {
    held_.clear();
    SetMessageSink([this](int type, const std::string &text) {
      std::lock_guard<std::mutex> lock(mutex_);
      held_.emplace_back(type, text);
    });
  }
  void OnTestEnd(const ::testing::TestInfo &test) override {
    SetMessageSink(nullptr);
    if (test.result()->Failed())
      for (const auto &[type, text] : held_) DefaultMessageSink(type, text);
  }
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> held_;
};

}  // namespace

bool ShowMessagesOfFailedTestsOnly() {
  // The framework owns its listeners.
  ::testing::UnitTest::GetInstance()->listeners().Append(
      std::make_unique<MessagesOfFailedTests>().release());
  return true;
}

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "pulvina-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("cannot make a scratch folder");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &name, const std::string &text) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary);
  out << text;
  return p;
}

std::vector<std::pair<std::string, std::string>> UnreadablePaths(const TempDir &dir,
                                                                 const std::string &extension) {
  std::filesystem::create_directory(dir.file("folder." + extension));
  EXPECT_EQ(mkfifo(dir.file("fifo." + extension).c_str(), 0600), 0);
  return {{dir.file("missing." + extension), "No such file or directory"},
          {dir.file("folder." + extension), "is a folder"},
          {"/dev/zero", "is a device, not a regular file"},
          {dir.file("fifo." + extension), "is a FIFO, not a regular file"}};
}

std::string ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  std::stringstream s;
  if (in) s << in.rdbuf();
  return s.str();
}

int RunCommand(const std::string &command, std::string *output) {
  std::FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunExpecting(const std::string &command, int status) {
  std::string out;
  const int code = RunCommand(command, &out);
  if (code != status) ADD_FAILURE() << command << " exited with " << code << "\n" << out;
  return out;
}

::testing::AssertionResult Holds(const std::string &text, const std::string &part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << part << "' is not in:\n" << text;
}

bool SameModOne(double a, double b, double tolerance) {
  const double d = std::fabs((a - std::floor(a)) - (b - std::floor(b)));
  return std::min(d, 1 - d) < tolerance;
}

std::string TestDataPath(const std::string &relative) {
  return PULVINA_SOURCE_DIR "/tests/data/" + relative;
}

std::string ReferenceCase::path(const std::string &suffix) const {
  return TestDataPath(name + "/" + name + suffix);
}

ReferenceCase LoadReferenceCase(const std::string &name) {
  ReferenceCase c;
  c.name = name;
  const std::string file = TestDataPath(name + "/truth.json");
  try {
    const nlohmann::json truth = nlohmann::json::parse(ReadWholeFile(file));
    c.epc = truth.at("epc");
    for (const nlohmann::json &atom : truth.at("atoms"))
      c.atoms.push_back({atom.at("element"), atom.at("x"), atom.at("y"), atom.at("z")});
    c.freeCoordinates = truth.at("free_coordinates");
    c.epcCount = truth.at("epc_count");
    c.reflections = truth.at("data").at("reflections");
    c.rTrueOnNoisy = truth.at("r_true_model_on_noisy");
  } catch (const nlohmann::json::exception &e) {
    ADD_FAILURE() << file << ": " << e.what();
  }
  return c;
}

std::vector<ReferenceCase> ReferenceCases() {
  std::vector<ReferenceCase> cases;
  for (const char *name : {"caf2_fluorite", "cscl", "mgoh2_brucite", "nacl", "tio2_rutile",
                           "zns_sphalerite"})
    cases.push_back(LoadReferenceCase(name));
  return cases;
}
