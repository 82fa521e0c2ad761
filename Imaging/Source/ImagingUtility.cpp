// Memory, message formatting, error raising and rounding shared by the whole
// imaging core.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "Imaging.h"

namespace Imaging {

void AssertionFailed(const char* Expression, const char* File, int Line) {
  const char* base = std::strrchr(File, '/');
  throw EAssertionFailed(std::string("Assertion failed: ") + Expression + " (" + (base ? base + 1 : File) + ", line " +
                         std::to_string(Line) + ")");
}

void* AllocMem(int64_t Size) {
  if (Size < 0 || Size > 0x7FFFFFFF)
    RaiseImagingError("Cannot allocate %d bytes: the size does not fit an image.", (long long)Size);
  void* p = std::calloc(size_t(Size == 0 ? 1 : Size), 1);
  if (!p) RaiseImagingError("Out of memory: cannot allocate %d bytes.", (long long)Size);
  return p;
}

void FreeMem(void* Memory) { std::free(Memory); }

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
