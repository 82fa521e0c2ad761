// Memory, message formatting, error raising and rounding shared by the whole
// imaging core.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
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

// Large pixel buffers get a mapping of their own, 2 MiB-aligned and marked
// for transparent huge pages: a fresh 36 MB image then costs a few dozen
// page faults instead of thousands, and its memory goes back to the system
// when it is released. Smaller blocks come from the C heap. Every block
// carries a header in front of it that tells FreeMem which kind it is.
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
constexpr size_t MappedFrom = size_t(1) << 20;  // blocks from 1 MiB on are mapped
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

// A zero-filled block at a 2 MiB boundary, with one ordinary page in front
// for the header. Null when the system refuses the mapping.
void* MapBlock(size_t Size) {
  const size_t page = PageSize();
  const size_t body = (Size + HugePageSize - 1) & ~(HugePageSize - 1);
  const size_t reserve = page + body + HugePageSize;
  void* base = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(base);
  const uintptr_t data = (start + page + HugePageSize - 1) & ~uintptr_t(HugePageSize - 1);
  const uintptr_t keep = data - page;
  // The unused head and tail of the reservation go back at once.
  if (keep > start) ::munmap(base, keep - start);
  const uintptr_t end = data + body, reserveEnd = start + reserve;
  if (reserveEnd > end) ::munmap(reinterpret_cast<void*>(end), reserveEnd - end);
  ::madvise(reinterpret_cast<void*>(data), body, MADV_HUGEPAGE);
  auto* header = reinterpret_cast<TBlockHeader*>(data) - 1;
  header->Tag = MappedTag;
  header->Length = page + body;
  return reinterpret_cast<void*>(data);
}

}  // namespace
#endif

void* AllocMem(int64_t Size) {
  if (Size < 0 || Size > 0x7FFFFFFF)
    RaiseImagingError("Cannot allocate %d bytes: the size does not fit an image.", (long long)Size);
#ifdef VORELLE_PLAIN_HEAP
  void* p = std::calloc(size_t(Size == 0 ? 1 : Size), 1);
#else
  void* p = nullptr;
  if (size_t(Size) >= MappedFrom) p = MapBlock(size_t(Size));
  if (!p) {
    auto* header = static_cast<TBlockHeader*>(std::calloc(sizeof(TBlockHeader) + size_t(Size), 1));
    if (header) {
      header->Tag = HeapTag;
      p = header + 1;
    }
  }
#endif
  if (!p) RaiseImagingError("Out of memory: cannot allocate %d bytes.", (long long)Size);
  return p;
}

void FreeMem(void* Memory) {
#ifdef VORELLE_PLAIN_HEAP
  std::free(Memory);
#else
  if (!Memory) return;
  auto* header = static_cast<TBlockHeader*>(Memory) - 1;
  if (header->Tag == MappedTag) {
    const size_t length = header->Length;
    ::munmap(reinterpret_cast<uint8_t*>(Memory) - PageSize(), length);
    return;
  }
  IMAGING_ASSERT(header->Tag == HeapTag);
  header->Tag = 0;
  std::free(header);
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
