// SPDX-License-Identifier: BSD-3-Clause
// The command line of the batch programs, read with CLI11 the way every
// Pulvina program reads its own: each option is taken as it comes, so that
// the first bad one on the line is the one reported and --help before it
// still helps; the last of a repeated option wins; the program's own usage
// text answers --help; and the mistakes are reported in the words the
// kernel gives all programs, with status 2.
#ifndef PULVINA_CLI_COMMAND_LINE_H
#define PULVINA_CLI_COMMAND_LINE_H

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

class CommandLine {
 public:
  // usage prints the program's --help text, which -h and --help print on
  // standard output.
  CommandLine(std::string program, std::function<void(std::FILE *)> usage);
  ~CommandLine();
  CommandLine(const CommandLine &) = delete;
  CommandLine &operator=(const CommandLine &) = delete;

  // An option with one value (names as CLI11 writes them, "-o" or
  // "--seed"). take stores the value and returns "", or returns the whole
  // reason of its refusal ("--best needs ..., not '0'").
  void Value(const std::string &names, std::function<std::string(const std::string &)> take);
  // An option whose value is taken as it stands, into *text.
  void Text(const std::string &names, std::string *text);
  // --data FOLDER, the folder of the data files, checked as every program
  // checks it, into *folder.
  void DataOption(std::string *folder);
  // An option without a value.
  void Flag(const std::string &names, std::function<void()> set);
  // An option that ends the reading with status 0 once print has printed
  // (--version).
  void Final(const std::string &names, std::function<void()> print);
  // The arguments that are no options met so far on the line, for an
  // option whose place among them matters.
  size_t ArgumentsSoFar() const;

  // Reads the line; the arguments that are no options go to *arguments in
  // their order. Returns -1 to go on, otherwise the exit status, its
  // message printed.
  int Parse(int argc, char **argv, std::vector<std::string> *arguments);
  // "PROGRAM: reason" on standard error; returns the status 2.
  int Refuse(const std::string &reason) const;

 private:
  std::string program_;
  std::unique_ptr<CLI::App> app_;
  CLI::Option *arguments_ = nullptr;
};

#endif
