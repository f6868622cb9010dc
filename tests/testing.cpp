#include "testing.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

std::string ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void UseSourceData() { SetDataDirectory(PULVINA_SOURCE_DIR "/data"); }
