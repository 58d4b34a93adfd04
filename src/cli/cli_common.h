#pragma once

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "engine/progress.h"
#include "image/fits_options.h"

namespace stelp::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "stelp-cli: TEXT" and the command's usage on stderr; exit status 2.
int usageError(const std::string& text, const char* usage);
// "stelp-cli: WHAT: WHY" on stderr; exit status 1.
int fileError(const std::string& what, const std::string& why);

// Runs `work` (which returns an exit status) and turns an allocation failure
// into "stelp-cli: not enough memory for FILE" with exit status 1. `file` is
// read when the failure happens, so a command can point it at whatever it is
// working on.
template <typename Work>
int guardMemory(const std::string& file, Work work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "stelp-cli: not enough memory for %s\n", file.c_str());
    return kExitFailure;
  }
}

// Ends a command: standard output is flushed, and a failed write (a full
// disk, a closed pipe) turns a successful status into 1 with a message.
int finishOutput(int status);

// True, after printing `usage` on stdout, when the arguments ask for help.
bool wantsHelp(const std::vector<std::string>& args, const char* usage);

// A whole number within [low, high], or false.
bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t& value);

// Splits arguments into options (with their values) and positional words,
// for every command. `flags` lists the options without a value, `withValue`
// those that take the next argument as theirs; either may be given more
// than once. False, with a message, for an unknown option or a missing value.
struct Arguments {
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::string>> options;  // in the order given
  bool has(const std::string& option) const;
  const std::string* value(const std::string& option) const;  // the last one given
};
bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                    const std::vector<std::string>& withValue, Arguments& parsed, std::string& error);

// Calls `accept(text)` on every value given for `option`, in order, so that
// each one is checked and the last one wins; false as soon as one is not
// accepted.
template <typename Accept>
bool eachValue(const Arguments& a, const std::string& option, Accept accept) {
  for (const auto& [name, text] : a.options)
    if (name == option && !accept(text)) return false;
  return true;
}

// The value of a whole-number option within [low, high]; `value` stays when
// the option is absent. False, with "OPTION needs a whole number, not
// 'TEXT'", when any of its values is not one.
bool numberOption(const Arguments& a, const std::string& option, int64_t low, int64_t high, int64_t& value,
                  std::string& error);

// The FITS depth the flags ask for: 16-bit unless --fits32 or --fits-float,
// which exclude each other.
bool fitsDepthOf(const Arguments& a, FitsDepth& depth, std::string& error);

// Reports the engine's status texts on stderr: redrawn in place on a
// terminal, one line each otherwise, nothing when quiet.
class CliProgress : public Progress {
 public:
  explicit CliProgress(bool quiet);
  ~CliProgress() override;
  void ShowStatus(const std::string& text) override;
  void Step(int step, int steps) override;

 private:
  void draw();
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
  std::string status_;
  int step_ = 0, steps_ = 0;
};

int infoCommand(const std::vector<std::string>& args);
int convertCommand(const std::vector<std::string>& args);
int processCommand(const std::vector<std::string>& args);
int masterCommand(const std::vector<std::string>& args);
int renderCommand(const std::vector<std::string>& args);
int demoCommand(const std::vector<std::string>& args);

}  // namespace stelp::cli
