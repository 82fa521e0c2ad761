// Memory, message formatting, error raising and rounding shared by the whole
// imaging core.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

#include "Imaging.h"

namespace Imaging {

void AssertionFailed(const char* Expression, const char* File, int Line) {
  const char* base = std::strrchr(File, '/');
  throw EAssertionFailed(std::string("Assertion failed: ") + Expression + " (" + (base ? base + 1 : File) + ", line " +
                         std::to_string(Line) + ")");
}

// Blocks from 64 KiB on get a mapping of their own; from 1 MiB on it is
// 2 MiB-aligned and marked for transparent huge pages, so that a fresh 36 MB
// image costs a few dozen page faults instead of thousands. Smaller blocks
// come from the C heap. Every block carries a header in front of it that
// tells FreeMem which kind it is.
//
// Fresh pages are the expensive part of a cheap conversion (the kernel
// clears each one, and on a virtual machine every first touch also faults on
// the host), so released mappings are kept for a while and handed out again
// for a block of about the same size: a load of 100 animation frames, or a run
// over many photos of one size, touches fresh memory once. What is kept is
// bounded (KeptLimit, and blocks up to KeptLargest only) and goes back to the
// system with TrimMemory.
// Sanitizer builds keep every block on the C heap, where the sanitizers
// watch its bounds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORELLE_PLAIN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define VORELLE_PLAIN_HEAP 1
#endif
#endif

#ifndef VORELLE_PLAIN_HEAP
namespace {

constexpr size_t HugePageSize = size_t(2) << 20;
constexpr size_t MappedFrom = size_t(64) << 10;  // blocks from 64 KiB on are mapped
constexpr size_t HugeFrom = size_t(1) << 20;       // and from 1 MiB on in huge pages
constexpr uint64_t HeapTag = 0x56726C48656170ULL;    // on the C heap
constexpr uint64_t MappedTag = 0x56726C4D617070ULL;  // in a mapping of its own

// The 16 bytes in front of every block.
struct TBlockHeader {
  uint64_t Tag;
  uint64_t Length;  // of the whole mapping (mapped blocks)
};
static_assert(sizeof(TBlockHeader) == 16, "the header keeps blocks 16-byte aligned");

size_t PageSize() {
  static const size_t size = size_t(::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096);
  return size;
}

// Released mappings waiting to be used again, newest last; each is the
// block's data address, its header still in front of it.
constexpr size_t KeptCount = 1024;
// Larger blocks are not kept: they are few, and memory held back would stand
// beside the large buffers of the codec libraries (OpenJPEG, libtiff), which
// do not come from here, and raise the program's peak.
constexpr size_t KeptLargest = size_t(64) << 20;

struct TKeptMappings {
  std::mutex Lock;
  void* Blocks[KeptCount];
  size_t Count = 0;
  size_t Bytes = 0;
};

// Bytes of mappings kept at most: an eighth of the memory, up to 512 MiB.
size_t KeptLimit() {
  static const size_t limit = [] {
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    const size_t physical = pages > 0 && size > 0 ? size_t(pages) * size_t(size) : size_t(1) << 30;
    return std::min(size_t(512) << 20, physical / 8);
  }();
  return limit;
}

TKeptMappings& Kept() {
  static TKeptMappings kept;  // lives as long as the program: FreeMem may run at exit
  return kept;
}

// The mapped size of a block's data: whole huge pages for large blocks,
// else rounded up to the next of four steps per power of two, so that a
// kept mapping also serves blocks a little smaller than the one it held.
size_t BodySize(size_t Size) {
  if (Size >= HugeFrom) return (Size + HugePageSize - 1) & ~(HugePageSize - 1);
  size_t step = size_t(1) << (63 - __builtin_clzll(Size) - 2);
  step = std::max(step, PageSize());
  return (Size + step - 1) & ~(step - 1);
}

void UnmapBlock(void* Data) {
  auto* header = static_cast<TBlockHeader*>(Data) - 1;
  ::munmap(static_cast<uint8_t*>(Data) - PageSize(), header->Length);
}

// The kept mapping that fits Size best (at most twice as large as a fresh
// one would be), cleared to zero when asked; null when none fits.
void* ReuseBlock(size_t Size, bool Clear) {
  const size_t length = PageSize() + BodySize(Size);
  void* found = nullptr;
  {
    TKeptMappings& kept = Kept();
    std::lock_guard<std::mutex> guard(kept.Lock);
    size_t best = kept.Count, bestLength = 0;
    for (size_t i = kept.Count; i-- > 0;) {
      const size_t l = (static_cast<TBlockHeader*>(kept.Blocks[i]) - 1)->Length;
      if (l < length || l > 2 * length || (best < kept.Count && l >= bestLength)) continue;
      best = i;
      bestLength = l;
      if (l == length) break;
    }
    if (best < kept.Count) {
      found = kept.Blocks[best];
      std::memmove(kept.Blocks + best, kept.Blocks + best + 1, (kept.Count - best - 1) * sizeof(void*));
      --kept.Count;
      kept.Bytes -= bestLength;
    }
  }
  if (found && Clear) std::memset(found, 0, Size);
  return found;
}

// Keeps a released mapping for reuse, making room by unmapping the oldest;
// a mapping larger than KeptLargest is unmapped at once.
void KeepBlock(void* Data) {
  const size_t length = (static_cast<TBlockHeader*>(Data) - 1)->Length;
  void* evicted[KeptCount];
  size_t evictedCount = 0;
  if (length > KeptLimit() || length > KeptLargest) {
    evicted[evictedCount++] = Data;
  } else {
    TKeptMappings& kept = Kept();
    std::lock_guard<std::mutex> guard(kept.Lock);
    size_t drop = 0;
    while (drop < kept.Count && (kept.Bytes + length > KeptLimit() || kept.Count - drop == KeptCount)) {
      kept.Bytes -= (static_cast<TBlockHeader*>(kept.Blocks[drop]) - 1)->Length;
      evicted[evictedCount++] = kept.Blocks[drop++];
    }
    std::memmove(kept.Blocks, kept.Blocks + drop, (kept.Count - drop) * sizeof(void*));
    kept.Count -= drop;
    kept.Blocks[kept.Count++] = Data;
    kept.Bytes += length;
  }
  for (size_t i = 0; i < evictedCount; ++i) UnmapBlock(evicted[i]);
}

// A block with one ordinary page in front for the header, zero-filled when
// Clear says so (a fresh mapping always is); a large one starts at a 2 MiB
// boundary and is marked for huge pages. Null when the system refuses the
// mapping.
void* MapBlock(size_t Size, bool Clear) {
  if (void* reused = ReuseBlock(Size, Clear)) return reused;
  const size_t page = PageSize();
  const size_t body = BodySize(Size);
  const bool huge = Size >= HugeFrom;
  const size_t reserve = page + body + (huge ? HugePageSize : 0);
  void* base = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(base);
  uintptr_t data = start + page;
  if (huge) {
    data = (start + page + HugePageSize - 1) & ~uintptr_t(HugePageSize - 1);
    const uintptr_t keep = data - page;
    // The unused head and tail of the reservation go back at once.
    if (keep > start) ::munmap(base, keep - start);
    const uintptr_t end = data + body, reserveEnd = start + reserve;
    if (reserveEnd > end) ::munmap(reinterpret_cast<void*>(end), reserveEnd - end);
    ::madvise(reinterpret_cast<void*>(data), body, MADV_HUGEPAGE);
  }
  auto* header = reinterpret_cast<TBlockHeader*>(data) - 1;
  header->Tag = MappedTag;
  header->Length = page + body;
  return reinterpret_cast<void*>(data);
}

}  // namespace
#endif

namespace {

void* NewBlock(int64_t Size, bool Clear) {
  if (Size < 0 || Size > 0x7FFFFFFF)
    RaiseImagingError("Cannot allocate %d bytes: the size does not fit an image.", (long long)Size);
#ifdef VORELLE_PLAIN_HEAP
  void* p = Clear ? std::calloc(size_t(Size == 0 ? 1 : Size), 1) : std::malloc(size_t(Size == 0 ? 1 : Size));
#else
  void* p = nullptr;
  if (size_t(Size) >= MappedFrom) p = MapBlock(size_t(Size), Clear);
  if (!p) {
    const size_t bytes = sizeof(TBlockHeader) + size_t(Size);
    auto* header = static_cast<TBlockHeader*>(Clear ? std::calloc(bytes, 1) : std::malloc(bytes));
    if (header) {
      header->Tag = HeapTag;
      p = header + 1;
    }
  }
#endif
  if (!p) RaiseImagingError("Out of memory: cannot allocate %d bytes.", (long long)Size);
  return p;
}

}  // namespace

void* AllocMem(int64_t Size) { return NewBlock(Size, true); }

void* AllocMemUncleared(int64_t Size) { return NewBlock(Size, false); }

void FreeMem(void* Memory) {
#ifdef VORELLE_PLAIN_HEAP
  std::free(Memory);
#else
  if (!Memory) return;
  auto* header = static_cast<TBlockHeader*>(Memory) - 1;
  if (header->Tag == MappedTag) {
    KeepBlock(Memory);
    return;
  }
  IMAGING_ASSERT(header->Tag == HeapTag);
  header->Tag = 0;
  std::free(header);
#endif
}

void TrimMemory() {
#ifndef VORELLE_PLAIN_HEAP
  void* blocks[KeptCount];
  size_t count;
  {
    TKeptMappings& kept = Kept();
    std::lock_guard<std::mutex> guard(kept.Lock);
    count = kept.Count;
    std::memcpy(blocks, kept.Blocks, count * sizeof(void*));
    kept.Count = 0;
    kept.Bytes = 0;
  }
  for (size_t i = 0; i < count; ++i) UnmapBlock(blocks[i]);
#endif
}

namespace {

std::string GroupThousands(int64_t Value) {
  bool negative = Value < 0;
  uint64_t v = negative ? uint64_t(0) - uint64_t(Value) : uint64_t(Value);
  std::string digits = std::to_string(v);
  std::string out;
  int count = 0;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (count && count % 3 == 0) out.push_back(',');
    out.push_back(*it);
    ++count;
  }
  if (negative) out.push_back('-');
  return std::string(out.rbegin(), out.rend());
}

int64_t ArgAsInt(const TFormatArg& Arg) {
  if (auto* i = std::get_if<int64_t>(&Arg.Value)) return *i;
  if (auto* d = std::get_if<double>(&Arg.Value)) return int64_t(std::llrint(*d));
  if (auto* p = std::get_if<const void*>(&Arg.Value)) return int64_t(reinterpret_cast<uintptr_t>(*p));
  return 0;
}

std::string ArgAsText(const TFormatArg& Arg) {
  if (auto* s = std::get_if<std::string>(&Arg.Value)) return *s;
  if (auto* i = std::get_if<int64_t>(&Arg.Value)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&Arg.Value)) return std::to_string(*d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(std::get<const void*>(Arg.Value)));
  return buf;
}

}  // namespace

std::string FormatText(const char* Pattern, std::initializer_list<TFormatArg> Args) {
  std::string out;
  auto arg = Args.begin();
  auto next = [&]() -> const TFormatArg* { return arg != Args.end() ? &*arg++ : nullptr; };
  for (const char* p = Pattern; *p; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out.push_back('%');
      continue;
    }
    // Precision (only "%.0n" is used, but skip any flags or width).
    while (*p && std::strchr("-+ #0123456789.", *p)) ++p;
    if (!*p) {
      out.append(start);
      break;
    }
    const TFormatArg* a = next();
    char buf[64];
    switch (*p) {
      case 's':
        if (a) out += ArgAsText(*a);
        break;
      case 'd':
        if (a) out += std::to_string(ArgAsInt(*a));
        break;
      case 'u':
        if (a) out += std::to_string(uint64_t(ArgAsInt(*a)));
        break;
      case 'x':
      case 'X':
        if (a) {
          std::snprintf(buf, sizeof buf, *p == 'x' ? "%" PRIx64 : "%" PRIX64, uint64_t(ArgAsInt(*a)));
          out += buf;
        }
        break;
      case 'p':
        if (a) {
          std::snprintf(buf, sizeof buf, "%016" PRIX64, uint64_t(ArgAsInt(*a)));
          out += buf;
        }
        break;
      case 'n':
        if (a) out += GroupThousands(ArgAsInt(*a));
        break;
      default:
        out.append(start, size_t(p - start + 1));
        break;
    }
  }
  return out;
}

std::string CurrentExceptionMessage() {
  std::exception_ptr current = std::current_exception();
  if (!current) return {};
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void RaiseImagingErrorText(const std::string& Message) {
  if (std::current_exception()) throw EImagingError(Message + " Exception Message: " + CurrentExceptionMessage());
  throw EImagingError(Message);
}

// The core never changes the floating-point rounding mode, so the C library's
// rint functions round to nearest with ties to even.
int32_t RoundToInt(double Value) { return int32_t(std::lrint(Value)); }
int32_t RoundToInt(long double Value) { return int32_t(std::lrintl(Value)); }
int32_t RoundToInt(float Value) { return int32_t(std::lrintf(Value)); }

namespace {
thread_local const std::atomic<bool>* ThreadCancelFlag = nullptr;
}  // namespace

void SetCancelFlag(const std::atomic<bool>* Flag) { ThreadCancelFlag = Flag; }
const std::atomic<bool>* CancelFlag() { return ThreadCancelFlag; }
bool CancelRequested() { return ThreadCancelFlag && ThreadCancelFlag->load(std::memory_order_relaxed); }
void PollCancel() {
  if (CancelRequested()) throw EImagingError("Operation cancelled");
}

}  // namespace Imaging
