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
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace Vorelle {

namespace {

std::string ExtractFileName(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string ExtractFolder(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : Path.substr(0, slash);
}

std::string IncludeTrailingDelimiter(const std::string& Path) {
  return !Path.empty() && Path.back() != '/' ? Path + "/" : Path;
}

std::string SystemError(int Code) { return std::strerror(Code); }

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

// A file descriptor closed with the object.
class TDescriptor {
public:
  TDescriptor() = default;
  explicit TDescriptor(int Fd) : FFd(Fd) {}
  ~TDescriptor() { Reset(); }
  TDescriptor(TDescriptor&& Other) noexcept : FFd(Other.Release()) {}
  TDescriptor& operator=(TDescriptor&& Other) noexcept {
    if (this != &Other) {
      Reset();
      FFd = Other.Release();
    }
    return *this;
  }
  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

private:
  int FFd = -1;
};

// A random name for a file that exists only while it is being written.
std::string RandomTemporaryName() {
  static thread_local std::mt19937_64 random{std::random_device{}() ^ (uint64_t(::getpid()) << 32)};
  char name[40];
  std::snprintf(name, sizeof name, ".vorelle-%016llx.part", (unsigned long long)random());
  return name;
}

// A new file in a folder, written without a name (O_TMPFILE) where the file
// system allows, else under a random name created exclusively (never through
// a link). Publish gives it its final name by an atomic rename; until then
// the final name keeps its earlier file, and a file that is not published
// disappears (with O_TMPFILE also when the process is killed).
class TNewFile {
public:
  // The file is open for reading too: a writer that goes back to fill in a
  // header reads that part of the file again.
  TNewFile(int DirFd, const std::string& ShownName) : FDir(DirFd), FShownName(ShownName) {
    int fd = ::openat(FDir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0) {
      FFile = TDescriptor(fd);
      return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) Fail(errno);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = RandomTemporaryName();
      fd = ::openat(FDir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        FFile = TDescriptor(fd);
        FTempName = name;
        return;
      }
      if (errno != EEXIST) Fail(errno);
    }
    Fail(EEXIST);
  }
  ~TNewFile() {
    if (!FTempName.empty()) ::unlinkat(FDir, FTempName.c_str(), 0);
  }
  TNewFile(const TNewFile&) = delete;
  TNewFile& operator=(const TNewFile&) = delete;

  // The descriptor, handed over to whoever writes the data.
  TDescriptor TakeDescriptor() { return std::move(FFile); }
  int Descriptor() const { return FFile.Get(); }

  // Names the written file Name (replacing what is there, a link included,
  // without following it). Raises with the system's reason.
  void Publish(const std::string& Name, int WrittenFd) {
    if (FTempName.empty()) {
      char proc[64];
      std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", WrittenFd);
      for (int attempt = 0; attempt < 100 && FTempName.empty(); ++attempt) {
        std::string name = RandomTemporaryName();
        if (::linkat(AT_FDCWD, proc, FDir, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            ::linkat(WrittenFd, "", FDir, name.c_str(), AT_EMPTY_PATH) == 0)
          FTempName = name;
        else if (errno != EEXIST)
          Fail(errno);
      }
      if (FTempName.empty()) Fail(EEXIST);
    }
    if (::renameat(FDir, FTempName.c_str(), FDir, Name.c_str()) != 0) Fail(errno);
    FTempName.clear();
  }

private:
  [[noreturn]] void Fail(int Error) {
    throw Imaging::Exception(Imaging::FormatText("Cannot create file \"%s\". %s", {FShownName, SystemError(Error)}));
  }

  int FDir;
  std::string FShownName;
  TDescriptor FFile;
  std::string FTempName;
};

// Opens the folder Name inside ParentFd, creating it when it is missing. A
// symbolic link in its place is followed only when the running user owns
// it: another user who can write into a shared output folder must not be
// able to send the files elsewhere.
TDescriptor OpenSubfolder(int ParentFd, const std::string& Name, const std::string& ShownPath) {
  using Imaging::FormatText;
  if (::mkdirat(ParentFd, Name.c_str(), 0777) != 0 && errno != EEXIST)
    throw Imaging::Exception(FormatText("Cannot create folder \"%s\". %s", {ShownPath, SystemError(errno)}));
  struct stat st;
  if (::fstatat(ParentFd, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    throw Imaging::Exception(FormatText("Cannot open folder \"%s\". %s", {ShownPath, SystemError(errno)}));
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (S_ISLNK(st.st_mode)) {
    if (st.st_uid != ::geteuid())
      throw Imaging::Exception(FormatText(TConversionJob::TextForeignLink, {ShownPath}));
  } else {
    flags |= O_NOFOLLOW;
  }
  int fd = ::openat(ParentFd, Name.c_str(), flags);
  if (fd < 0) throw Imaging::Exception(FormatText("Cannot open folder \"%s\". %s", {ShownPath, SystemError(errno)}));
  return TDescriptor(fd);
}

// Opens a folder given by its path, creating it (and its parents) when it is
// missing.
TDescriptor OpenFolderPath(const std::string& Path) {
  std::string path = Path.empty() ? std::string(".") : Path;
  std::error_code ec;
  fs::create_directories(path, ec);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    throw Imaging::Exception(Imaging::FormatText("Cannot open folder \"%s\". %s", {path, SystemError(errno)}));
  return TDescriptor(fd);
}

// ---------------------------------------------------------------------------
// The job's I/O: files through descriptors, with cancellation
// ---------------------------------------------------------------------------

// A stream over a descriptor it owns. Failures of the system raise with the
// system's reason (a full disk says so).
class TDescriptorStream : public Imaging::TStream {
public:
  TDescriptorStream(TDescriptor Fd, std::string Name) : FFd(std::move(Fd)), FName(std::move(Name)) {}
  int32_t Read(void* Buffer, int32_t Count) override {
    int32_t done = 0;
    while (done < Count) {
      ssize_t n = ::read(FFd.Get(), static_cast<uint8_t*>(Buffer) + done, size_t(Count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        FPos = -1;
        Fail("Cannot read file \"%s\". %s", errno);
      }
      if (n == 0) break;
      done += int32_t(n);
    }
    if (FPos >= 0) FPos += done;
    return done;
  }
  int32_t Write(const void* Buffer, int32_t Count) override {
    int32_t done = 0;
    while (done < Count) {
      ssize_t n = ::write(FFd.Get(), static_cast<const uint8_t*>(Buffer) + done, size_t(Count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        FPos = -1;
        Fail("Cannot write file \"%s\". %s", errno);
      }
      if (n == 0) Fail("Cannot write file \"%s\". %s", EIO);
      done += int32_t(n);
    }
    if (FPos >= 0) FPos += done;
    return done;
  }
  // The buffered stream seeks before every block it writes; where the
  // descriptor already stands that costs no call.
  int64_t Seek(int64_t Offset, Imaging::TSeekMode Origin) override {
    if (Origin == Imaging::smFromBeginning && Offset == FPos) return FPos;
    int whence = Origin == Imaging::smFromBeginning ? SEEK_SET : Origin == Imaging::smFromCurrent ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(FFd.Get(), off_t(Offset), whence);
    FPos = r < 0 ? -1 : int64_t(r);
    return FPos;
  }
  int64_t GetSize() override {
    struct stat st;
    return ::fstat(FFd.Get(), &st) == 0 ? int64_t(st.st_size) : 0;
  }
  int Descriptor() const { return FFd.Get(); }

private:
  [[noreturn]] void Fail(const char* Pattern, int Error) {
    throw Imaging::Exception(Imaging::FormatText(Pattern, {FName, SystemError(Error)}));
  }
  TDescriptor FFd;
  std::string FName;
  int64_t FPos = 0;  // where the descriptor stands (opened at the start); -1: not known
};

// The state of the job's I/O on this thread: the cancel flag of the run and
// the prepared output file. Handlers see only the table; a handle is a
// TBufferedStream over a TDescriptorStream.
struct TJobIOState {
  const std::atomic<bool>* Cancel = nullptr;
  std::string OutputName;  // the name the save opens
  TDescriptor OutputFd;    // its prepared descriptor
  int WrittenFd = -1;      // descriptor of the output while it is open
  bool OutputClosedOk = false;
  bool DeferSync = false;  // the output is flushed to the disk later, before it is named
};
thread_local TJobIOState* JobIO = nullptr;

void CheckCancel() {
  if (JobIO && JobIO->Cancel && JobIO->Cancel->load(std::memory_order_relaxed))
    throw Imaging::Exception(TConversionJob::TextCancelled);
}

Imaging::THandle JobOpenRead(const void* Source) {
  CheckCancel();
  std::string name = static_cast<const char*>(Source);
  // Never blocks: a FIFO or a device in place of a file is refused below.
  int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw Imaging::Exception(Imaging::FormatText("Cannot open file \"%s\". %s", {name, SystemError(errno)}));
  TDescriptor file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw Imaging::Exception(Imaging::FormatText("Cannot open file \"%s\". %s", {name, SystemError(errno)}));
  if (!S_ISREG(st.st_mode)) throw Imaging::Exception(Imaging::FormatText(TConversionJob::TextNotRegularFile, {name}));
  if (st.st_size >= Imaging::MaxFileSize)
    throw Imaging::Exception(Imaging::FormatText("File \"%s\" is too large (2 GiB or more).", {name}));
  auto stream = std::make_unique<TDescriptorStream>(std::move(file), name);
  auto* buffered = new Imaging::TBufferedStream(stream.get());
  stream.release();
  return buffered;
}

Imaging::THandle JobOpenWrite(const void* Source) {
  CheckCancel();
  std::string name = static_cast<const char*>(Source);
  // Only the output the job prepared can be written.
  if (!JobIO || name != JobIO->OutputName || !JobIO->OutputFd.Valid())
    throw Imaging::Exception(Imaging::FormatText("Cannot create file \"%s\". %s", {name, SystemError(EPERM)}));
  JobIO->WrittenFd = JobIO->OutputFd.Get();
  auto stream = std::make_unique<TDescriptorStream>(std::move(JobIO->OutputFd), name);
  auto* buffered = new Imaging::TBufferedStream(stream.get());
  stream.release();
  return buffered;
}

bool JobClose(Imaging::THandle Handle) {
  if (!Handle) return true;
  auto* buffered = static_cast<Imaging::TBufferedStream*>(Handle);
  auto* stream = static_cast<TDescriptorStream*>(buffered->Stream());
  bool ok = true;
  try {
    buffered->Commit();
  } catch (...) {
    ok = false;
  }
  delete buffered;
  if (JobIO && stream->Descriptor() == JobIO->WrittenFd) {
    // The output: its data must be on the disk before it gets its name.
    if (!JobIO->DeferSync && ::fsync(stream->Descriptor()) != 0 && errno != EINVAL) ok = false;
    JobIO->OutputFd = TDescriptor(::dup(stream->Descriptor()));
    JobIO->WrittenFd = -1;
    JobIO->OutputClosedOk = ok;
  }
  delete stream;
  return ok;
}

bool JobEof(Imaging::THandle Handle) {
  CheckCancel();
  return Imaging::FileIOTable.Eof(Handle);
}
int32_t JobSeek(Imaging::THandle Handle, int32_t Offset, Imaging::TSeekMode Mode) {
  CheckCancel();
  return Imaging::FileIOTable.Seek(Handle, Offset, Mode);
}
int32_t JobTell(Imaging::THandle Handle) {
  CheckCancel();
  return Imaging::FileIOTable.Tell(Handle);
}
int32_t JobRead(Imaging::THandle Handle, void* Buffer, int32_t Count) {
  CheckCancel();
  return Imaging::FileIOTable.Read(Handle, Buffer, Count);
}
int32_t JobWrite(Imaging::THandle Handle, const void* Buffer, int32_t Count) {
  CheckCancel();
  return Imaging::FileIOTable.Write(Handle, Buffer, Count);
}

const Imaging::TIOFunctions JobIOTable = {JobOpenRead, JobOpenWrite, JobClose, JobEof,
                                          JobSeek,     JobTell,      JobRead,  JobWrite};

// Puts the job's I/O in force for the imaging core's file operations until
// the object goes away.
class TJobIOScope {
public:
  explicit TJobIOScope(const std::atomic<bool>* Cancel)
      : FSavedState(JobIO), FSavedTable(Imaging::ActiveFileIOTable), FSavedFlag(Imaging::CancelFlag()) {
    FState.Cancel = Cancel;
    JobIO = &FState;
    Imaging::ActiveFileIOTable = JobIOTable;
    // The core's long loops (conversions, colour reduction) see it too.
    Imaging::SetCancelFlag(Cancel);
  }
  ~TJobIOScope() {
    Imaging::SetCancelFlag(FSavedFlag);
    Imaging::ActiveFileIOTable = FSavedTable;
    JobIO = FSavedState;
  }
  TJobIOScope(const TJobIOScope&) = delete;
  TJobIOScope& operator=(const TJobIOScope&) = delete;
  TJobIOState& State() { return FState; }

private:
  TJobIOState FState;
  TJobIOState* FSavedState;
  Imaging::TIOFunctions FSavedTable;
  const std::atomic<bool>* FSavedFlag;
};

bool FileIdentity(const std::string& Path, std::pair<uint64_t, uint64_t>& Id) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
  return true;
}

// Writes Data under Name in the folder DirFd through a new unnamed file.
void WriteFileInFolder(int DirFd, const std::string& Name, const std::string& ShownName, const std::string& Data) {
  TNewFile file(DirFd, ShownName);
  const char* p = Data.data();
  size_t left = Data.size();
  while (left > 0) {
    ssize_t n = ::write(file.Descriptor(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw Imaging::Exception(
          Imaging::FormatText("Cannot write file \"%s\". %s", {ShownName, SystemError(n < 0 ? errno : EIO)}));
    p += n;
    left -= size_t(n);
  }
  if (::fsync(file.Descriptor()) != 0 && errno != EINVAL)
    throw Imaging::Exception(Imaging::FormatText("Cannot write file \"%s\". %s", {ShownName, SystemError(errno)}));
  file.Publish(Name, file.Descriptor());
}

[[noreturn]] void RaiseSaveError(const std::string& FileName, const std::string& Ext) {
  Imaging::RaiseImagingError("Error while saving images to file \"%s\" (file format: %s).", FileName, Ext);
}

}  // namespace

// A written output that still waits to be flushed to the disk and named.
struct TPendingOutput {
  std::unique_ptr<TNewFile> File;
  TDescriptor Written;
  std::string Name, FileName, Ext;
};

namespace {

// Flushes a pending output to the disk and gives it its name: false when
// the flush fails (as a save whose file cannot be closed), raises when the
// naming does.
bool CompletePendingOutput(TPendingOutput& Output) {
  const bool synced = ::fsync(Output.Written.Get()) == 0 || errno == EINVAL;
  if (synced) {
    try {
      Output.File->Publish(Output.Name, Output.Written.Get());
    } catch (...) {
      Output.File.reset();
      RaiseSaveError(Output.FileName, Output.Ext);
    }
  }
  Output.File.reset();
  Output.Written = TDescriptor();
  return synced;
}

// Saves Image as Name in the folder DirFd (FileName is the full name the
// messages show). False when no handler can save under that name. With
// Pending the written file is handed over there instead of being flushed
// and named here (CompletePendingOutput does that).
bool SaveImageInFolder(int DirFd, const std::string& FileName, const Imaging::TImageData& Image,
                       const std::atomic<bool>* Cancel, TPendingOutput* Pending = nullptr) {
  using namespace Imaging;
  TImageFileFormat* handler = FindHandlerForFileName(FileName);
  if (!handler || !handler->CanSave() || !IsValidImage(Image)) return false;
  std::string ext = handler->Extensions().empty() ? std::string() : handler->Extensions()[0];
  const std::string name = ExtractFileName(FileName);
  std::unique_ptr<TNewFile> file;
  try {
    file = std::make_unique<TNewFile>(DirFd, FileName);
  } catch (...) {
    RaiseSaveError(FileName, ext);
  }
  TJobIOScope scope(JobIO && JobIO->Cancel ? JobIO->Cancel : Cancel);
  TJobIOState& io = scope.State();
  io.OutputName = FileName;
  io.OutputFd = file->TakeDescriptor();
  io.DeferSync = Pending != nullptr;
  TDynImageDataArray images{Image};  // shares the pixels, never released here
  if (!handler->SaveToFile(FileName, images, true) || !io.OutputClosedOk) return false;
  if (Pending) {
    Pending->File = std::move(file);
    Pending->Written = std::move(io.OutputFd);
    Pending->Name = name;
    Pending->FileName = FileName;
    Pending->Ext = ext;
    return true;
  }
  try {
    file->Publish(name, io.OutputFd.Get());
  } catch (...) {
    RaiseSaveError(FileName, ext);
  }
  return true;
}

}  // namespace

std::string EscapeControlCharacters(const std::string& Text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(Text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else if (c == 0xC2 && i + 1 < Text.size() && static_cast<unsigned char>(Text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(Text[i + 1]) <= 0x9F) {
      // The C1 controls (U+0080 to U+009F): some terminals obey them too.
      unsigned char d = static_cast<unsigned char>(Text[++i]);
      out += "\\u00";
      out += digits[d >> 4];
      out += digits[d & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

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
  TDescriptor folder;
  try {
    folder = OpenFolderPath(ExtractFolder(FileName));
  } catch (...) {
    RaiseImagingError("Error while saving images to file \"%s\" (file format: %s).", FileName,
                      handler->Extensions().empty() ? std::string() : handler->Extensions()[0]);
  }
  return SaveImageInFolder(folder.Get(), FileName, Image, nullptr);
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
    : FHost(Host), FTranslator(Translator) {}

int32_t TConversionJob::DefaultWorkerCount() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : int32_t(std::min(cores, 256u));
}

void TConversionJob::CancelButtonClick() {
  RequestCancel();
  FHost.ProcessMessages();
}

bool TConversionJob::IsInputFile(const std::string& Path) const {
  std::pair<uint64_t, uint64_t> id;
  if (!FileIdentity(Path, id)) return false;
  return std::find(FInputIds.begin(), FInputIds.end(), id) != FInputIds.end();
}

void TConversionJob::AddLogLine(const std::string& Line) { AddLine(FLog, Line); }

void TConversionJob::AddLine(std::vector<std::string>& Lines, const std::string& Line) {
  Lines.push_back(EscapeControlCharacters(Line));
}

void TConversionJob::WriteLogFile(int RootFd, const std::string& Name, const std::string& FileName) const {
  std::string text;
  for (const std::string& line : FLog) {
    text += line;
    text += "\r\n";
  }
  try {
    if (RootFd < 0) throw Imaging::Exception(FRootError);
    WriteFileInFolder(RootFd, Name, FileName, text);
  } catch (const std::exception& e) {
    std::string cause = e.what();
    std::string prefix = Imaging::FormatText("Cannot create file \"%s\". ", {FileName});
    if (cause.rfind(prefix, 0) == 0) cause.erase(0, prefix.size());
    throw std::runtime_error(Imaging::FormatText(Text(TextCannotWriteLog).c_str(), {FileName, cause}));
  }
}

// Checks that Path can be read as a file without blocking; raises with the
// reason otherwise.
void TConversionJob::CheckInputFile(const std::string& Path) const {
  using Imaging::FormatText;
  int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw Imaging::Exception(FormatText("Cannot open file \"%s\". %s", {Path, SystemError(errno)}));
  TDescriptor file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw Imaging::Exception(FormatText("Cannot open file \"%s\". %s", {Path, SystemError(errno)}));
  if (!S_ISREG(st.st_mode)) throw Imaging::Exception(FormatText(Text(TextNotRegularFile).c_str(), {Path}));
  if (st.st_size == 0) throw Imaging::Exception(FormatText(Text(TextEmptyFile).c_str(), {Path}));
}

void TConversionJob::TFileWork::ReleaseFile() {
  Input.reset();
  if (Folder.Fd >= 0) ::close(Folder.Fd);
  Folder.Fd = -1;
}

void TConversionJob::ConvertOneFormat(TFileWork& Work, TOutputWork& Output, const std::string& Ext,
                                      TPendingOutput& Pending) const {
  using Imaging::FormatText;
  const std::string name = ExtractFileName(Work.Path);
  std::string outName = ChangeFileExtension(name, Ext);
  std::string outPath = Work.Folder.Path + outName;
  AddLine(Output.Lines, FormatText(Text(TextConverting).c_str(), {name, outName}));
  ++Output.Attempted;
  try {
    if (Work.Folder.Fd < 0) {
      Imaging::TImageFileFormat* handler = Imaging::FindHandlerForFileName(outPath);
      std::string ext = handler && !handler->Extensions().empty() ? handler->Extensions()[0] : Ext;
      throw Imaging::EImagingError(
          FormatText("Error while saving images to file \"%s\" (file format: %s).", {outPath, ext}) +
          " Exception Message: " + Work.Folder.Error);
    }
    // Never replace a file this run reads (converting earlier outputs again
    // may name an input as an output).
    if (IsInputFile(outPath)) throw std::runtime_error(FormatText(Text(TextInputNotOverwritten).c_str(), {outPath}));
    // The input is decoded once for all its outputs (the first output that
    // needs it loads it; others of the same file wait for it). A load that
    // failed fails again, with its message, for every output.
    TLoadedInput* input;
    {
      std::lock_guard<std::mutex> lock(Work.Lock);
      input = Work.Input.get();
      if (!input->Tried) {
        input->Tried = true;
        try {
          CheckInputFile(Work.Path);
          if (!Imaging::ReadImageFile(Work.Path, input->Image))
            throw Imaging::Exception(FormatText(Text(TextNotRecognised).c_str(), {Work.Path}));
        } catch (const std::exception&) {
          Imaging::ReleaseImage(input->Image);
          input->Failure = std::current_exception();
        }
      }
    }
    if (input->Failure) std::rethrow_exception(input->Failure);
    if (FCancelConversion.load()) throw Imaging::Exception(Text(TextCancelled));
    if (!SaveImageInFolder(Work.Folder.Fd, outPath, input->Image, &FCancelConversion, &Pending))
      throw Imaging::Exception(FormatText(Text(TextCannotSave).c_str(), {outPath}));
    if (!Pending.File) ++Output.Written;
  } catch (const std::exception& e) {
    // A cancelled load or save ends without a message of its own; the run
    // says once that it was cancelled.
    if (FCancelConversion.load()) return;
    AddLine(Output.Lines, FormatText(Text(TextException).c_str(), {std::string(e.what())}));
    ++Output.Exceptions;
  }
}

// The output of entry Entry of the format list for one supported file
// (nothing when the entry is not selected). The file's output folder is
// opened before its first output, so it exists even when every conversion
// then fails; the decoded image and the folder go when the file's last
// output is done.
void TConversionJob::ConvertOutput(TFileWork& Work, const TFormatList& Formats, size_t Entry, int RootFd,
                                   const std::string& Root, TPendingOutput& Pending) const {
  {
    std::lock_guard<std::mutex> lock(Work.Lock);
    if (!Work.FolderOpened) {
      Work.FolderOpened = true;
      Work.Folder.Path = Root + Work.FolderName + "/";
      Work.Input = std::make_unique<TLoadedInput>();
      bool anySelected = false;
      for (const TFormatEntry& entry : Formats) anySelected = anySelected || entry.Selected();
      if (anySelected) {
        try {
          if (RootFd < 0) throw Imaging::Exception(FRootError);
          Work.Folder.Fd = OpenSubfolder(RootFd, Work.FolderName, Root + Work.FolderName).Release();
        } catch (const std::exception& e) {
          Work.Folder.Error = e.what();
        }
      }
    }
  }
  if (Formats[Entry].Selected()) ConvertOneFormat(Work, Work.Outputs[Entry], Formats[Entry].Ext, Pending);
  // A written file that waits to be named keeps its folder open.
  if (Pending.File) return;
  std::lock_guard<std::mutex> lock(Work.Lock);
  if (--Work.OutputsLeft == 0) Work.ReleaseFile();
}

// Ends an output that ConvertOutput left pending: the file is flushed and
// named, and the output counts as written or gets its message, as if that
// had been done at once.
void TConversionJob::CompleteOutput(TFileWork& Work, size_t Entry, TPendingOutput& Pending) const {
  using Imaging::FormatText;
  TOutputWork& output = Work.Outputs[Entry];
  try {
    if (!CompletePendingOutput(Pending))
      throw Imaging::Exception(FormatText(Text(TextCannotSave).c_str(), {Pending.FileName}));
    ++output.Written;
  } catch (const std::exception& e) {
    if (!FCancelConversion.load()) {
      AddLine(output.Lines, FormatText(Text(TextException).c_str(), {std::string(e.what())}));
      ++output.Exceptions;
    }
  }
  std::lock_guard<std::mutex> lock(Work.Lock);
  if (--Work.OutputsLeft == 0) Work.ReleaseFile();
}

void TConversionJob::TakeOver(TFileWork& Work) {
  using Imaging::FormatText;
  FLog.emplace_back();
  AddLogLine(FormatText(Text(TextProcessing).c_str(), {Work.FolderName}));
  for (TOutputWork& output : Work.Outputs) {
    for (std::string& line : output.Lines) FLog.push_back(std::move(line));
    FSummary.OutputsAttempted += output.Attempted;
    FSummary.OutputsWritten += output.Written;
    FSummary.Exceptions += output.Exceptions;
  }
  Work.Outputs.clear();
}

// Flushes written outputs to the disk and names them on threads of its own,
// in the order they come, so that whoever converts goes on while the disk
// catches up; a few outputs at most wait at a time. Done is called (on a
// flusher thread) when an output is complete, with the tag it came with.
class TConversionJob::TFlusher {
public:
  TFlusher(const TConversionJob& Job, int32_t Threads, std::function<void(size_t)> Done)
      : FJob(Job), FDone(std::move(Done)), FLimit(size_t(2 * Threads)) {
    try {
      for (int32_t i = 0; i < Threads; ++i) FThreads.emplace_back([this] { Run(); });
    } catch (...) {
      Finish();
      throw;
    }
  }
  ~TFlusher() { Finish(); }
  TFlusher(const TFlusher&) = delete;
  TFlusher& operator=(const TFlusher&) = delete;

  // Hands over output Entry of Work, waiting while too many wait.
  void Add(TFileWork& Work, size_t Entry, std::unique_ptr<TPendingOutput> Output, size_t Tag) {
    std::unique_lock<std::mutex> lock(FMutex);
    FRoom.wait(lock, [this] { return FWaiting.size() < FLimit; });
    FWaiting.push_back({&Work, Entry, Tag, std::move(Output)});
    ++FOpen;
    FWake.notify_one();
  }

  // Waits until every output handed over is complete.
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(FMutex);
    FIdle.wait(lock, [this] { return FOpen == 0; });
  }

  // Completes what waits, then ends the threads.
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FEnding = true;
      FWake.notify_all();
    }
    for (std::thread& t : FThreads) t.join();
    FThreads.clear();
  }

private:
  struct TItem {
    TFileWork* Work = nullptr;
    size_t Entry = 0, Tag = 0;
    std::unique_ptr<TPendingOutput> Output;
  };

  void Run() {
    for (;;) {
      TItem item;
      {
        std::unique_lock<std::mutex> lock(FMutex);
        FWake.wait(lock, [this] { return !FWaiting.empty() || FEnding; });
        if (FWaiting.empty()) return;
        item = std::move(FWaiting.front());
        FWaiting.pop_front();
        FRoom.notify_one();
      }
      try {
        FJob.CompleteOutput(*item.Work, item.Entry, *item.Output);
      } catch (...) {
        std::lock_guard<std::mutex> lock(item.Work->Lock);
        if (!item.Work->Failure) item.Work->Failure = std::current_exception();
      }
      if (FDone) FDone(item.Tag);
      std::lock_guard<std::mutex> lock(FMutex);
      if (--FOpen == 0) FIdle.notify_all();
    }
  }

  const TConversionJob& FJob;
  std::function<void(size_t)> FDone;
  const size_t FLimit;
  std::mutex FMutex;
  std::condition_variable FWake, FRoom, FIdle;
  std::deque<TItem> FWaiting;
  size_t FOpen = 0;  // handed over and not complete
  bool FEnding = false;
  std::vector<std::thread> FThreads;
};

// The worker threads of a run with several workers. The run is cut into
// outputs (every entry of the format list for every supported file); the
// outputs of a file are taken in list order. A worker goes on with the file
// it has started, then starts the next file nobody has started, and only when
// every file is started helps with the outputs left of files under way. So
// many files are converted side by side, each decoded by the worker that
// writes it, and the outputs of the last files (or of a single file) are
// written on several cores at once; at most one file per worker is held in
// memory. The calling thread follows the files in list order and reports
// each one whole.
class TConversionJob::TWorkers {
public:
  TWorkers(TConversionJob& Job, std::vector<TFileWork>& Files, const TFormatList& Formats, int RootFd,
           const std::string& Root, int32_t Count)
      : FJob(Job), FFiles(Files), FFormats(Formats), FRootFd(RootFd), FRoot(Root) {
    const size_t entries = Formats.size();
    for (size_t i = 0; i < Files.size(); ++i) {
      FQueues.push_back({FUnits.size(), 0, 0});
      if (!Files[i].Supported) continue;
      FQueues.back().Count = entries;
      Files[i].OutputsLeft = int32_t(entries);
      for (size_t e = 0; e < entries; ++e) FUnits.push_back({i, e, usWaiting});
    }
    try {
      FFlusher = std::make_unique<TFlusher>(Job, Count, [this](size_t Unit) {
        std::lock_guard<std::mutex> lock(FMutex);
        FUnits[Unit].State = usDone;
        FChanged.notify_all();
      });
      for (int32_t i = 0; i < Count; ++i) FThreads.emplace_back([this] { Run(); });
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~TWorkers() { Stop(); }
  TWorkers(const TWorkers&) = delete;
  TWorkers& operator=(const TWorkers&) = delete;

  // True when the run was cancelled before any output of file Index was
  // taken: the file loop ends there.
  bool LeaveBefore(size_t Index) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FJob.FCancelConversion.load()) return false;
    CloseQueue();
    const size_t first = FQueues[Index].First;
    return !FFiles[Index].Supported || FUnits[first].State == usSkipped;
  }

  // Waits for the outputs of file Index: Stepped is called once for every
  // entry of the format list passed in order (up to the first that a cancel
  // left out), Idle now and then while nothing happens.
  void Follow(size_t Index, const std::function<void()>& Stepped, const std::function<void()>& Idle) {
    const size_t first = FQueues[Index].First, count = FFormats.size();
    size_t reported = 0;
    for (;;) {
      size_t passed = reported;
      bool finished;
      {
        std::unique_lock<std::mutex> lock(FMutex);
        auto progress = [&] {
          passed = reported;
          while (passed < count && FUnits[first + passed].State == usDone) ++passed;
          finished = passed == count || FUnits[first + passed].State == usSkipped;
          return finished || passed > reported;
        };
        if (!FChanged.wait_for(lock, std::chrono::milliseconds(100), progress)) {
          if (FJob.FCancelConversion.load()) CloseQueue();
          lock.unlock();
          Idle();
          continue;
        }
      }
      for (; reported < passed; ++reported) Stepped();
      if (finished) return;
    }
  }

private:
  enum TUnitState { usWaiting, usTaken, usDone, usSkipped };
  struct TUnit {
    size_t File;
    size_t Entry;
    TUnitState State;
  };
  // The outputs of one file in FUnits, and the next one nobody has taken.
  struct TQueue {
    size_t First;
    size_t Count;
    size_t Next;
  };

  // The next output for a worker whose file is Current (none: FUnits.size());
  // false when there is none left. Called with the lock held.
  bool Take(size_t& Current, size_t& Unit) {
    auto from = [&](size_t File) {
      TQueue& q = FQueues[File];
      if (q.Next >= q.Count) return false;
      Current = File;
      Unit = q.First + q.Next++;
      FUnits[Unit].State = usTaken;
      return true;
    };
    if (Current < FQueues.size() && from(Current)) return true;
    for (; FNextFile < FQueues.size(); ++FNextFile)
      if (from(FNextFile)) return ++FNextFile, true;
    for (; FOpenFrom < FQueues.size(); ++FOpenFrom)
      if (from(FOpenFrom)) return true;
    return false;
  }

  // After a cancel no output is started any more; the ones nobody has
  // taken are left out. Called with the lock held.
  void CloseQueue() {
    if (FClosed) return;
    FClosed = true;
    for (TQueue& q : FQueues) {
      for (; q.Next < q.Count; ++q.Next) {
        TUnit& unit = FUnits[q.First + q.Next];
        unit.State = usSkipped;
        TFileWork& work = FFiles[unit.File];
        std::lock_guard<std::mutex> fileLock(work.Lock);
        if (--work.OutputsLeft == 0) work.ReleaseFile();
      }
    }
    FChanged.notify_all();
  }

  // A worker: converts outputs one after another. A written file is handed
  // to the flusher, and the output is done when it is named.
  void Run() {
    TJobIOScope io(&FJob.FCancelConversion);
    size_t current = FQueues.size();
    for (;;) {
      size_t u;
      {
        std::lock_guard<std::mutex> lock(FMutex);
        if (FJob.FCancelConversion.load()) CloseQueue();
        if (!Take(current, u)) return;
      }
      TFileWork& work = FFiles[FUnits[u].File];
      auto pending = std::make_unique<TPendingOutput>();
      try {
        FJob.ConvertOutput(work, FFormats, FUnits[u].Entry, FRootFd, FRoot, *pending);
      } catch (...) {
        std::lock_guard<std::mutex> lock(work.Lock);
        if (!work.Failure) work.Failure = std::current_exception();
      }
      if (pending->File) {
        FFlusher->Add(work, FUnits[u].Entry, std::move(pending), u);
        continue;
      }
      std::lock_guard<std::mutex> lock(FMutex);
      FUnits[u].State = usDone;
      FChanged.notify_all();
    }
  }

  // Lets the workers finish: after a normal run they have nothing left;
  // when the run ends by an exception, outputs under way are cancelled.
  void Stop() {
    bool pending;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      pending = std::any_of(FUnits.begin(), FUnits.end(), [](const TUnit& U) { return U.State == usTaken; });
      if (pending) FJob.RequestCancel();
      CloseQueue();
    }
    for (std::thread& t : FThreads) t.join();
    FThreads.clear();
    // Files already written are still flushed and named.
    if (FFlusher) FFlusher->Finish();
  }

  TConversionJob& FJob;
  std::vector<TFileWork>& FFiles;
  const TFormatList& FFormats;
  int FRootFd;
  const std::string& FRoot;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TUnit> FUnits;
  std::vector<TQueue> FQueues;  // per file of the list
  size_t FNextFile = 0;         // files from here on are not started
  size_t FOpenFrom = 0;         // files before this have no output left
  bool FClosed = false;
  std::vector<std::thread> FThreads;
  std::unique_ptr<TFlusher> FFlusher;
};

void TConversionJob::ConvertFiles(const std::vector<std::string>& FilesToProcess) {
  using Imaging::FormatText;
  std::unique_ptr<TOptions> options;
  FSummary = TConversionSummary();
  try {
    // 1. Preparation.
    FLog.clear();
    FHost.SetCursor(TCursorShape::crHourGlass);
    options = FHost.CreateRunOptions();
    FHost.AcceptDrops(false);
    FHost.BringToFront();
    FHost.ShowRunning(true);
    FConvertedImages = 0;
    FCancelConversion.store(false);
    FConversionRunning = true;
    FInputIds.clear();
    for (const std::string& path : FilesToProcess) {
      std::pair<uint64_t, uint64_t> id;
      if (FileIdentity(path, id)) FInputIds.push_back(id);
    }
    const TFormatList& formats = options->ImgFormats();
    // Loads and saves of the run go through the job's I/O, where Cancel
    // reaches them.
    TJobIOScope io(&FCancelConversion);

    // 2. Progress bars.
    FHost.SetProgressStep(TProgressBar::pbImages, 1);
    FHost.SetProgressStep(TProgressBar::pbFormats, 1);
    FHost.SetProgressMax(TProgressBar::pbImages, int32_t(FilesToProcess.size()));
    FHost.SetProgressMax(TProgressBar::pbFormats, int32_t(formats.size()));

    // 3. Output root, walked from the output folder without following links
    // of other users.
    std::string outputDir = IncludeTrailingDelimiter(options->OutputDir());
    std::string rootName = TranslateFileName(FTranslator, TextConvertedImages);
    std::string root = IncludeTrailingDelimiter(outputDir + rootName);
    FSummary.OutputRoot = root;
    TDescriptor rootFd;
    FRootError.clear();
    try {
      TDescriptor parent = OpenFolderPath(options->OutputDir());
      rootFd = OpenSubfolder(parent.Get(), rootName, root.substr(0, root.size() - 1));
    } catch (const std::exception& e) {
      FRootError = e.what();
    }
    FHost.ProcessMessages();

    // 4. Log header.
    std::string title = Text(TextLogTitle);
    std::string rule(Utf16Length(title), '=');
    AddLogLine(rule);
    AddLogLine(title);
    AddLogLine(rule);
    if (!options->StoredOutputDir().empty()) {
      FLog.emplace_back();
      AddLogLine(FormatText(Text(TextOutputDirMissing).c_str(), {options->StoredOutputDir(), options->OutputDir()}));
    }

    // 5. The files. Which are supported and the folder of each are known
    // before any is converted; two inputs of one name in one run get
    // folders of their own.
    std::vector<TFileWork> files(FilesToProcess.size());
    std::set<std::string> usedFolders;
    size_t supported = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      TFileWork& work = files[i];
      work.Path = FilesToProcess[i];
      work.Supported = Imaging::IsSupportedFileName(work.Path);
      if (!work.Supported) continue;
      ++supported;
      work.Outputs.resize(formats.size());
      std::string name = ExtractFileName(work.Path);
      work.FolderName = name;
      for (int n = 2; usedFolders.count(work.FolderName); ++n) work.FolderName = name + " (" + std::to_string(n) + ")";
      usedFolders.insert(work.FolderName);
    }
    // Several workers write the outputs on threads of their own; a single
    // one is the calling thread, with a flusher beside it.
    std::unique_ptr<TWorkers> workers;
    std::unique_ptr<TFlusher> flusher;
    if (FWorkerCount > 1 && supported > 0 && !formats.empty())
      workers = std::make_unique<TWorkers>(*this, files, formats, rootFd.Get(), root, FWorkerCount);
    else if (supported > 0 && !formats.empty())
      flusher = std::make_unique<TFlusher>(*this, 1, nullptr);
    auto stepFormats = [this] {
      FHost.StepProgress(TProgressBar::pbFormats);
      FHost.ProcessMessages();
    };
    for (size_t i = 0; i < files.size(); ++i) {
      TFileWork& work = files[i];
      if (workers ? workers->LeaveBefore(i) : FCancelConversion.load()) break;
      FHost.StepProgress(TProgressBar::pbImages);
      FHost.ShowCurrentFile(work.Path);
      FHost.ProcessMessages();
      if (!work.Supported) {
        FLog.emplace_back();
        AddLogLine(FormatText(Text(TextNotSupported).c_str(), {work.Path}));
        ++FSummary.UnsupportedFiles;
        continue;
      }
      // The formats bar starts over for every file.
      FHost.SetProgressPosition(TProgressBar::pbFormats, 0);
      if (workers) {
        workers->Follow(i, stepFormats, [this] { FHost.ProcessMessages(); });
      } else {
        work.OutputsLeft = int32_t(formats.size());
        for (size_t e = 0; e < formats.size(); ++e) {
          if (FCancelConversion.load()) break;
          auto pending = std::make_unique<TPendingOutput>();
          ConvertOutput(work, formats, e, rootFd.Get(), root, *pending);
          if (pending->File) flusher->Add(work, e, std::move(pending), e);
          stepFormats();
        }
        // The file is reported when its outputs are named.
        flusher->WaitIdle();
        work.ReleaseFile();
      }
      std::exception_ptr failure;
      {
        std::lock_guard<std::mutex> lock(work.Lock);
        failure = work.Failure;
      }
      if (failure) std::rethrow_exception(failure);
      TakeOver(work);
      ++FConvertedImages;
    }
    workers.reset();
    flusher.reset();
    FSummary.ConvertedImages = FConvertedImages;
    bool cancelled = FCancelConversion.load();
    FSummary.Cancelled = cancelled;
    if (cancelled) {
      FLog.emplace_back();
      AddLogLine(Text(TextRunCancelled));
    }

    // 7. The output folder.
    if (options->OpenOutDir() && !cancelled) FHost.ShellOpen(root);

    // 8. Closing lines and actions.
    FLog.emplace_back();
    AddLogLine(FormatText(Text(TextEndOfTask).c_str(), {FConvertedImages}));
    if (options->CreateLog()) {
      std::string logName = TranslateFileName(FTranslator, TextLogFileName);
      FSummary.LogFileName = root + logName;
      WriteLogFile(rootFd.Get(), logName, root + logName);
      FSummary.LogWritten = true;
      if (options->LaunchLog() && !cancelled) FHost.ShellOpen(root + logName);
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
  // The imaging core keeps released pixel memory for the next image; the
  // window may wait long for the next drop, so it goes back now.
  Imaging::TrimMemory();
  FHost.SetCursor(TCursorShape::crDefault);
  FCancelConversion.store(false);
  FConversionRunning = false;
  FHost.ShowRunning(false);
  FHost.SetProgressPosition(TProgressBar::pbImages, 0);
  FHost.SetProgressPosition(TProgressBar::pbFormats, 0);
  FHost.AcceptDrops(true);
}

}  // namespace Vorelle
