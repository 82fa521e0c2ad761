// The three I/O tables (files through a block buffer, caller streams, fixed
// memory blocks) and the streams under them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Imaging.h"

namespace Imaging {

// ---------------------------------------------------------------------------
// TFileStream
// ---------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& FileName, TMode Mode) : FFileName(FileName) {
  if (Mode == fmOpenRead)
    FHandle = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  else
    FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FHandle < 0) {
    int err = errno;
    throw Exception(FormatText(Mode == fmOpenRead ? "Cannot open file \"%s\". %s" : "Cannot create file \"%s\". %s",
                               {FileName, std::strerror(err)}));
  }
  struct stat st;
  if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    throw Exception(FormatText("Cannot open file \"%s\". %s", {FileName, std::strerror(EISDIR)}));
  }
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int32_t TFileStream::Read(void* Buffer, int32_t Count) {
  if (FHandle < 0 || Count <= 0) return 0;
  int32_t done = 0;
  while (done < Count) {
    ssize_t n = ::read(FHandle, static_cast<uint8_t*>(Buffer) + done, size_t(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += int32_t(n);
  }
  return done;
}

int32_t TFileStream::Write(const void* Buffer, int32_t Count) {
  if (FHandle < 0 || Count <= 0) return 0;
  int32_t done = 0;
  while (done < Count) {
    ssize_t n = ::write(FHandle, static_cast<const uint8_t*>(Buffer) + done, size_t(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += int32_t(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekMode Origin) {
  if (FHandle < 0) return -1;
  int whence = Origin == smFromBeginning ? SEEK_SET : Origin == smFromCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(FHandle, off_t(Offset), whence);
  return r < 0 ? -1 : int64_t(r);
}

int64_t TFileStream::GetSize() {
  struct stat st;
  if (FHandle < 0 || ::fstat(FHandle, &st) != 0) return 0;
  return int64_t(st.st_size);
}

bool TFileStream::CloseFile() {
  if (FHandle < 0) return true;
  int r = ::close(FHandle);
  FHandle = -1;
  return r == 0;
}

// ---------------------------------------------------------------------------
// TMemoryStream
// ---------------------------------------------------------------------------

int32_t TMemoryStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0 || FPosition < 0 || FPosition >= int64_t(FData.size())) return 0;
  int64_t n = std::min<int64_t>(Count, int64_t(FData.size()) - FPosition);
  std::memcpy(Buffer, FData.data() + FPosition, size_t(n));
  FPosition += n;
  return int32_t(n);
}

int32_t TMemoryStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0 || FPosition < 0) return 0;
  if (FPosition + Count > int64_t(FData.size())) FData.resize(size_t(FPosition + Count));
  std::memcpy(FData.data() + FPosition, Buffer, size_t(Count));
  FPosition += Count;
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekMode Origin) {
  int64_t base = Origin == smFromBeginning ? 0 : Origin == smFromCurrent ? FPosition : int64_t(FData.size());
  int64_t pos = base + Offset;
  if (pos < 0) return -1;
  FPosition = pos;
  return pos;
}

// ---------------------------------------------------------------------------
// TBufferedStream
// ---------------------------------------------------------------------------

TBufferedStream::TBufferedStream(TStream* Stream) : FStream(Stream) {
  FBuffer.reset(new uint8_t[size_t(FBufSize)]);
  int64_t size = Stream->GetSize();
  FSize = int32_t(std::clamp<int64_t>(size, 0, MaxFileSize));
}

TBufferedStream::~TBufferedStream() {
  if (FBuffer) {
    try {
      Commit();
    } catch (...) {
      // A failed final write is reported by whoever calls Commit explicitly
      // (the file table's Close); a destructor must not throw.
    }
    FBuffer.reset();
  }
  FStream->Seek(Position(), smFromBeginning);
}

void TBufferedStream::ReadBuffer() {
  if (FStream->Seek(FBufStart, smFromBeginning) == -1) throw Exception("TBufferedStream.ReadBuffer: seek failed");
  FBytesInBuf = FStream->Read(FBuffer.get(), FBufSize);
  if (FBytesInBuf <= 0) {
    FBytesInBuf = 0;
    throw Exception("TBufferedStream.ReadBuffer: read failed");
  }
}

void TBufferedStream::WriteBuffer() {
  if (FStream->Seek(FBufStart, smFromBeginning) == -1) throw Exception("TBufferedStream.WriteBuffer: seek failed");
  if (FStream->Write(FBuffer.get(), FBytesInBuf) != FBytesInBuf)
    throw Exception("TBufferedStream.WriteBuffer: write failed");
}

void TBufferedStream::Commit() {
  if (FDirty) {
    WriteBuffer();
    FDirty = false;
  }
}

int32_t TBufferedStream::Read(void* Buffer, int32_t Count) {
  int64_t pos = int64_t(FBufStart) + FBufPos;
  // Nothing is read before offset 0 or past the logical end.
  if (pos < 0 || Count <= 0) return 0;
  if (pos + Count > FSize) Count = int32_t(std::max<int64_t>(0, int64_t(FSize) - pos));
  if (Count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  if (FBytesInBuf == 0) ReadBuffer();
  int32_t copied = std::clamp(FBytesInBuf - FBufPos, 0, Count);
  std::memcpy(out, FBuffer.get() + FBufPos, size_t(copied));
  int32_t remaining = Count - copied;
  int32_t last = copied;
  while (remaining > 0) {
    Commit();
    FBufStart += FBufSize;
    FBufPos = 0;
    FBytesInBuf = 0;
    // Whole blocks in the middle of a large read go straight to the caller
    // (into image rows, say) without passing through the buffer; the last
    // block is buffered as usual.
    const int32_t direct = (remaining - 1) / FBufSize * FBufSize;
    if (direct > 0) {
      if (FStream->Seek(FBufStart, smFromBeginning) == -1)
        throw Exception("TBufferedStream.ReadBuffer: seek failed");
      if (FStream->Read(out + copied, direct) != direct) throw Exception("TBufferedStream.ReadBuffer: read failed");
      copied += direct;
      remaining -= direct;
      FBufStart += direct - FBufSize;
      continue;
    }
    ReadBuffer();
    last = std::min(remaining, FBytesInBuf);
    std::memcpy(out + copied, FBuffer.get(), size_t(last));
    copied += last;
    remaining -= last;
  }
  FBufPos += last;
  if (FBufPos == FBufSize) {
    // Leaving a block: a dirty buffer is written before it is dropped.
    Commit();
    FBufStart += FBufSize;
    FBufPos = 0;
    FBytesInBuf = 0;
  }
  return Count;
}

int32_t TBufferedStream::Write(const void* Buffer, int32_t Count) {
  int64_t pos = int64_t(FBufStart) + FBufPos;
  // Nothing is written before offset 0 or past the largest supported size.
  if (pos < 0 || Count <= 0) return 0;
  if (pos + Count > MaxFileSize) return 0;
  const auto* in = static_cast<const uint8_t*>(Buffer);
  if (FBytesInBuf == 0 && FSize > FBufStart) ReadBuffer();
  // A write past the end leaves a gap; it is filled with zeros, never with
  // stale bytes of another block.
  if (FBufPos > FBytesInBuf) std::memset(FBuffer.get() + FBytesInBuf, 0, size_t(FBufPos - FBytesInBuf));
  int32_t first = std::min(Count, FBufSize - FBufPos);
  std::memcpy(FBuffer.get() + FBufPos, in, size_t(first));
  FDirty = true;
  int32_t done = first;
  int32_t last = first;
  while (done < Count) {
    FBytesInBuf = FBufSize;
    WriteBuffer();
    FDirty = false;
    FBufStart += FBufSize;
    FBufPos = 0;
    FBytesInBuf = 0;
    if (FSize > FBufStart) ReadBuffer();
    last = std::min(Count - done, FBufSize);
    std::memcpy(FBuffer.get(), in + done, size_t(last));
    FDirty = true;
    done += last;
  }
  FBufPos += last;
  FBytesInBuf = std::max(FBytesInBuf, FBufPos);
  FSize = std::max(FSize, FBufStart + FBytesInBuf);
  if (FBufPos == FBufSize) {
    WriteBuffer();
    FDirty = false;
    FBufStart += FBufSize;
    FBufPos = 0;
    FBytesInBuf = 0;
  }
  return Count;
}

int32_t TBufferedStream::Seek(int32_t Offset, int32_t Origin) {
  int64_t pos;
  switch (Origin) {
    case smFromBeginning:
      pos = Offset;
      break;
    case smFromCurrent:
      pos = int64_t(FBufStart) + FBufPos + Offset;
      break;
    case smFromEnd:
      pos = int64_t(FSize) + Offset;
      break;
    default:
      throw Exception("TBufferedStream.Seek: invalid origin");
  }
  pos = std::clamp<int64_t>(pos, INT32_MIN, INT32_MAX);
  // Floor to the block start, also for negative positions.
  int64_t blockStart = pos & ~int64_t(FBufSize - 1);
  if (blockStart != FBufStart) {
    Commit();
    FBufStart = int32_t(blockStart);
    FBytesInBuf = 0;
  }
  FBufPos = int32_t(pos - blockStart);
  return int32_t(pos);
}

// ---------------------------------------------------------------------------
// I/O tables
// ---------------------------------------------------------------------------

TIOFunctions FileIOTable;
TIOFunctions StreamIOTable;
TIOFunctions MemoryIOTable;
// The tables in use belong to the thread: each thread starts with the file
// table and may replace it for its own loads and saves.
thread_local TIOFunctions ActiveFileIOTable = FileIOTable;
thread_local TIOFunctions ActiveIOTable;

namespace {

// File table: the handle is a TBufferedStream over a TFileStream it owns.
TBufferedStream* OpenBuffered(const void* Source, TFileStream::TMode Mode) {
  std::string name = static_cast<const char*>(Source);
  auto file = std::make_unique<TFileStream>(name, Mode);
  if (Mode == TFileStream::fmOpenRead && file->GetSize() >= MaxFileSize)
    throw Exception(FormatText("File \"%s\" is too large (2 GiB or more).", {name}));
  auto* buffered = new TBufferedStream(file.get());
  file.release();
  return buffered;
}

THandle FileOpenRead(const void* Source) { return OpenBuffered(Source, TFileStream::fmOpenRead); }
THandle FileOpenWrite(const void* Source) { return OpenBuffered(Source, TFileStream::fmCreate); }

bool FileClose(THandle Handle) {
  if (!Handle) return true;
  auto* buffered = static_cast<TBufferedStream*>(Handle);
  auto* file = static_cast<TFileStream*>(buffered->Stream());
  bool ok = true;
  try {
    buffered->Commit();
  } catch (...) {
    ok = false;
  }
  delete buffered;
  if (!file->CloseFile()) ok = false;
  delete file;
  return ok;
}

bool FileEof(THandle Handle) {
  auto* b = static_cast<TBufferedStream*>(Handle);
  return b->Position() == b->Size();
}
int32_t FileSeek(THandle Handle, int32_t Offset, TSeekMode Mode) {
  return static_cast<TBufferedStream*>(Handle)->Seek(Offset, Mode);
}
int32_t FileTell(THandle Handle) { return static_cast<TBufferedStream*>(Handle)->Position(); }
int32_t FileRead(THandle Handle, void* Buffer, int32_t Count) {
  return static_cast<TBufferedStream*>(Handle)->Read(Buffer, Count);
}
int32_t FileWrite(THandle Handle, const void* Buffer, int32_t Count) {
  return static_cast<TBufferedStream*>(Handle)->Write(Buffer, Count);
}

// Stream table: the handle is a small record over the caller's stream. A
// write the stream took only in part is remembered, and Close reports it,
// so that a save through a stream that filled up is a failed save.
struct TStreamHandle {
  TStream* Stream;
  bool ShortWrite = false;
};
TStream* StreamOf(THandle Handle) { return static_cast<TStreamHandle*>(Handle)->Stream; }
THandle StreamOpen(const void* Source) {
  return new TStreamHandle{static_cast<TStream*>(const_cast<void*>(Source))};
}
bool StreamClose(THandle Handle) {
  auto* h = static_cast<TStreamHandle*>(Handle);
  const bool ok = !h->ShortWrite;
  delete h;
  return ok;
}
bool StreamEof(THandle Handle) {
  TStream* s = StreamOf(Handle);
  return s->GetPosition() == s->GetSize();
}
int32_t StreamSeek(THandle Handle, int32_t Offset, TSeekMode Mode) {
  return int32_t(StreamOf(Handle)->Seek(Offset, Mode));
}
int32_t StreamTell(THandle Handle) { return int32_t(StreamOf(Handle)->GetPosition()); }
int32_t StreamRead(THandle Handle, void* Buffer, int32_t Count) { return StreamOf(Handle)->Read(Buffer, Count); }
int32_t StreamWrite(THandle Handle, const void* Buffer, int32_t Count) {
  auto* h = static_cast<TStreamHandle*>(Handle);
  int32_t written = h->Stream->Write(Buffer, Count);
  if (Count > 0 && written != Count) h->ShortWrite = true;
  return written;
}

// Memory table: the handle is a TMemoryIOState; the block never grows and
// nothing outside it is touched, whatever the position or count.
THandle MemoryOpen(const void* Source) { return const_cast<void*>(Source); }
bool MemoryClose(THandle) { return true; }
bool MemoryEof(THandle Handle) {
  auto* m = static_cast<TMemoryIOState*>(Handle);
  return m->Position == m->Size;
}
int32_t MemorySeek(THandle Handle, int32_t Offset, TSeekMode Mode) {
  auto* m = static_cast<TMemoryIOState*>(Handle);
  int64_t pos = m->Position;
  switch (Mode) {
    case smFromBeginning:
      pos = Offset;
      break;
    case smFromCurrent:
      pos = int64_t(m->Position) + Offset;
      break;
    case smFromEnd:
      pos = int64_t(m->Size) + Offset;
      break;
  }
  m->Position = int32_t(std::clamp<int64_t>(pos, INT32_MIN, INT32_MAX));
  return m->Position;
}
int32_t MemoryTell(THandle Handle) { return static_cast<TMemoryIOState*>(Handle)->Position; }

// Bytes that may move at the state's position: 0 outside the block.
int32_t MemoryAvailable(TMemoryIOState* M, int32_t Count) {
  if (Count <= 0 || M->Position < 0) return 0;
  if (M->Position > M->Size) {
    M->Position = M->Size;
    return 0;
  }
  return int32_t(std::min<int64_t>(Count, int64_t(M->Size) - M->Position));
}

int32_t MemoryRead(THandle Handle, void* Buffer, int32_t Count) {
  auto* m = static_cast<TMemoryIOState*>(Handle);
  int32_t n = MemoryAvailable(m, Count);
  if (n > 0) std::memcpy(Buffer, static_cast<const uint8_t*>(m->Data) + m->Position, size_t(n));
  m->Position += n;
  return n;
}
int32_t MemoryWrite(THandle Handle, const void* Buffer, int32_t Count) {
  auto* m = static_cast<TMemoryIOState*>(Handle);
  int32_t n = MemoryAvailable(m, Count);
  if (Count > 0 && m->Position >= 0) {
    m->Needed = std::max<int64_t>(m->Needed, int64_t(m->Position) + m->Dropped + Count);
    m->Dropped += Count - n;
  }
  if (n > 0) std::memcpy(static_cast<uint8_t*>(m->Data) + m->Position, Buffer, size_t(n));
  m->Position += n;
  return n;
}

}  // namespace

void InitIOFunctions() {
  FileIOTable = {FileOpenRead, FileOpenWrite, FileClose, FileEof, FileSeek, FileTell, FileRead, FileWrite};
  StreamIOTable = {StreamOpen, StreamOpen, StreamClose, StreamEof, StreamSeek, StreamTell, StreamRead, StreamWrite};
  MemoryIOTable = {MemoryOpen, MemoryOpen, MemoryClose, MemoryEof, MemorySeek, MemoryTell, MemoryRead, MemoryWrite};
  RestoreDefaultFileIO();
}

void UseFileIO() { ActiveIOTable = ActiveFileIOTable; }
void UseStreamIO() { ActiveIOTable = StreamIOTable; }
void UseMemoryIO() { ActiveIOTable = MemoryIOTable; }
void RestoreDefaultFileIO() { ActiveFileIOTable = FileIOTable; }

void InitMemoryIOState(void* Data, int32_t Size, TMemoryIOState& State) {
  State.Data = Data;
  State.Position = 0;
  State.Size = Size;
  State.Needed = 0;
  State.Dropped = 0;
}

TIOFunctions CurrentIOTable() { return ActiveIOTable; }

int32_t MeasureHandleSize(const TIOFunctions& IO, THandle Handle) {
  int32_t old = IO.Tell(Handle);
  IO.Seek(Handle, 0, smFromEnd);
  int32_t size = IO.Tell(Handle);
  IO.Seek(Handle, old, smFromBeginning);
  return size;
}

}  // namespace Imaging
