#include "cli_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace stelp::cli {

int usageError(const std::string& text, const char* usage) {
  std::fprintf(stderr, "stelp-cli: %s\n%s", text.c_str(), usage);
  return kExitUsage;
}

int fileError(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "stelp-cli: %s: %s\n", what.c_str(), why.c_str());
  return kExitFailure;
}

int finishOutput(int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int error = errno;
  std::fprintf(stderr, "stelp-cli: cannot write to standard output: %s\n",
               error != 0 ? std::strerror(error) : "write error");
  return status == kExitOk ? kExitFailure : status;
}

bool wantsHelp(const std::vector<std::string>& args, const char* usage) {
  if (std::none_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; }))
    return false;
  std::fputs(usage, stdout);
  return true;
}

bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool Arguments::has(const std::string& option) const {
  return std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.first == option; });
}

const std::string* Arguments::value(const std::string& option) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it)
    if (it->first == option) return &it->second;
  return nullptr;
}

bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                    const std::vector<std::string>& withValue, Arguments& parsed, std::string& error) {
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.words.push_back(arg);
    } else if (listed(flags, arg)) {
      parsed.options.emplace_back(arg, "");
    } else if (listed(withValue, arg)) {
      if (i + 1 == args.size()) {
        error = arg + " needs a value";
        return false;
      }
      parsed.options.emplace_back(arg, args[++i]);
    } else {
      error = "unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}

bool numberOption(const Arguments& a, const std::string& option, int64_t low, int64_t high, int64_t& value,
                  std::string& error) {
  return eachValue(a, option, [&](const std::string& text) {
    if (parseNumber(text, low, high, value)) return true;
    error = option + " needs a whole number, not '" + text + "'";
    return false;
  });
}

bool fitsDepthOf(const Arguments& a, FitsDepth& depth, std::string& error) {
  if (a.has("--fits32") && a.has("--fits-float")) {
    error = "--fits32 and --fits-float exclude each other";
    return false;
  }
  depth = a.has("--fits32") ? FitsDepth::Int32 : a.has("--fits-float") ? FitsDepth::Float32 : FitsDepth::Int16;
  return true;
}

CliProgress::CliProgress(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0) {}

CliProgress::~CliProgress() {
  if (drawn_) std::fputc('\n', stderr);
}

void CliProgress::ShowStatus(const std::string& text) {
  if (quiet_ || text == "Ready" || text == status_) return;
  status_ = text;
  step_ = steps_ = 0;
  if (terminal_) {
    draw();
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void CliProgress::Step(int step, int steps) {
  if (quiet_ || !terminal_) return;
  step_ = step;
  steps_ = steps;
  draw();
}

void CliProgress::draw() {
  constexpr int kBarWidth = 24;
  std::string bar;
  if (steps_ > 0) {
    const int filled = kBarWidth * std::clamp(step_, 0, steps_) / steps_;
    bar = " [" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  }
  std::fprintf(stderr, "\r\033[K%s%s", status_.c_str(), bar.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace stelp::cli
