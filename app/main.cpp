// The v7client program: reads its command line, picks the window or the console view and
// runs the client until the window is closed, a stop signal comes or the cycles asked for ran.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "uConsoleView.h"
#include "uFltkView.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uWorkFolderLock.h"

namespace {

const char* const kUsage =
    "Usage: v7client [options]\n"
    "Runs the site synchronisation client. Its settings are read from \"v7rm.ini\" in the\n"
    "working folder; \"Dbconnections.ini\" and \"registry.ini\" from the configuration folder.\n"
    "\n"
    "Options:\n"
    "  -w, --workdir DIR   working folder (default: the current folder)\n"
    "  -c, --config DIR    configuration folder (default: the folder of the program)\n"
    "      --console       no window: messages to standard output, errors and warnings\n"
    "                      also to standard error\n"
    "      --window        the window (needs a display; the default when DISPLAY is set)\n"
    "  -n, --cycles N      stop after N cycles\n"
    "  -h, --help          show this text\n"
    "\n"
    "One client per working folder: a second one on the same folder ends at once (status 1).\n"
    "The console has no buttons: in test mode (setting testlogin) it replays once and ends;\n"
    "when start-up fails, the message goes to standard error and the cycles run as if Start\n"
    "had been pressed, unless v7rm.ini is missing or cannot be read: then it ends at once.\n"
    "SIGINT, SIGTERM and SIGHUP end it within seconds: a wait for a server is cut short, the\n"
    "act under way finishes and the rest of the cycle is left for the next run; further\n"
    "ones wait for that exit.\n"
    "\n"
    "Exit status in the console: with --cycles N, 0 when start-up and every step of the\n"
    "cycles that ran succeeded (the N cycles, or those before a stop signal), else 1; without\n"
    "--cycles, 0 after a stop signal. 1 when the client could not run (no v7rm.ini, no\n"
    "configuration folder, no working folder or one in use, a failed replay in test mode),\n"
    "2 for a wrong command line (an unknown option, one without its value).\n";

struct Options {
  std::string workdir;
  std::string config;
  enum class View { Automatic, Console, Window } view = View::Automatic;
  long cycles = 0;  // 0: until stopped
};

// Answers -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto next = [&](std::string& out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        std::cerr << "v7client: " << arg << " needs a value\n" << kUsage;
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "-w" || arg == "--workdir") {
      if (!next(options.workdir)) return 2;
    } else if (arg == "-c" || arg == "--config") {
      if (!next(options.config)) return 2;
    } else if (arg == "--console") {
      options.view = Options::View::Console;
    } else if (arg == "--window") {
      options.view = Options::View::Window;
    } else if (arg == "-n" || arg == "--cycles") {
      std::string text;
      if (!next(text)) return 2;
      char* end = nullptr;
      options.cycles = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || options.cycles <= 0) {
        std::cerr << "v7client: --cycles needs a number above 0, not '" << text << "'\n";
        return 2;
      }
    } else {
      std::cerr << "v7client: unknown option '" << argv[i] << "'\n" << kUsage;
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = ParseArguments(argc, argv, options);
  if (status >= 0) return status;

  // A file size limit (ulimit -f, a service manager's) would kill the process at the write
  // that reaches it. Ignored, the write fails with EFBIG instead, and every writer handles
  // that as a full disk: the trace turns off, a step fails and the next cycle runs.
  signal(SIGXFSZ, SIG_IGN);

  // Before the working folder changes: a relative --config is read from the folder the
  // program was started in, as --workdir is.
  if (!options.config.empty()) {
    // Every project would fail to connect for want of its files: said at once, as a
    // settings file that is missing.
    std::error_code ec;
    if (!std::filesystem::is_directory(options.config, ec)) {
      std::cerr << "v7client: the configuration folder '"
                << std::filesystem::absolute(options.config, ec).string()
                << "' does not exist or is no folder\n";
      return 1;
    }
    v7::SetConfigFolder(options.config);
  }
  if (!options.workdir.empty() && chdir(options.workdir.c_str()) != 0) {
    std::cerr << "v7client: cannot use the working folder '" << options.workdir
              << "': " << std::strerror(errno) << "\n";
    return 1;  // a folder that is not there, as a missing configuration folder
  }
  const char* display = std::getenv("DISPLAY");
  bool haveDisplay = display && *display;
  if (options.view == Options::View::Window && !haveDisplay) {
    std::cerr << "v7client: --window needs a display (DISPLAY is not set)\n";
    return 2;
  }
  bool window = options.view == Options::View::Window ||
                (options.view == Options::View::Automatic && haveDisplay);

  // Held until the process ends, in test mode too: a replay writes its files in the folder.
  // Not taken where there are no settings: start-up ends on that, and leaves nothing behind
  // in what is likely the wrong folder.
  std::unique_ptr<v7::TWorkFolderLock> lock;
  std::error_code noSettings;
  if (std::filesystem::exists("v7rm.ini", noSettings)) {
    try {
      lock = std::make_unique<v7::TWorkFolderLock>();
    } catch (const std::exception& e) {
      std::cerr << "v7client: " << e.what() << "\n";
      // Who started the window reads no standard error.
      if (window) v7::FltkView().ShowMessage(e.what());
      return 1;
    }
  }

  std::unique_ptr<v7::ClientView> view;
  if (window) {
    view = std::make_unique<v7::FltkView>();
  } else {
    auto console = std::make_unique<v7::ConsoleView>(std::cout, std::cerr);
    console->ReportProblemsTo(std::cerr);
    view = std::move(console);
  }
  v7::TfmV7Client client(*view);
  long cyclesRun = 0;
  if (options.cycles > 0) {
    client.OnCycleEnd = [&] {
      if (++cyclesRun >= options.cycles) view->Quit();
    };
  }
  status = view->Run();
  // A script that runs a number of cycles must learn that one of them failed.
  if (status == 0 && !window && options.cycles > 0 && client.Failures() > 0) status = 1;
  return status;
}
