#include "ConversionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace Vorelle {

namespace {

std::string ExtractFileName(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string IncludeTrailingDelimiter(const std::string& Path) {
  return !Path.empty() && Path.back() != '/' ? Path + "/" : Path;
}

void ReplaceAll(std::string& Text, const std::string& From, const std::string& To) {
  if (From.empty()) return;
  for (size_t pos = Text.find(From); pos != std::string::npos; pos = Text.find(From, pos + To.size()))
    Text.replace(pos, From.size(), To);
}

void CreateFolderPath(const std::string& Path) {
  std::error_code ec;  // a failure shows when the files are written
  fs::create_directories(Path, ec);
}

bool FileIdentity(const std::string& Path, std::pair<uint64_t, uint64_t>& Id) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
  return true;
}

// A name for the temporary file beside Target, unique within this process
// and among processes.
std::string TemporaryNameFor(const std::string& Target) {
  static std::atomic<uint32_t> counter{0};
  size_t slash = Target.find_last_of('/');
  std::string folder = slash == std::string::npos ? std::string() : Target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? Target : Target.substr(slash + 1);
  return folder + ".~" + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
}

// Writes Lines with CR LF ends to FileName through a temporary file.
bool WriteTextFile(const std::string& FileName, const std::vector<std::string>& Lines, int& Error) {
  std::string text;
  for (const std::string& line : Lines) {
    text += line;
    text += "\r\n";
  }
  std::string temp = TemporaryNameFor(FileName);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    Error = errno;
    return false;
  }
  const char* p = text.data();
  size_t left = text.size();
  Error = 0;
  while (left > 0 && !Error) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno != EINTR) Error = errno;
    } else {
      p += n;
      left -= size_t(n);
    }
  }
  if (::close(fd) != 0 && !Error) Error = errno;
  if (!Error && std::rename(temp.c_str(), FileName.c_str()) != 0) Error = errno;
  if (Error) ::unlink(temp.c_str());
  return Error == 0;
}

}  // namespace

std::string ChangeFileExtension(const std::string& Name, const std::string& Ext) {
  size_t dot = Name.find_last_of('.');
  std::string stem = dot == std::string::npos ? Name : Name.substr(0, dot);
  return stem + "." + Ext;
}

bool WriteImageFileSafely(const std::string& FileName, const Imaging::TImageData& Image) {
  using namespace Imaging;
  IMAGING_ASSERT(!FileName.empty());
  TImageFileFormat* handler = FindHandlerForFileName(FileName);
  if (!handler || !handler->CanSave() || !IsValidImage(Image)) return false;
  std::string temp = TemporaryNameFor(FileName);
  TDynImageDataArray images{Image};  // shares the pixels, never released here
  bool saved = false;
  try {
    saved = handler->SaveToFile(temp, images, true);
  } catch (const std::exception& e) {
    ::unlink(temp.c_str());
    // The message names the file the user asked for, not the temporary one.
    std::string message = e.what();
    ReplaceAll(message, temp, FileName);
    throw EImagingError(message);
  }
  if (!saved) {
    ::unlink(temp.c_str());
    return false;
  }
  if (std::rename(temp.c_str(), FileName.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    std::string ext = handler->Extensions().empty() ? std::string() : handler->Extensions()[0];
    throw EImagingError(FormatText("Error while saving images to file \"%s\" (file format: %s).", {FileName, ext}) +
                        " Exception Message: " + std::strerror(error));
  }
  return true;
}

void ApplyStartupImagingOptions() {
  Imaging::InitImaging();
  Imaging::SetImagingOption(Imaging::OptJpegQuality, 100);
  Imaging::SetImagingOption(Imaging::OptPngCompressLevel, 0);
}

bool ShellOpenPath(const std::string& Path) {
  return QProcess::startDetached(QStringLiteral("xdg-open"), QStringList{QString::fromStdString(Path)});
}

TConversionJob::TConversionJob(IConversionHost& Host, const ITextTranslator& Translator)
    : FHost(Host), FTranslator(Translator) {
  Imaging::ResetImage(FImage);
}

void TConversionJob::CancelButtonClick() {
  FCancelConversion = true;
  FHost.ProcessMessages();
}

bool TConversionJob::IsInputFile(const std::string& Path) const {
  std::pair<uint64_t, uint64_t> id;
  if (!FileIdentity(Path, id)) return false;
  return std::find(FInputIds.begin(), FInputIds.end(), id) != FInputIds.end();
}

void TConversionJob::WriteLogFile(const std::string& FileName) const {
  int error = 0;
  if (!WriteTextFile(FileName, FLog, error))
    throw std::runtime_error(Imaging::FormatText(Text(TextCannotWriteLog).c_str(), {FileName, std::strerror(error)}));
}

void TConversionJob::ConvertOneFormat(const std::string& Path, const std::string& Name, const std::string& Ext,
                                      const std::string& OutputRoot) {
  using Imaging::FormatText;
  std::string outName = ChangeFileExtension(Name, Ext);
  std::string outFolder = OutputRoot + Name + "/";
  CreateFolderPath(outFolder);
  FLog.push_back(FormatText(Text(TextConverting).c_str(), {Name, outName}));
  ++FSummary.OutputsAttempted;
  try {
    std::string outPath = outFolder + outName;
    // Never replace a file this run reads (converting earlier outputs again
    // may name an input as an output).
    if (IsInputFile(outPath)) throw std::runtime_error(FormatText(Text(TextInputNotOverwritten).c_str(), {outPath}));
    if (Imaging::ReadImageFile(Path, FImage) && WriteImageFileSafely(outPath, FImage)) ++FSummary.OutputsWritten;
  } catch (const std::exception& e) {
    FLog.push_back(FormatText(Text(TextException).c_str(), {std::string(e.what())}));
    ++FSummary.Exceptions;
  }
}

void TConversionJob::ConvertFiles(const std::vector<std::string>& FilesToProcess) {
  using Imaging::FormatText;
  std::unique_ptr<TOptions> options;
  FSummary = TConversionSummary();
  try {
    // 1. Preparation.
    Imaging::ResetImage(FImage);
    FLog.clear();
    FHost.SetCursor(TCursorShape::crHourGlass);
    options = FHost.CreateRunOptions();
    FHost.AcceptDrops(false);
    FHost.BringToFront();
    FHost.ShowRunning(true);
    FConvertedImages = 0;
    FCancelConversion = false;
    FConversionRunning = true;
    FInputIds.clear();
    for (const std::string& path : FilesToProcess) {
      std::pair<uint64_t, uint64_t> id;
      if (FileIdentity(path, id)) FInputIds.push_back(id);
    }
    const TFormatList& formats = options->ImgFormats();

    // 2. Progress bars.
    FHost.SetProgressStep(TProgressBar::pbImages, 1);
    FHost.SetProgressStep(TProgressBar::pbFormats, 1);
    FHost.SetProgressMax(TProgressBar::pbImages, int32_t(FilesToProcess.size()));
    FHost.SetProgressMax(TProgressBar::pbFormats, int32_t(formats.size()));

    // 3. Output root.
    std::string root = IncludeTrailingDelimiter(options->OutputDir());
    root = IncludeTrailingDelimiter(root + TranslateFileName(FTranslator, TextConvertedImages));
    FSummary.OutputRoot = root;
    CreateFolderPath(root);
    FHost.ProcessMessages();

    // 4. Log header.
    std::string title = Text(TextLogTitle);
    std::string rule(Utf16Length(title), '=');
    FLog.push_back(rule);
    FLog.push_back(title);
    FLog.push_back(rule);

    // 5. The files.
    for (const std::string& path : FilesToProcess) {
      if (FCancelConversion) break;
      FHost.StepProgress(TProgressBar::pbImages);
      FHost.ShowCurrentFile(path);
      FHost.ProcessMessages();
      if (!Imaging::IsSupportedFileName(path)) {
        FLog.emplace_back();
        FLog.push_back(FormatText(Text(TextNotSupported).c_str(), {path}));
        ++FSummary.UnsupportedFiles;
        continue;
      }
      std::string name = ExtractFileName(path);
      FLog.emplace_back();
      FLog.push_back(FormatText(Text(TextProcessing).c_str(), {name}));
      // The formats bar starts over for every file.
      FHost.SetProgressPosition(TProgressBar::pbFormats, 0);
      for (const TFormatEntry& entry : formats) {
        if (FCancelConversion) break;
        if (entry.Selected()) ConvertOneFormat(path, name, entry.Ext, root);
        FHost.StepProgress(TProgressBar::pbFormats);
        FHost.ProcessMessages();
      }
      ++FConvertedImages;
    }
    FSummary.ConvertedImages = FConvertedImages;
    bool cancelled = FCancelConversion;
    FSummary.Cancelled = cancelled;

    // 7. The output folder.
    if (options->OpenOutDir() && !cancelled) FHost.ShellOpen(root);

    // 8. Closing lines and actions.
    FLog.emplace_back();
    FLog.push_back(FormatText(Text(TextEndOfTask).c_str(), {FConvertedImages}));
    if (options->CreateLog()) {
      std::string logName = root + TranslateFileName(FTranslator, TextLogFileName);
      FSummary.LogFileName = logName;
      WriteLogFile(logName);
      FSummary.LogWritten = true;
      if (options->LaunchLog() && !cancelled) FHost.ShellOpen(logName);
    }
    if (cancelled) FHost.Inform(Text(TextCancelled));
    if (!cancelled && options->CloseAtEnd()) {
      FConversionRunning = false;
      FHost.CloseWindow();
    }
  } catch (...) {
    FSummary.ConvertedImages = FConvertedImages;
    options.reset();
    Restore();
    throw;
  }
  // 9. Restoration.
  options.reset();
  Restore();
}

void TConversionJob::Restore() {
  Imaging::ReleaseImage(FImage);
  FHost.SetCursor(TCursorShape::crDefault);
  FCancelConversion = false;
  FConversionRunning = false;
  FHost.ShowRunning(false);
  FHost.SetProgressPosition(TProgressBar::pbImages, 0);
  FHost.SetProgressPosition(TProgressBar::pbFormats, 0);
  FHost.AcceptDrops(true);
}

}  // namespace Vorelle
