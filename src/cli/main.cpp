// stelp-cli: Stelp's command line, the same image layer and engine as the
// window, without one.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"

namespace {

constexpr char kUsage[] =
    "usage: stelp-cli COMMAND ...   (stelp-cli COMMAND --help for details)\n"
    "  info FILE                      size and frame count of a bitmap, FITS or AVI file\n"
    "  convert INPUT OUTPUT ...       read a frame in a pixel format and write it\n"
    "  process PROJECT OUTPUT ...     calibrate a project's images and write them\n"
    "  master PRODUCT PROJECT OUTPUT  write a master dark, flat, synthetic flat, hot\n"
    "                                 pixel map or gradient map\n"
    "  render PROJECT ROLE VIEW OUT   paint what the image view shows into a bitmap\n"
    "  demo DIR                       write a demo data set and project\n";

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};

constexpr Command kCommands[] = {
    {"info", stelp::cli::infoCommand},       {"convert", stelp::cli::convertCommand},
    {"process", stelp::cli::processCommand}, {"master", stelp::cli::masterCommand},
    {"render", stelp::cli::renderCommand},   {"demo", stelp::cli::demoCommand},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return stelp::cli::usageError("no command given", kUsage);
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    std::fputs(kUsage, stdout);
    return stelp::cli::finishOutput(stelp::cli::kExitOk);
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command& command : kCommands) {
    if (name != command.name) continue;
    // Commands report their own failures; this is the last guard, so that
    // nothing ends the program with an uncaught exception.
    try {
      return stelp::cli::finishOutput(command.run(args));
    } catch (const std::bad_alloc&) {
      std::fputs("stelp-cli: not enough memory\n", stderr);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "stelp-cli: %s\n", e.what());
    }
    return stelp::cli::kExitFailure;
  }
  return stelp::cli::usageError("unknown command '" + std::string(name) + "'", kUsage);
}
