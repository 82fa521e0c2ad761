// X Pixmap reader and writer. The file is 8-bit text; only the parts of
// lines between their first and last double quote count. The values line
// gives width, height, colour count and characters per pixel; colour lines
// map keys to hexadecimal colours or colour names; pixel lines are rows of
// keys.
//
// Reading checks the declared sizes against the file before the image is
// allocated: the colour and pixel lines must be there, and the pixel keys
// must fit in the bytes of the file.
#include "ImagingXpm.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace Imaging {

namespace {

constexpr char Signature[] = "/* XPM */";
constexpr int32_t SignatureSize = 9;

// Characters of the keys written, base-92 digits, least significant first.
constexpr char KeyAlphabet[] =
    " .XoO+@#$%&*=-;:>,<1234567890qwertyuipasdfghjklzxcvbnmMNBVCZASDFGHJKLPIUYTREWQ!~^/()_`'][{}|";
constexpr int32_t KeyBase = 92;
static_assert(sizeof(KeyAlphabet) == KeyBase + 1, "the key alphabet has 92 characters");

struct TNamedColor {
  const char* Name;
  uint32_t Color;
};
const TNamedColor NamedColors[] = {
    {"transparent", 0x00000000}, {"none", 0x00000000},   {"black", 0xFF000000},     {"blue", 0xFF0000FF},
    {"green", 0xFF008000},       {"cyan", 0xFF00FFFF},   {"red", 0xFFFF0000},       {"magenta", 0xFFFF00FF},
    {"yellow", 0xFFFFFF00},      {"white", 0xFFFFFFFF},  {"gray", 0xFFC0C0C0},      {"dkblue", 0xFF000080},
    {"dkgreen", 0xFF008000},     {"dkcyan", 0xFF008080}, {"dkred", 0xFF800000},     {"dkmagenta", 0xFF800080},
    {"dkyellow", 0xFF808000},    {"maroon", 0xFF800000}, {"olive", 0xFF808000},     {"navy", 0xFF000080},
    {"purple", 0xFF800080},      {"teal", 0xFF008080},   {"silver", 0xFFC0C0C0},    {"lime", 0xFF00FF00},
    {"fuchsia", 0xFFFF00FF},     {"aqua", 0xFF00FFFF},
};

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

// Takes the next token off the front of Line (leading blanks skipped, the
// blanks after it left in place).
std::string NextToken(std::string& Line) {
  size_t start = 0;
  while (start < Line.size() && IsBlank(Line[start])) ++start;
  size_t end = start;
  while (end < Line.size() && !IsBlank(Line[end])) ++end;
  std::string token = Line.substr(start, end - start);
  Line.erase(0, end);
  return token;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Hexadecimal digits as a 32-bit number (at most eight digits).
bool ParseHex(const std::string& Digits, uint32_t& Value) {
  if (Digits.empty() || Digits.size() > 8) return false;
  Value = 0;
  for (char c : Digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    Value = Value << 4 | uint32_t(d);
  }
  return true;
}

// A colour after "#": up to eight hexadecimal digits taken as one number,
// or three channels of 12 or 16 bits (9 or 12 digits, as X11 tools write
// deep colours) scaled to 8 bits, truncating like every integer division
// of the core.
bool ParseColor(const std::string& Digits, uint32_t& Value) {
  if (Digits.size() != 9 && Digits.size() != 12) return ParseHex(Digits, Value);
  const size_t width = Digits.size() / 3;
  const uint32_t max = (1u << (4 * width)) - 1;
  Value = 0;
  for (size_t c = 0; c < 3; ++c) {
    uint32_t channel;
    if (!ParseHex(Digits.substr(c * width, width), channel)) return false;
    Value = Value << 8 | channel * 255 / max;
  }
  return true;
}

// An integer: optional sign, decimal digits, or hexadecimal digits after
// "$" or "0x".
bool ParseInteger(const std::string& Text, int64_t& Value) {
  size_t i = 0;
  bool negative = false;
  if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) negative = Text[i++] == '-';
  std::string digits = Text.substr(i);
  if (!digits.empty() && digits[0] == '$') {
    uint32_t v;
    if (!ParseHex(digits.substr(1), v)) return false;
    Value = int32_t(v);
  } else if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    uint32_t v;
    if (!ParseHex(digits.substr(2), v)) return false;
    Value = int32_t(v);
  } else {
    if (digits.empty() || digits.size() > 10) return false;
    Value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      Value = Value * 10 + (c - '0');
    }
    if (Value > INT32_MAX) return false;
  }
  if (negative) Value = -Value;
  return true;
}

// Lines of the text split at CR, LF or CR LF.
std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < Text.size()) {
    if (Text[i] == '\r' || Text[i] == '\n') {
      lines.push_back(Text.substr(start, i - start));
      if (Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < Text.size()) lines.push_back(Text.substr(start));
  return lines;
}

std::string Trim(const std::string& S) {
  size_t a = 0, b = S.size();
  while (a < b && uint8_t(S[a]) <= ' ') ++a;
  while (b > a && uint8_t(S[b - 1]) <= ' ') --b;
  return S.substr(a, b - a);
}

uint32_t ColorByName(std::string Name) {
  for (char& c : Name) c = char(std::tolower(uint8_t(c)));
  for (const TNamedColor& n : NamedColors)
    if (Name == n.Name) return n.Color;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// TSimpleBucketList
// ---------------------------------------------------------------------------

TSimpleBucketList::TSimpleBucketList() : FBuckets(BucketCount) {}

int32_t TSimpleBucketList::BucketOf(uint32_t AKey) {
  const uint32_t b0 = AKey & 0xFF, b1 = (AKey >> 8) & 0xFF, b2 = (AKey >> 16) & 0xFF, b3 = AKey >> 24;
  return int32_t((b3 + 11 * b0 + 59 * b2 + 119 * b1) % BucketCount);
}

TSimpleBucketList::TBucketItem* TSimpleBucketList::Find(uint32_t AKey) {
  auto it = FIndex.find(AKey);
  return it == FIndex.end() ? nullptr : &FBuckets[size_t(BucketOf(AKey))].Items[size_t(it->second)];
}

const TSimpleBucketList::TBucketItem* TSimpleBucketList::Find(uint32_t AKey) const {
  auto it = FIndex.find(AKey);
  return it == FIndex.end() ? nullptr : &FBuckets[size_t(BucketOf(AKey))].Items[size_t(it->second)];
}

void TSimpleBucketList::Add(uint32_t AKey, const std::string& AData) {
  if (FIndex.count(AKey)) return;
  TBucket& bucket = FBuckets[size_t(BucketOf(AKey))];
  const size_t capacity = bucket.Items.size();
  if (size_t(bucket.Count) == capacity) bucket.Items.resize(capacity <= 64 ? capacity + 16 : capacity + capacity / 4);
  bucket.Items[size_t(bucket.Count)] = TBucketItem{AKey, AData.substr(0, MaxDataLength)};
  FIndex.emplace(AKey, bucket.Count);
  ++bucket.Count;
  ++FItemCount;
}

bool TSimpleBucketList::Exists(uint32_t AKey) const { return FIndex.count(AKey) != 0; }

std::string TSimpleBucketList::GetData(uint32_t AKey) const {
  const TBucketItem* item = Find(AKey);
  return item ? item->Data : std::string();
}

void TSimpleBucketList::SetData(uint32_t AKey, const std::string& AData) {
  if (TBucketItem* item = Find(AKey)) item->Data = AData.substr(0, MaxDataLength);
}

uint32_t TSimpleBucketList::EnumNext(std::string& AData) {
  IMAGING_ASSERT(FItemCount > 0);
  while (FAIndex >= FBuckets[size_t(FABucket)].Count) {
    FABucket = (FABucket + 1) % BucketCount;
    FAIndex = 0;
  }
  const TBucketItem& item = FBuckets[size_t(FABucket)].Items[size_t(FAIndex)];
  ++FAIndex;
  AData = item.Data;
  return item.Key;
}

// ---------------------------------------------------------------------------
// Handler
// ---------------------------------------------------------------------------

TXPMFileFormat::TXPMFileFormat() {
  FName = "X Window Pixmap";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = {fmtA8R8G8B8};
  SetMaskList("*.xpm");
}

bool TXPMFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions IO = CurrentIOTable();
  char b[SignatureSize];
  int32_t got = IO.Read(Handle, b, SignatureSize);
  if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
  return got == SignatureSize && std::memcmp(b, Signature, SignatureSize) == 0;
}

bool TXPMFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions IO = CurrentIOTable();
  const int64_t size = std::max<int64_t>(0, int64_t(MeasureHandleSize(IO, Handle)) - IO.Tell(Handle));
  std::string text(size_t(size), '\0');
  if (size > 0 && IO.Read(Handle, text.data(), int32_t(size)) != size) RaiseImagingError("X Pixmap file is truncated.");

  // Only quoted text counts: lines without a double quote go, the others
  // keep what lies between their first and last one.
  std::vector<std::string> lines;
  for (std::string& line : SplitLines(text)) {
    const size_t first = line.find('"');
    if (first == std::string::npos) continue;
    const size_t last = line.rfind('"');
    lines.push_back(last > first ? line.substr(first + 1, last - first - 1) : std::string());
  }
  text.clear();
  text.shrink_to_fit();
  if (lines.empty()) RaiseImagingError("X Pixmap file has no values line.");

  std::string values = lines[0];
  int64_t numbers[4];
  for (int64_t& n : numbers)
    if (!ParseInteger(NextToken(values), n)) return false;
  const int64_t width = numbers[0], height = numbers[1], colors = numbers[2], cpp = numbers[3];
  if (width < 1 || height < 1) RaiseImagingError("Invalid X Pixmap dimensions %d x %d.", width, height);
  if (colors < 0) RaiseImagingError("Invalid X Pixmap colour count %d.", colors);
  if (cpp < 1) RaiseImagingError("Invalid X Pixmap characters per pixel %d.", cpp);
  if (cpp <= 4 && colors > (int64_t(1) << (8 * cpp)))
    RaiseImagingError("X Pixmap declares %d colours, more than keys of %d characters can tell apart.", colors, cpp);
  const int64_t available = int64_t(lines.size()) - 1;
  if (colors + height > available)
    RaiseImagingError("X Pixmap declares %d colour and %d pixel lines; the file has %d.", colors, height, available);
  if (width * cpp > size || width * cpp * height > size)
    RaiseImagingError("X Pixmap of %d x %d pixels with %d characters per pixel is larger than its file.", width,
                      height, cpp);

  Images.resize(1);
  TImageData& image = Images[0];
  if (!CreateImage(int32_t(width), int32_t(height), fmtA8R8G8B8, image))
    RaiseImagingError("Cannot create a %d x %d X Pixmap image.", width, height);

  // Colour table; the first line of a key defines it.
  std::map<std::string, uint32_t> table;
  const size_t keyLength = size_t(cpp);
  for (int64_t i = 1; i <= colors; ++i) {
    std::string line = lines[size_t(i)];
    if (line.size() < keyLength)
      RaiseImagingError("X Pixmap colour line %d is shorter than its key of %d characters.", i, cpp);
    std::string key = line.substr(0, keyLength);
    line.erase(0, keyLength);
    NextToken(line);  // context: c, m, g4, g or s
    const std::string value = NextToken(line);
    if (value.empty()) RaiseImagingError("X Pixmap colour line %d has no colour value.", i);
    uint32_t color;
    if (value[0] == '#') {
      if (!ParseColor(Trim(value.substr(1)), color))
        RaiseImagingError("X Pixmap colour line %d has an invalid colour \"%s\".", i, value);
      color |= 0xFF000000u;
    } else {
      color = ColorByName(value);
    }
    table.emplace(std::move(key), color);
  }

  // Pixel rows; unknown or cut keys give transparent black. Keys of one and
  // two characters are looked up in direct tables.
  auto* pixels = static_cast<uint32_t*>(image.Bits);
  std::vector<uint32_t> direct;
  std::vector<uint8_t> known;
  if (cpp <= 2) {
    direct.assign(size_t(1) << (8 * cpp), 0);
    for (const auto& [key, color] : table) {
      size_t index = uint8_t(key[0]);
      if (cpp == 2) index = index << 8 | uint8_t(key[1]);
      direct[index] = color;
    }
  }
  std::string key(keyLength, '\0');
  for (int64_t y = 0; y < height; ++y) {
    const std::string& line = lines[size_t(1 + colors + y)];
    uint32_t* row = pixels + y * width;
    const int64_t whole = std::min<int64_t>(width, int64_t(line.size()) / cpp);
    const auto* chars = reinterpret_cast<const uint8_t*>(line.data());
    if (cpp == 1) {
      for (int64_t x = 0; x < whole; ++x) row[x] = direct[chars[x]];
    } else if (cpp == 2) {
      for (int64_t x = 0; x < whole; ++x) row[x] = direct[size_t(chars[x * 2]) << 8 | chars[x * 2 + 1]];
    } else {
      for (int64_t x = 0; x < whole; ++x) {
        key.assign(line, size_t(x * cpp), keyLength);
        auto it = table.find(key);
        row[x] = it == table.end() ? 0 : it->second;
      }
    }
    // A key cut short by the end of the line matches no full key.
    for (int64_t x = whole; x < width; ++x) row[x] = 0;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

void TXPMFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo&) {
  ChangeImageFormat(Image, fmtA8R8G8B8);
}

bool TXPMFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;
  const auto* pixels = static_cast<const uint32_t*>(image.Bits);
  const int64_t count = int64_t(image.Width) * image.Height;

  TSimpleBucketList colors;
  uint32_t last = 0;
  for (int64_t i = 0; i < count; ++i) {
    if (i > 0 && pixels[i] == last) continue;
    last = pixels[i];
    colors.Add(last, std::string());
  }
  const int32_t n = colors.ItemCount();
  int32_t keyLength = 1;
  for (int64_t limit = KeyBase; limit < n; limit *= KeyBase) ++keyLength;

  // Keys in enumeration order: the base-92 digits of the ordinal.
  std::unordered_map<uint32_t, int32_t> ordinal;
  ordinal.reserve(size_t(n));
  std::string keys(size_t(n) * keyLength, ' ');
  std::vector<uint32_t> ordered(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    std::string unused;
    ordered[size_t(i)] = colors.EnumNext(unused);
    ordinal.emplace(ordered[size_t(i)], i);
    int64_t rest = i;
    for (int32_t j = 0; j < keyLength; ++j, rest /= KeyBase) keys[size_t(i) * keyLength + j] = KeyAlphabet[rest % KeyBase];
  }

  // The text goes out in pieces of about a megabyte.
  TIOFunctions IO = CurrentIOTable();
  constexpr size_t Piece = size_t(1) << 20;
  std::string out;
  out.reserve(Piece + size_t(image.Width) * size_t(keyLength) + 64);
  bool written = true;
  auto flush = [&] {
    if (written && !out.empty()) written = IO.Write(Handle, out.data(), int32_t(out.size())) == int32_t(out.size());
    out.clear();
  };
  auto line = [&](const std::string& Text) {
    out += Text;
    out += "\r\n";
  };
  line("/* XPM */");
  line("static char *graphic[] = {");
  line("/* width height num_colors chars_per_pixel */");
  line(FormatText("\"%d %d %d %d\", ", {image.Width, image.Height, n, keyLength}));
  line("/* colors */");
  char buffer[64];
  for (int32_t i = 0; i < n; ++i) {
    const std::string key = keys.substr(size_t(i) * keyLength, size_t(keyLength));
    const TColor32Rec c = Color32(ordered[size_t(i)]);
    if (c.A >= 128)
      std::snprintf(buffer, sizeof buffer, " c #%.2x%.2x%.2x\",", c.R, c.G, c.B);
    else
      std::snprintf(buffer, sizeof buffer, " c None\",");
    line("\"" + key + buffer);
    if (out.size() >= Piece) flush();
  }
  line("/* pixels */");
  int32_t lastOrdinal = 0;
  last = 0;
  for (int32_t y = 0; y < image.Height; ++y) {
    out += '"';
    const uint32_t* row = pixels + int64_t(y) * image.Width;
    for (int32_t x = 0; x < image.Width; ++x) {
      if ((x == 0 && y == 0) || row[x] != last) {
        last = row[x];
        lastOrdinal = ordinal.find(last)->second;
      }
      out.append(keys, size_t(lastOrdinal) * keyLength, size_t(keyLength));
    }
    out += y + 1 < image.Height ? "\",\r\n" : "\"\r\n";
    if (out.size() >= Piece) flush();
  }
  line("};");
  flush();
  return written;
}

}  // namespace Imaging
