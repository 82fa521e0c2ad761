// The conversion job: loads every dropped file whose name the imaging core
// accepts and writes it again once for every selected output format, into
// "<output dir>/Converted Images/<file name>/", keeping a run log. The job
// knows no widget toolkit; it talks to the window (or the command line
// front end) that hosts it through IConversionHost.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Imaging.h"
#include "OptionsStore.h"
#include "Translator.h"

namespace Vorelle {

enum class TProgressBar { pbImages, pbFormats };
enum class TCursorShape { crDefault, crHourGlass };

// A written output waiting to be flushed to the disk and named (the job's own).
struct TPendingOutput;

class IConversionHost {
public:
  virtual ~IConversionHost() = default;
  // The options of one run, read afresh from the store for every run.
  virtual std::unique_ptr<TOptions> CreateRunOptions() = 0;
  virtual void SetCursor(TCursorShape Cursor) = 0;
  virtual void AcceptDrops(bool Accept) = 0;
  virtual void BringToFront() = 0;
  // Running: Cancel shown and focused, Options disabled; idle: the reverse.
  virtual void ShowRunning(bool Running) = 0;
  virtual void SetProgressMax(TProgressBar Bar, int32_t Max) = 0;
  virtual void SetProgressStep(TProgressBar Bar, int32_t Step) = 0;
  virtual void StepProgress(TProgressBar Bar) = 0;
  virtual void SetProgressPosition(TProgressBar Bar, int32_t Position) = 0;
  // One pass of the message queue: where Cancel and the close query reach
  // the job.
  virtual void ProcessMessages() = 0;
  // The file about to be processed (full path).
  virtual void ShowCurrentFile(const std::string& Path) { (void)Path; }
  // The shell's "open" on a folder or file.
  virtual void ShellOpen(const std::string& Path) = 0;
  // An information message; returns when the user has read it.
  virtual void Inform(const std::string& Text) = 0;
  // Closes the main window (which ends the program).
  virtual void CloseWindow() = 0;
};

// The figures of the last run.
struct TConversionSummary {
  int32_t ConvertedImages = 0;   // files that passed the supported test
  int32_t UnsupportedFiles = 0;  // files whose name no handler accepts
  int32_t OutputsAttempted = 0;  // selected formats tried over all files
  int32_t OutputsWritten = 0;    // output files stored
  int32_t Exceptions = 0;        // "Exception with message" lines
  bool Cancelled = false;
  bool LogWritten = false;
  std::string OutputRoot;  // ends with "/"
  std::string LogFileName;
  // Every output of every supported file was written and nothing was
  // unsupported or cancelled.
  bool Complete() const {
    return !Cancelled && UnsupportedFiles == 0 && OutputsWritten == OutputsAttempted;
  }
};

class TConversionJob {
public:
  TConversionJob(IConversionHost& Host, const ITextTranslator& Translator);
  TConversionJob(const TConversionJob&) = delete;
  TConversionJob& operator=(const TConversionJob&) = delete;

  // Runs once over FilesToProcess (full paths, folders already removed).
  // Exceptions other than those of a single load or save leave the run
  // after the host has been restored to idle.
  void ConvertFiles(const std::vector<std::string>& FilesToProcess);

  // The Cancel button: sets the cancel flag, then pumps the queue once.
  void CancelButtonClick();
  // Sets the cancel flag only (a confirmed close query, Ctrl-C). Safe from
  // any thread and from a signal handler: the run's reads and writes fail
  // from their next call on, so a load or save under way ends at once.
  void RequestCancel() { FCancelConversion.store(true); }

  // How many outputs are written at once (at least 1). With one, the run
  // is converted on the calling thread; with more, worker threads convert
  // several files, or the outputs of one file, side by side while the
  // calling thread reports the files in the order of the list: the log, the
  // host calls and the outputs are the same either way.
  void SetWorkerCount(int32_t Count) { FWorkerCount = Count < 1 ? 1 : Count; }
  int32_t WorkerCount() const { return FWorkerCount; }
  // One worker per processor core.
  static int32_t DefaultWorkerCount();

  bool ConversionRunning() const { return FConversionRunning; }
  bool CancelConversion() const { return FCancelConversion.load(); }
  int32_t ConvertedImages() const { return FConvertedImages; }
  const TConversionSummary& Summary() const { return FSummary; }
  // The lines of the last run's log.
  const std::vector<std::string>& Log() const { return FLog; }

  // The literal texts of the job.
  static constexpr const char* TextConvertedImages = "Converted Images";
  static constexpr const char* TextLogTitle = "Vorelle Last Usage Log";
  static constexpr const char* TextNotSupported = "Image file: \"%s\" not supported.";
  static constexpr const char* TextProcessing = "Processing image file: \"%s\"";
  static constexpr const char* TextConverting = "Converting \"%s\" to \"%s\"";
  static constexpr const char* TextException = "Exception with message: \"%s\"";
  static constexpr const char* TextEndOfTask = "End of task. \"%d\" image files converted.";
  static constexpr const char* TextLogFileName = "Vorelle.log";
  static constexpr const char* TextCancelled = "Operation cancelled";
  static constexpr const char* TextInputNotOverwritten =
      "The output file \"%s\" is an input file of this run; it is not overwritten.";
  static constexpr const char* TextCannotWriteLog = "Cannot create file \"%s\". %s";
  static constexpr const char* TextNotRegularFile = "\"%s\" is not a regular file.";
  static constexpr const char* TextEmptyFile = "The file \"%s\" is empty.";
  static constexpr const char* TextNotRecognised = "The content of \"%s\" is not an image in any known format.";
  static constexpr const char* TextCannotSave = "No image format can write the file \"%s\".";
  static constexpr const char* TextForeignLink =
      "The folder \"%s\" is a symbolic link of another user; it is not followed.";
  static constexpr const char* TextRunCancelled = "The run was cancelled.";
  static constexpr const char* TextOutputDirMissing =
      "The output folder \"%s\" does not exist now; the files are written to \"%s\" instead.";
  // Every literal text above, for translators and catalogs.
  static std::vector<const char*> Literals() {
    return {TextConvertedImages, TextLogTitle,     TextNotSupported,        TextProcessing,
            TextConverting,      TextException,    TextEndOfTask,           TextLogFileName,
            TextCancelled,       TextInputNotOverwritten, TextCannotWriteLog, TextNotRegularFile,
            TextEmptyFile,       TextNotRecognised, TextCannotSave,         TextForeignLink,
            TextRunCancelled,    TextOutputDirMissing};
  }

private:
  // The folder of one input's outputs: its path (ending with "/") and an
  // open descriptor, or the reason it could not be had.
  struct TOutputFolder {
    std::string Path;
    int Fd = -1;
    std::string Error;
  };
  // One output of one file: its log lines and figures.
  struct TOutputWork {
    std::vector<std::string> Lines;
    int32_t Attempted = 0;
    int32_t Written = 0;
    int32_t Exceptions = 0;
  };
  // The input file, loaded once at the first output that needs it; a failed
  // load is remembered and given again for every output.
  struct TLoadedInput {
    bool Tried = false;
    std::exception_ptr Failure;
    Imaging::TImageData Image{};
    TLoadedInput() { Imaging::ResetImage(Image); }
    ~TLoadedInput() { Imaging::ReleaseImage(Image); }
  };
  // One input file of the run: what the list gives, its output folder and
  // decoded image while its outputs are written (on any thread), and what
  // each output gave, taken over into the run in the order of the list.
  struct TFileWork {
    std::string Path;
    std::string FolderName;  // the file name, or "name (2)" and so on
    bool Supported = false;
    std::vector<TOutputWork> Outputs;  // one per entry of the format list
    std::exception_ptr Failure;        // an exception that ends the run
    std::mutex Lock;                   // guards what follows
    bool FolderOpened = false;
    TOutputFolder Folder;  // its descriptor is closed by ReleaseFile
    std::unique_ptr<TLoadedInput> Input;
    int32_t OutputsLeft = 0;
    ~TFileWork() { ReleaseFile(); }
    void ReleaseFile();
  };
  class TFlusher;
  class TWorkers;
  void ConvertOutput(TFileWork& Work, const TFormatList& Formats, size_t Entry, int RootFd, const std::string& Root,
                     TPendingOutput& Pending) const;
  void ConvertOneFormat(TFileWork& Work, TOutputWork& Output, const std::string& Ext, TPendingOutput& Pending) const;
  void CompleteOutput(TFileWork& Work, size_t Entry, TPendingOutput& Pending) const;
  void TakeOver(TFileWork& Work);
  void Restore();
  bool IsInputFile(const std::string& Path) const;
  void CheckInputFile(const std::string& Path) const;
  void AddLogLine(const std::string& Line);
  static void AddLine(std::vector<std::string>& Lines, const std::string& Line);
  void WriteLogFile(int RootFd, const std::string& Name, const std::string& FileName) const;
  std::string Text(const char* Literal) const { return TranslatePattern(FTranslator, Literal); }

  IConversionHost& FHost;
  const ITextTranslator& FTranslator;
  int32_t FConvertedImages = 0;
  std::atomic<bool> FCancelConversion{false};
  bool FConversionRunning = false;
  std::string FRootError;  // why the output root could not be opened
  std::vector<std::string> FLog;
  int32_t FWorkerCount = 1;
  std::vector<std::pair<uint64_t, uint64_t>> FInputIds;  // device and inode of every input
  TConversionSummary FSummary;
};

// Text for a log line or a terminal: control characters (newline, escape,
// C1 controls) are shown as \n, \x1B, \u009B and so on.
std::string EscapeControlCharacters(const std::string& Text);

// "cat.jpeg" with "png" gives "cat.png"; a name without an extension gets
// one.
std::string ChangeFileExtension(const std::string& Name, const std::string& Ext);

// Writes Image to FileName with the handler the name selects. The data goes
// to a new unnamed file in the same folder (never one an existing name or
// link points to) that gets the name FileName only once it is complete: a
// failed write leaves no partial file and an earlier file of that name
// stays. False when no handler can save under that name.
bool WriteImageFileSafely(const std::string& FileName, const Imaging::TImageData& Image);

// The imaging options the program sets at start-up: JPEG quality 100, PNG
// deflate level 0.
void ApplyStartupImagingOptions();

// The shell's "open" (xdg-open), started detached.
bool ShellOpenPath(const std::string& Path);

}  // namespace Vorelle
