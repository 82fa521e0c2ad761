// vorelle-convert: the conversion job of the main window, run from a
// terminal over the given files with the stored options.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ConversionJob.h"
#include "OptionsStore.h"
#include "OutputFormats.h"
#include "Settings.h"
#include "Translator.h"

#ifndef VORELLE_VERSION
#define VORELLE_VERSION "0"
#endif

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

constexpr int ExitComplete = 0;
constexpr int ExitFailures = 1;
constexpr int ExitUsage = 2;
constexpr int ExitCancelled = 130;

volatile sig_atomic_t InterruptRequested = 0;
// The running job; Ctrl-C cancels it from the signal handler (an atomic
// store), which makes its reads and writes fail at once.
std::atomic<TConversionJob*> InterruptedJob{nullptr};

void OnInterrupt(int) {
  InterruptRequested = 1;
  if (TConversionJob* job = InterruptedJob.load()) job->RequestCancel();
  // A second Ctrl-C ends the program at once.
  signal(SIGINT, SIG_DFL);
}

const char* const UsageText =
    "Usage: vorelle-convert [options] PATH...\n"
    "Converts every image file among PATH (folders are skipped) to every selected\n"
    "output format, into \"<output dir>/Converted Images/<file name>/\", and writes\n"
    "the run log \"Vorelle.log\" there. The stored options are used; the options\n"
    "below change them for this run only, unless --save is given.\n"
    "\n"
    "  --output-dir DIR    folder under which \"Converted Images\" is created\n"
    "  --formats EXT,...   output formats to write (extensions of --list-formats)\n"
    "  --all-formats       write every output format\n"
    "  --no-log            do not write the run log\n"
    "  --launch-log        open the run log at the end\n"
    "  --open              open the output folder at the end\n"
    "  --option ID=VALUE   set a numbered imaging option (for example 10=90 for\n"
    "                      JPEG quality 90)\n"
    "  --max-pixels N      refuse images of more than N pixels (default\n"
    "                      178000000; 0 = no limit)\n"
    "  -j, --jobs N        convert N files at once (default: one per processor\n"
    "                      core); the log keeps the order of the files\n"
    "  --list-formats      list the output formats and which are selected\n"
    "  --save              store the given options (as the Options dialog does)\n"
    "  --help              show this text\n"
    "  --version           show the program version\n"
    "\n"
    "Ctrl-C cancels the run at once. Exit status: 0 when every\n"
    "output of every supported file was written, 1 when anything failed or was not\n"
    "supported, 2 for a usage error, 130 after a cancel.\n";

struct TCommandLine {
  std::optional<std::string> OutputDir;
  std::optional<std::vector<std::string>> Formats;
  bool AllFormats = false;
  bool NoLog = false;
  bool LaunchLog = false;
  bool Open = false;
  std::vector<std::pair<int32_t, int32_t>> ImagingOptions;
  std::optional<int32_t> MaxPixels;
  int32_t Jobs = TConversionJob::DefaultWorkerCount();
  bool ListFormats = false;
  bool Save = false;
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Paths;
};

struct EUsage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool ParseInt32(const std::string& Text, int32_t& Value) {
  if (Text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(Text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX || Text[0] == ' ') return false;
  Value = int32_t(v);
  return true;
}

std::string Lower(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return S;
}

TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine cl;
  bool onlyPaths = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const std::string& Option) -> std::string {
      size_t eq = arg.find('=');
      if (eq != std::string::npos && arg.compare(0, eq, Option) == 0) return arg.substr(eq + 1);
      if (i + 1 >= argc) throw EUsage(Option + " needs a value");
      return argv[++i];
    };
    auto is = [&](const std::string& Option) {
      return arg == Option || (arg.compare(0, Option.size() + 1, Option + "=") == 0);
    };
    if (onlyPaths || arg.empty() || arg[0] != '-' || arg == "-") {
      cl.Paths.push_back(arg);
    } else if (arg == "--") {
      onlyPaths = true;
    } else if (is("--output-dir")) {
      std::string dir = value("--output-dir");
      if (dir.empty()) throw EUsage("--output-dir needs a folder");
      cl.OutputDir = dir;
    } else if (is("--formats")) {
      std::vector<std::string> list;
      std::stringstream ss(value("--formats"));
      for (std::string item; std::getline(ss, item, ',');)
        if (!item.empty()) list.push_back(Lower(item));
      cl.Formats = list;
    } else if (arg == "--all-formats") {
      cl.AllFormats = true;
    } else if (arg == "--no-log") {
      cl.NoLog = true;
    } else if (arg == "--launch-log") {
      cl.LaunchLog = true;
    } else if (arg == "--open") {
      cl.Open = true;
    } else if (is("--option")) {
      std::string v = value("--option");
      size_t eq = v.find('=');
      int32_t id = 0, val = 0;
      if (eq == std::string::npos || !ParseInt32(v.substr(0, eq), id) || !ParseInt32(v.substr(eq + 1), val))
        throw EUsage("--option needs ID=VALUE with integers, not \"" + v + "\"");
      cl.ImagingOptions.emplace_back(id, val);
    } else if (is("--max-pixels")) {
      std::string v = value("--max-pixels");
      int32_t n = 0;
      if (!ParseInt32(v, n) || n < 0) throw EUsage("--max-pixels needs a count of pixels (0 = no limit), not \"" + v + "\"");
      cl.MaxPixels = n;
    } else if (is("--jobs") || arg == "-j" || (arg.size() > 2 && arg.compare(0, 2, "-j") == 0)) {
      std::string v = arg.size() > 2 && arg.compare(0, 2, "-j") == 0 ? arg.substr(2) : value("--jobs");
      int32_t n = 0;
      if (!ParseInt32(v, n) || n < 1 || n > 256)
        throw EUsage("--jobs needs a number of files converted at once (1 to 256), not \"" + v + "\"");
      cl.Jobs = n;
    } else if (arg == "--list-formats") {
      cl.ListFormats = true;
    } else if (arg == "--save") {
      cl.Save = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.Help = true;
    } else if (arg == "--version") {
      cl.Version = true;
    } else {
      throw EUsage("unknown option " + arg);
    }
  }
  if (cl.Formats && cl.AllFormats) throw EUsage("--formats and --all-formats exclude each other");
  return cl;
}

void ReportProblem(const std::string& Message) {
  std::cerr << "vorelle-convert: " << EscapeControlCharacters(Message) << "\n";
}

// The stored options with the ones given on the command line. The run-only
// rule that nothing is opened unless asked is not applied here.
std::unique_ptr<TOptions> StoredOptionsWith(const TCommandLine& Cl) {
  auto options = std::make_unique<TOptions>(TOptions::FromUserSettings(ReportOncePerProcess(ReportProblem)));
  if (Cl.OutputDir) options->SetOutputDir(fs::absolute(*Cl.OutputDir).lexically_normal().string());
  if (Cl.AllFormats)
    for (TFormatEntry& e : options->ImgFormats()) e.Flag = 1;
  if (Cl.Formats) {
    for (TFormatEntry& e : options->ImgFormats()) e.Flag = 0;
    for (const std::string& ext : *Cl.Formats) {
      bool found = false;
      for (TFormatEntry& e : options->ImgFormats())
        if (Lower(e.Ext) == ext) {
          e.Flag = 1;
          found = true;
        }
      if (!found) throw EUsage("unknown output format \"" + ext + "\" (see --list-formats)");
    }
  }
  if (Cl.NoLog) options->SetCreateLog(false);
  if (Cl.LaunchLog) options->SetLaunchLog(true);
  if (Cl.Open) options->SetOpenOutDir(true);
  return options;
}

// Progress on the terminal: one live line; elsewhere plain lines.
class TCommandLineHost : public IConversionHost {
public:
  TCommandLineHost(const TCommandLine& Cl, bool Live) : FCl(Cl), FLive(Live) {}
  void SetJob(TConversionJob* Job) { FJob = Job; }

  std::unique_ptr<TOptions> CreateRunOptions() override {
    std::unique_ptr<TOptions> options = StoredOptionsWith(FCl);
    // The command opens nothing unless it was asked to, and has no window to
    // close.
    options->SetOpenOutDir(FCl.Open);
    options->SetLaunchLog(FCl.LaunchLog);
    options->SetCloseAtEnd(false);
    return options;
  }
  void SetCursor(TCursorShape) override {}
  void AcceptDrops(bool) override {}
  void BringToFront() override {}
  void ShowRunning(bool Running) override {
    if (!Running && FLive && FLineShown) {
      std::fputs("\r\033[K", stdout);
      std::fflush(stdout);
      FLineShown = false;
    }
  }
  void SetProgressMax(TProgressBar Bar, int32_t Max) override { Slot(Bar).Max = Max; }
  void SetProgressStep(TProgressBar Bar, int32_t Step) override { Slot(Bar).Step = Step; }
  void StepProgress(TProgressBar Bar) override {
    TBar& b = Slot(Bar);
    b.Position += b.Step;
    if (b.Position > b.Max) b.Position = b.Step;  // starts over like a progress bar
    Draw();
  }
  void SetProgressPosition(TProgressBar Bar, int32_t Position) override {
    Slot(Bar).Position = Position;
  }
  void ProcessMessages() override {
    if (InterruptRequested && FJob && !FJob->CancelConversion()) {
      FJob->RequestCancel();
      if (FLive) std::fputs("\r\033[K", stdout);
      std::fputs("Cancelling...\n", stdout);
      std::fflush(stdout);
      FLineShown = false;
    }
  }
  void ShowCurrentFile(const std::string& Path) override {
    FFile = Path;
    if (!FLive) {
      std::printf("[%d/%d] %s\n", FImages.Position, FImages.Max, EscapeControlCharacters(Path).c_str());
      std::fflush(stdout);
    }
    Draw();
  }
  void ShellOpen(const std::string& Path) override {
    if (!ShellOpenPath(Path)) ReportProblem("cannot open \"" + Path + "\" (xdg-open)");
  }
  void Inform(const std::string& Text) override {
    ShowRunning(false);
    std::printf("%s\n", Text.c_str());
  }
  void CloseWindow() override {}

private:
  struct TBar {
    int32_t Max = 100, Step = 1, Position = 0;
  };
  TBar& Slot(TProgressBar Bar) { return Bar == TProgressBar::pbImages ? FImages : FFormats; }

  static std::string BarText(const TBar& B, int Width) {
    int filled = B.Max > 0 ? int(int64_t(std::min(B.Position, B.Max)) * Width / B.Max) : 0;
    return "[" + std::string(size_t(filled), '#') + std::string(size_t(Width - filled), '.') + "]";
  }

  void Draw() {
    if (!FLive) return;
    winsize ws{};
    int columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    char counts[96];
    std::snprintf(counts, sizeof counts, " %d/%d  formats ", FImages.Position, FImages.Max);
    char counts2[48];
    std::snprintf(counts2, sizeof counts2, " %d/%d  ", FFormats.Position, FFormats.Max);
    std::string line = "files " + BarText(FImages, 10) + counts + BarText(FFormats, 10) + counts2 +
                       EscapeControlCharacters(fs::path(FFile).filename().string());
    if (int(line.size()) >= columns) line.resize(size_t(std::max(columns - 1, 0)));
    std::fputs(("\r\033[K" + line).c_str(), stdout);
    std::fflush(stdout);
    FLineShown = true;
  }

  const TCommandLine& FCl;
  bool FLive;
  bool FLineShown = false;
  TConversionJob* FJob = nullptr;
  TBar FImages, FFormats;
  std::string FFile;
};

// Stores what the command line gives, and nothing else: the values read
// from the settings file stay as they are there (a stored output folder that
// is missing right now is not replaced by the Desktop). Raises
// ERegistryException when nothing can be saved.
void SaveGivenOptions(const TCommandLine& Cl, const TOptions& Options) {
  TSettingsFile settings;
  if (!settings.OpenKey(OptionsKey, true)) {
    std::string reason;
    for (const std::string& p : settings.TakeProblems()) reason += (reason.empty() ? "" : " ") + p;
    if (reason.empty()) reason = "The settings file \"" + settings.FileName() + "\" cannot be written.";
    throw ERegistryException(reason);
  }
  if (Cl.OutputDir) settings.WriteString("OutputDir", Options.OutputDir());
  if (Cl.NoLog) settings.WriteBool("CreateLog", false);
  if (Cl.LaunchLog) settings.WriteBool("LaunchLog", true);
  if (Cl.Open) settings.WriteBool("OpenOutDir", true);
  if (Cl.Formats || Cl.AllFormats)
    for (const TFormatEntry& entry : Options.ImgFormats()) settings.WriteInteger("Format." + entry.Ext, entry.Flag);
  settings.CloseKey();
}

void ListFormats(const TOptions& Options) {
  std::vector<std::string> names;
  TImagingUtils::GetOutputFormatsNames(names);
  const TFormatList& formats = Options.ImgFormats();
  for (size_t i = 0; i < formats.size(); ++i)
    std::printf("[%c] %-4s %s\n", formats[i].Selected() ? 'x' : ' ', formats[i].Ext.c_str(),
                i < names.size() ? names[i].c_str() : "");
}

int Run(int argc, char** argv) {
  TCommandLine cl;
  try {
    cl = ParseCommandLine(argc, argv);
  } catch (const EUsage& e) {
    std::cerr << "vorelle-convert: " << e.what() << "\nTry 'vorelle-convert --help'.\n";
    return ExitUsage;
  }
  if (cl.Help) {
    std::fputs(UsageText, stdout);
    return ExitComplete;
  }
  if (cl.Version) {
    std::printf("vorelle-convert %s\n", VORELLE_VERSION);
    return ExitComplete;
  }

  // The same start-up as the main window, so that the files are the
  // program's files; options given here come after it.
  ApplyStartupImagingOptions();
  if (cl.MaxPixels) Imaging::SetImagingOption(Imaging::OptMaxPixels, *cl.MaxPixels);
  for (auto [id, value] : cl.ImagingOptions)
    if (!Imaging::SetImagingOption(id, value)) {
      std::cerr << "vorelle-convert: unknown imaging option " << id << "\n";
      return ExitUsage;
    }

  std::unique_ptr<TOptions> options;
  try {
    options = StoredOptionsWith(cl);
  } catch (const EUsage& e) {
    std::cerr << "vorelle-convert: " << e.what() << "\n";
    return ExitUsage;
  }
  if (cl.ListFormats) ListFormats(*options);
  if (cl.Save) {
    bool any = false;
    for (const TFormatEntry& e : options->ImgFormats()) any = any || e.Selected();
    if (!any) {
      std::cerr << "vorelle-convert: " << TLiteralTranslator().GetText("You need to select at least one output format!")
                << " Nothing was saved.\n";
      return ExitUsage;
    }
    if (cl.OutputDir && !fs::is_directory(options->OutputDir())) {
      std::cerr << "vorelle-convert: the output folder \"" << options->OutputDir()
                << "\" does not exist. Nothing was saved.\n";
      return ExitUsage;
    }
    try {
      SaveGivenOptions(cl, *options);
    } catch (const ERegistryException& e) {
      std::cerr << "vorelle-convert: " << EscapeControlCharacters(e.what()) << " Nothing was saved.\n";
      return ExitFailures;
    }
    std::printf("Options saved to %s\n", EscapeControlCharacters(UserSettingsPath()).c_str());
  }
  if (cl.Paths.empty()) {
    if (cl.ListFormats || cl.Save) return ExitComplete;
    std::cerr << "vorelle-convert: no input files\nTry 'vorelle-convert --help'.\n";
    return ExitUsage;
  }

  // As if dropped: full paths, folders skipped.
  std::vector<std::string> files;
  for (const std::string& p : cl.Paths) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) continue;
    files.push_back(fs::absolute(p).lexically_normal().string());
  }

  TCommandLineHost host(cl, isatty(STDOUT_FILENO) != 0);
  TLiteralTranslator translator;
  TConversionJob job(host, translator);
  job.SetWorkerCount(cl.Jobs);
  host.SetJob(&job);
  InterruptedJob.store(&job);
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  try {
    job.ConvertFiles(files);
  } catch (...) {
    InterruptedJob.store(nullptr);
    throw;
  }
  signal(SIGINT, SIG_DFL);
  InterruptedJob.store(nullptr);

  const TConversionSummary& s = job.Summary();
  std::printf("Output: %s\n", EscapeControlCharacters(s.OutputRoot).c_str());
  std::printf("Log: %s\n", s.LogWritten ? EscapeControlCharacters(s.LogFileName).c_str() : "(not written)");
  std::printf("Files converted: %d, outputs written: %d of %d, failures: %d, not supported: %d\n",
              s.ConvertedImages, s.OutputsWritten, s.OutputsAttempted, s.OutputsAttempted - s.OutputsWritten,
              s.UnsupportedFiles);
  if (s.Cancelled) return ExitCancelled;
  return s.Complete() ? ExitComplete : ExitFailures;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "vorelle-convert: " << EscapeControlCharacters(e.what()) << "\n";
    return ExitFailures;
  }
}
