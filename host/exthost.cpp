// exthost: loads an extension library, lists its functions, and calls one
// with text arguments, printing its integer result.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host_services.h"
#include "host/library_loader.h"

namespace {

enum ExitCode {
  kOk = 0,
  kRefused = 1,
  kUsage = 2,
  kMissingFile = 3,
  kNotLoadable = 4,
  kNoEntryPoint = 5,
  kUnknownFunction = 6,
  kArgumentTooLong = 7,
  kBrokenContract = 8,
  kNoSockets = 9,
  kCannotWrite = 10,
};

constexpr const char* kUsageText =
    "usage: exthost [--repeat N] [--interval MS] [--] LIBRARY [FUNCTION [TEXT...]]\n"
    "       exthost --version | -h | --help\n"
    "  Loads LIBRARY, calls its ZDLL entry point and lists its functions, or\n"
    "  calls FUNCTION with the TEXT arguments and prints its integer result.\n"
    "  --repeat N     call N times and end with a summary line (also --repeat=N)\n"
    "  --interval MS  pause between repeated calls (default 1000; also --interval=MS)\n"
    "  --             ends the options: LIBRARY may then start with '-'\n";

struct Options {
  std::string library;
  std::string function;
  std::vector<std::string> texts;
  long repeat = 0;  // 0: one call, no summary
  long interval_ms = 1000;
};

// A message that cannot be written to standard error has nowhere else to go:
// the exit code still tells.
int fail(int code, const std::string& message) {
  (void)std::fprintf(stderr, "exthost: %s\n", message.c_str());
  return code;
}

// Digits alone: no sign, no space, no unit, at most 1,000,000.
bool parse_whole_number(const std::string& text, long& value) {
  value = 0;
  if (text.empty()) return false;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + (digit - '0');
    if (value > 1000000) return false;
  }
  return true;
}

// Where this installation's library lies, found from this program's own
// path: installed, or beside it in a build; empty where there is none.
std::string installed_library() {
  const std::filesystem::path self = exthost::program_path();
  std::error_code ignored;
  for (const char* relative : {PINGEXT_INSTALLED_LIBRARY, PINGEXT_LIBRARY_FILE_NAME}) {
    const std::filesystem::path candidate = (self.parent_path() / relative).lexically_normal();
    if (!self.empty() && std::filesystem::is_regular_file(candidate, ignored)) {
      return candidate.string();
    }
  }
  return {};
}

// What a first argument that is no library most likely meant.
std::string library_hint() {
  const std::string library = installed_library();
  return "\n  the library comes first: exthost [OPTIONS] LIBRARY [FUNCTION [TEXT...]]" +
         (library.empty() ? std::string() : "\n  this installation's library: " + library);
}

// Returns -1 when the options are usable, else the exit code.
int parse_options(int argc, char** argv, Options& options) {
  int i = 1;
  while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
    std::string flag = argv[i++];
    if (flag == "--") break;
    // --repeat=N, as GNU tools take it, as well as --repeat N.
    std::optional<std::string> attached;
    if (const std::size_t equals = flag.find('=');
        flag.starts_with("--") && equals != std::string::npos) {
      attached = flag.substr(equals + 1);
      flag.resize(equals);
    }
    if (flag == "-h" || flag == "--help") {
      (void)std::fputs(kUsageText, stdout);  // main checks that standard output was written
      return kOk;
    }
    if (flag == "--version") {
      std::printf("exthost %s\n", PINGEXT_VERSION);
      return kOk;
    }
    long* target = flag == "--repeat"     ? &options.repeat
                   : flag == "--interval" ? &options.interval_ms
                                          : nullptr;
    if (target == nullptr) return fail(kUsage, "unknown option " + flag + "\n" + kUsageText);
    if (!attached && i < argc) attached = argv[i++];
    if (!attached || !parse_whole_number(*attached, *target)) {
      return fail(kUsage, flag + " needs a whole number");
    }
    if (flag == "--repeat" && *target == 0) {
      return fail(kUsage, "--repeat 0 makes no call: it needs a count of 1 or more");
    }
  }
  if (i >= argc) return fail(kUsage, std::string("no library named\n") + kUsageText);
  options.library = argv[i++];
  if (i < argc) options.function = argv[i++];
  for (; i < argc; ++i) options.texts.emplace_back(argv[i]);
  if (options.function.empty() && !options.texts.empty()) {
    return fail(kUsage, std::string("texts given, but no function to call\n") + kUsageText);
  }
  return -1;
}

std::string known_functions(const pingext::FunctionTableEntry* table) {
  std::string names;
  for (; table->function != nullptr; ++table)
    names += (names.empty() ? "" : ", ") + std::string(table->name);
  return names.empty() ? "(none)" : names;
}

struct Lookup {
  const pingext::FunctionTableEntry* found = nullptr;
  long nameless_row = 0;  // counted from 1: a row met on the way with a function and no name
};

// Walks the table in order up to the row named `name`, or with no name given
// up to the null row.
Lookup find_function(const pingext::FunctionTableEntry* table, const std::string& name) {
  for (long row = 1; table->function != nullptr; ++table, ++row) {
    if (table->name == nullptr) return {nullptr, row};
    if (!name.empty() && name == table->name) return {table, 0};
  }
  return {};
}

// Set by Ctrl-C during --repeat: the call under way ends the repetition. A
// second Ctrl-C ends the process at once, as the first does without --repeat.
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void note_interrupt(int) {
  g_interrupted = 1;
  (void)std::signal(SIGINT, SIG_DFL);  // cannot fail for SIGINT and SIG_DFL
}

// Naps of at most 10 ms, so that Ctrl-C ends the pause at once.
void pause_unless_interrupted(long milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (Clock::time_point now = Clock::now(); g_interrupted == 0 && now < until;
       now = Clock::now()) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(until - now, std::chrono::milliseconds(10)));
  }
}

struct Summary {
  long sent = 0;
  long answered = 0;
  std::int64_t total = 0;
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;

  void add(std::int32_t value) {
    ++sent;
    if (value == -1) return;
    minimum = answered == 0 ? value : std::min(minimum, value);
    maximum = answered == 0 ? value : std::max(maximum, value);
    total += value;
    ++answered;
  }

  void print(const std::string& what) const {
    const long lost = sent == 0 ? 0 : (sent - answered) * 100 / sent;
    if (answered == 0) {
      std::printf("--- %s: %ld sent, 0 answered, %ld%% lost\n", what.c_str(), sent, lost);
      return;
    }
    std::printf("--- %s: %ld sent, %ld answered, %ld%% lost, min/avg/max = %d/%.1f/%d ms\n",
                what.c_str(), sent, answered, lost, minimum,
                static_cast<double>(total) / static_cast<double>(answered), maximum);
  }
};

int call_function(const pingext::FunctionTableEntry& entry, const Options& options) {
  std::vector<exthost::TextArgument> arguments;
  for (std::size_t n = 0; n < options.texts.size(); ++n) {
    const std::string& text = options.texts[n];
    if (text.size() > pingext::kArgumentTextCapacity) {
      return fail(kArgumentTooLong, "argument " + std::to_string(n + 1) + " is " +
                                        std::to_string(text.size()) + " bytes; at most " +
                                        std::to_string(pingext::kArgumentTextCapacity) + " fit");
    }
    arguments.push_back({text});
  }

  Summary summary;
  const long calls = options.repeat == 0 ? 1 : options.repeat;
  // As ping tools do, Ctrl-C ends a repetition with the summary of the calls made.
  if (options.repeat != 0 && std::signal(SIGINT, note_interrupt) == SIG_ERR) {
    return fail(kUsage, "cannot catch Ctrl-C for --repeat");
  }
  for (long call = 0; call < calls; ++call) {
    if (call > 0) pause_unless_interrupted(options.interval_ms);
    if (g_interrupted != 0) break;
    const exthost::CallOutcome outcome = exthost::call_with_text(entry.function, arguments);
    if (outcome.unexpected_service >= 0) {
      return fail(kBrokenContract, std::string(entry.name) + " called host service " +
                                       std::to_string(outcome.unexpected_service) +
                                       ", which this host does not offer");
    }
    if (outcome.return_code == pingext::kCallRefused) {
      return fail(kRefused, std::string(entry.name) + " refused the call with " +
                                std::to_string(arguments.size()) + " argument(s)");
    }
    if (outcome.return_code != pingext::kCallCarriedOut || !outcome.result.set) {
      return fail(kBrokenContract, std::string(entry.name) + " returned " +
                                       std::to_string(outcome.return_code) +
                                       (outcome.result.set ? "" : " without setting a result"));
    }
    std::printf("%d\n", outcome.result.value);
    // Each result shows as it comes; one that cannot be written ends the run.
    if (std::fflush(stdout) != 0) return kCannotWrite;
    summary.add(outcome.result.value);
  }
  if (options.repeat != 0) {
    std::string what = entry.name;
    for (const auto& text : options.texts) what += " " + text;
    summary.print(what);
  }
  return kOk;
}

int list_or_call(const pingext::FunctionTableEntry* table, const Options& options) {
  const Lookup lookup = find_function(table, options.function);
  if (lookup.nameless_row != 0) {
    return fail(kBrokenContract, options.library + ": row " + std::to_string(lookup.nameless_row) +
                                     " of the function table has a function and no name");
  }
  if (options.function.empty()) {
    for (; table->function != nullptr; ++table) std::printf("%s\n", table->name);
    return kOk;
  }
  if (lookup.found == nullptr) {
    return fail(kUnknownFunction, "no function \"" + options.function + "\" in " + options.library +
                                      "; it offers: " + known_functions(table));
  }
  return call_function(*lookup.found, options);
}

int run(const Options& options) {
  std::error_code ignored;
  if (!std::filesystem::exists(options.library, ignored)) {
    return fail(kMissingFile, "no such file: " + options.library + library_hint());
  }
  if (!exthost::start_sockets()) return fail(kNoSockets, "cannot start the socket library");
  // An absolute path keeps the loader from searching its own directories.
  exthost::LoadedLibrary library =
      exthost::load_library(std::filesystem::absolute(options.library, ignored).string());
  if (library.handle == nullptr) {
    exthost::stop_sockets();
    return fail(kNotLoadable, "not a loadable library: " + options.library + " (" + library.error +
                                  ")" + library_hint());
  }
  int code = kOk;
  const pingext::ZdllFunction entry_point = exthost::find_entry_point(library);
  const pingext::FunctionTableEntry* const table = entry_point != nullptr ? entry_point() : nullptr;
  if (entry_point == nullptr) {
    code = fail(kNoEntryPoint, options.library + " has no ZDLL entry point");
  } else if (table == nullptr) {
    code = fail(kBrokenContract, options.library + ": ZDLL returned no function table");
  } else {
    code = list_or_call(table, options);
  }
  exthost::unload_library(library);
  exthost::stop_sockets();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int code = parse_options(argc, argv, options);
  if (code < 0) code = run(options);
  // What was printed must have reached standard output: a full disk or a
  // closed pipe is an error, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    return fail(kCannotWrite, std::string("cannot write the output: ") + std::strerror(errno));
  }
  return code;
}
