// SPDX-License-Identifier: BSD-3-Clause
#include "command_line.h"

#include <CLI/CLI.hpp>

#include <utility>

#include "options.h"

namespace {

// Thrown from an option as the line is read, to end the reading there:
// status 0 after --help or --version, 2 with the reason of a refusal.
struct Stop {
  int status;
  std::string reason;
};

}  // namespace

CommandLine::CommandLine(std::string program, std::function<void(std::FILE *)> usage)
    : program_(std::move(program)), app_(std::make_unique<CLI::App>()) {
  app_->set_help_flag();  // the program's own text instead of CLI11's
  // Unknown options are kept to be reported in the programs' words.
  app_->allow_extras();
  app_->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  Final("-h,--help", [usage] { usage(stdout); });
  arguments_ = app_->add_option("arguments")
                   ->expected(0, CLI::detail::expected_max_vector_size)
                   ->allow_extra_args()
                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CommandLine::~CommandLine() = default;

void CommandLine::Value(const std::string &names,
                        std::function<std::string(const std::string &)> take) {
  app_->add_option_function<std::string>(names,
                                         [take](const std::string &value) {
                                           std::string why = take(value);
                                           if (!why.empty()) throw Stop{2, why};
                                         })
      ->trigger_on_parse();
}

void CommandLine::Text(const std::string &names, std::string *text) {
  Value(names, [text](const std::string &v) {
    *text = v;
    return std::string();
  });
}

void CommandLine::DataOption(std::string *folder) {
  Value("--data", [folder](const std::string &v) {
    std::string why;
    return CheckDataOption(v.c_str(), folder, &why) ? std::string() : why;
  });
}

void CommandLine::Flag(const std::string &names, std::function<void()> set) {
  app_->add_flag_callback(names, std::move(set))->trigger_on_parse();
}

void CommandLine::Final(const std::string &names, std::function<void()> print) {
  app_->add_flag_callback(names,
                          [print] {
                            print();
                            throw Stop{0, ""};
                          })
      ->trigger_on_parse();
}

size_t CommandLine::ArgumentsSoFar() const { return arguments_->count(); }

int CommandLine::Refuse(const std::string &reason) const {
  std::fprintf(stderr, "%s: %s\n", program_.c_str(), reason.c_str());
  return 2;
}

int CommandLine::Parse(int argc, char **argv, std::vector<std::string> *arguments) {
  try {
    app_->parse(argc, argv);
  } catch (const Stop &stop) {
    return stop.status == 0 ? 0 : Refuse(stop.reason);
  } catch (const CLI::ArgumentMismatch &e) {
    // CLI11 runs out of values only at the end of the line, so an option
    // left without one is the last argument.
    const std::string last = argc > 1 ? argv[argc - 1] : "";
    const CLI::Option *option = app_->get_option_no_throw(last);
    if (option && option->get_type_size_max() > 0) return Refuse(MissingValueReason(last));
    return Refuse(e.what());
  } catch (const CLI::ParseError &e) {
    return Refuse(e.what());
  }
  const std::vector<std::string> unknown = app_->remaining();
  if (!unknown.empty()) return Refuse(UnknownOptionReason(unknown.front()));
  *arguments = arguments_->results();
  return -1;
}
