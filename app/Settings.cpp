#include "Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace Vorelle {

namespace {

const char* const FileHeader =
    "# Vorelle settings of this user. One [key] section per settings key; each\n"
    "# value is name=type:value, type \"str\" (text) or \"int\" (32-bit integer).\n";

char Lower(char C) { return C >= 'A' && C <= 'Z' ? char(C - 'A' + 'a') : C; }

bool SameName(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (Lower(A[i]) != Lower(B[i])) return false;
  return true;
}

// "\A\B\" and "A\B" name the same key.
std::string NormalizeKey(const std::string& Key) {
  size_t b = 0, e = Key.size();
  while (b < e && Key[b] == '\\') ++b;
  while (e > b && Key[e - 1] == '\\') --e;
  return Key.substr(b, e - b);
}

std::string InvalidType(const std::string& Name) { return "Invalid data type for '" + Name + "'"; }

void AppendHex(std::string& Out, unsigned char C) {
  static const char digits[] = "0123456789ABCDEF";
  Out += "\\x";
  Out += digits[C >> 4];
  Out += digits[C & 15];
}

std::string Escape(const std::string& S, bool IsName) {
  std::string out;
  for (char ch : S) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (ch == '\\')
      out += "\\\\";
    else if (ch == '\n')
      out += "\\n";
    else if (ch == '\r')
      out += "\\r";
    else if (ch == '\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7F || (IsName && (ch == '=' || ch == '[' || ch == '#' || ch == ';')))
      AppendHex(out, c);
    else
      out += ch;
  }
  return out;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

[[noreturn]] void ParseFault(size_t Line, const std::string& What) {
  throw ERegistryException("line " + std::to_string(Line) + ": " + What);
}

// Unescapes S[From, To); for a name, stops at the first unescaped '=' and
// sets Stop to its position.
std::string Unescape(const std::string& S, size_t From, size_t To, size_t Line, size_t* Stop) {
  std::string out;
  for (size_t i = From; i < To; ++i) {
    char ch = S[i];
    if (Stop && ch == '=') {
      *Stop = i;
      return out;
    }
    if (ch != '\\') {
      out += ch;
      continue;
    }
    if (++i >= To) ParseFault(Line, "escape at the end of the line");
    switch (S[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        int hi = i + 1 < To ? HexDigit(S[i + 1]) : -1;
        int lo = i + 2 < To ? HexDigit(S[i + 2]) : -1;
        if (hi < 0 || lo < 0) ParseFault(Line, "bad \\x escape");
        out += char(hi * 16 + lo);
        i += 2;
        break;
      }
      default: ParseFault(Line, std::string("unknown escape \\") + S[i]);
    }
  }
  if (Stop) *Stop = std::string::npos;
  return out;
}

std::string SystemError(int Code) { return std::strerror(Code); }

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

}  // namespace

std::string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  // Without a home folder there is no place of this user's own: the current
  // folder may belong to anyone.
  if (!home || home[0] != '/') return std::string();
  return std::string(home) + "/.config";
}

std::string UserSettingsPath() {
  std::string folder = UserConfigFolder();
  return folder.empty() ? std::string() : folder + "/vorelle/settings.conf";
}

TSettingsFile::TSettingsFile(std::string FileName) : FFileName(std::move(FileName)) {}

TSettingsFile::~TSettingsFile() {
  try {
    CloseKey();
  } catch (...) {
    // Nothing can be reported from here; the earlier file stays as it was.
  }
}

std::string TSettingsFile::Format(const std::vector<TKey>& Keys) {
  std::string out = FileHeader;
  for (const TKey& key : Keys) {
    out += "\n[" + key.Name + "]\n";
    for (const TValue& v : key.Values) {
      out += Escape(v.Name, true);
      if (v.Type == TRegDataType::rdInteger)
        out += "=int:" + std::to_string(v.Integer) + "\n";
      else
        out += "=str:" + Escape(v.Text, false) + "\n";
    }
  }
  return out;
}

std::vector<TSettingsFile::TKey> TSettingsFile::Parse(const std::string& Text) {
  std::vector<TKey> keys;
  size_t current = 0;
  size_t lineNo = 0;
  for (size_t pos = 0; pos < Text.size();) {
    size_t end = Text.find('\n', pos);
    if (end == std::string::npos) end = Text.size();
    ++lineNo;
    size_t lineEnd = end;
    if (lineEnd > pos && Text[lineEnd - 1] == '\r') --lineEnd;
    std::string line = Text.substr(pos, lineEnd - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') ParseFault(lineNo, "unclosed key name");
      std::string name = NormalizeKey(line.substr(1, line.size() - 2));
      if (name.empty()) ParseFault(lineNo, "empty key name");
      current = keys.size();
      for (size_t k = 0; k < keys.size(); ++k)
        if (SameName(keys[k].Name, name)) current = k;  // a key given twice gathers its values
      if (current == keys.size()) keys.push_back(TKey{name, {}});
      continue;
    }
    if (keys.empty()) ParseFault(lineNo, "value outside of a key");
    size_t eq = std::string::npos;
    TValue v;
    v.Name = Unescape(line, 0, line.size(), lineNo, &eq);
    if (eq == std::string::npos) ParseFault(lineNo, "missing '='");
    if (v.Name.empty()) ParseFault(lineNo, "empty value name");
    std::string rest = line.substr(eq + 1);
    if (rest.compare(0, 4, "str:") == 0) {
      v.Type = TRegDataType::rdString;
      v.Text = Unescape(rest, 4, rest.size(), lineNo, nullptr);
    } else if (rest.compare(0, 4, "int:") == 0) {
      v.Type = TRegDataType::rdInteger;
      std::string digits = rest.substr(4);
      char* stop = nullptr;
      errno = 0;
      long long n = digits.empty() ? 0 : std::strtoll(digits.c_str(), &stop, 10);
      if (digits.empty() || *stop != '\0' || errno != 0 || n < INT32_MIN || n > INT32_MAX || digits[0] == ' ')
        ParseFault(lineNo, "bad 32-bit integer \"" + digits + "\"");
      v.Integer = int32_t(n);
    } else {
      ParseFault(lineNo, "unknown value type");
    }
    TKey& key = keys[current];
    bool replaced = false;
    for (TValue& old : key.Values)
      if (SameName(old.Name, v.Name)) {
        old = v;
        replaced = true;
      }
    if (!replaced) key.Values.push_back(std::move(v));
  }
  return keys;
}

void TSettingsFile::Load() {
  FKeys.clear();
  if (FFileName.empty()) {
    if (!FReadOnly)
      FProblems.push_back("Neither HOME nor XDG_CONFIG_HOME names a folder for the settings; default settings are used "
                          "and nothing will be saved.");
    FReadOnly = true;
    return;
  }
  // Opened without blocking: a FIFO in place of the file must not hang the
  // program.
  int fd = ::open(FFileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;  // no file yet: no keys
    CannotRead(SystemError(errno));
    return;
  }
  std::string text;
  int failure = 0;
  bool tooLarge = false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    failure = errno;
  } else if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    CannotRead("not a regular file");
    return;
  } else if (st.st_size > MaxSettingsFileSize) {
    tooLarge = true;
  } else {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure = errno;
        break;
      }
      if (n == 0) break;
      text.append(buffer, size_t(n));
      if (text.size() > size_t(MaxSettingsFileSize)) {
        tooLarge = true;  // grew while being read
        break;
      }
    }
  }
  ::close(fd);
  if (failure) {
    CannotRead(SystemError(failure));
    return;
  }
  // A byte order mark of UTF-8 some editors put first.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  try {
    if (tooLarge) throw ERegistryException("larger than 1 MiB");
    FKeys = Parse(text);
  } catch (const ERegistryException& e) {
    FKeys.clear();
    // Keep the damaged file for the user to look at; never write over it.
    std::string aside = FFileName + ".damaged-" + Timestamp();
    std::error_code ec;
    for (int n = 1; fs::exists(fs::symlink_status(aside, ec)) && n < 1000; ++n)
      aside = FFileName + ".damaged-" + Timestamp() + "-" + std::to_string(n);
    if (std::rename(FFileName.c_str(), aside.c_str()) == 0) {
      FProblems.push_back("The settings file \"" + FFileName + "\" is damaged (" + e.what() + "). It was kept as \"" +
                          aside + "\" and default settings are used.");
    } else {
      FReadOnly = true;
      FProblems.push_back("The settings file \"" + FFileName + "\" is damaged (" + e.what() +
                          ") and could not be moved aside (" + SystemError(errno) +
                          "). Default settings are used and nothing will be saved.");
    }
  }
}

void TSettingsFile::CannotRead(const std::string& Reason) {
  // Anything but a missing file is the user's file that could not be read
  // now: it is left alone, whatever this run does.
  FReadOnly = true;
  FProblems.push_back("The settings file \"" + FFileName + "\" cannot be read (" + Reason +
                      "); default settings are used and nothing will be saved.");
}

std::string TSettingsFile::StoragePath() const {
  // A settings file that is a symbolic link stays one: its target is
  // replaced.
  fs::path target(FFileName);
  std::error_code ec;
  for (int depth = 0; depth < 40 && fs::is_symlink(target, ec); ++depth) {
    fs::path link = fs::read_symlink(target, ec);
    if (ec) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return target.string();
}

void TSettingsFile::Store(const std::vector<TKey>& Keys) {
  if (FReadOnly) {
    if (FFileName.empty())
      throw ERegistryException("Neither HOME nor XDG_CONFIG_HOME names a folder for the settings; not saved.");
    throw ERegistryException("The settings file \"" + FFileName + "\" is kept as it is; not saved.");
  }
  const std::string storage = StoragePath();
  fs::path target(storage);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  std::string tmpl = storage + ".new-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) throw ERegistryException("Cannot write the settings file \"" + FFileName + "\": " + SystemError(errno));
  std::string text = Format(Keys);
  const char* p = text.data();
  size_t left = text.size();
  int failure = 0;
  while (left > 0 && !failure) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failure = errno;
    } else {
      p += n;
      left -= size_t(n);
    }
  }
  if (!failure && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && std::rename(name.data(), storage.c_str()) != 0) failure = errno;
  if (failure) {
    ::unlink(name.data());
    throw ERegistryException("Cannot write the settings file \"" + FFileName + "\": " + SystemError(failure));
  }
  // Make the rename itself durable.
  std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

TSettingsFile::TKey* TSettingsFile::FindKey(std::vector<TKey>& Keys, const std::string& Name) {
  for (TKey& k : Keys)
    if (SameName(k.Name, Name)) return &k;
  return nullptr;
}

bool TSettingsFile::OpenKey(const std::string& Key, bool CanCreate) {
  CloseKey();
  std::string name = NormalizeKey(Key);
  if (name.empty() || name.find_first_of("[]\n\r") != std::string::npos) return false;
  Load();
  if (!FindKey(FKeys, name)) {
    if (!CanCreate || FReadOnly) return false;
    FKeys.push_back(TKey{name, {}});
    try {
      Store(FKeys);
    } catch (const ERegistryException&) {
      FKeys.pop_back();
      return false;
    }
  }
  FOpenKey = name;
  return true;
}

void TSettingsFile::CloseKey() {
  if (FOpenKey.empty()) return;
  std::string name = FOpenKey;
  FOpenKey.clear();
  if (FPending.empty()) return;
  std::vector<TValue> pending = std::move(FPending);
  FPending.clear();
  // Apply the writes to the file as it is now, so that values written by
  // another program since the key was opened are kept.
  Load();
  TKey* key = FindKey(FKeys, name);
  if (!key) {
    FKeys.push_back(TKey{name, {}});
    key = &FKeys.back();
  }
  for (const TValue& v : pending) SetValue(*key, v);
  Store(FKeys);
}

const TSettingsFile::TValue* TSettingsFile::FindValue(const std::string& Name) {
  if (FOpenKey.empty()) return nullptr;
  TKey* key = FindKey(FKeys, FOpenKey);
  if (!key) return nullptr;
  for (const TValue& v : key->Values)
    if (SameName(v.Name, Name)) return &v;
  return nullptr;
}

void TSettingsFile::SetValue(TKey& Key, const TValue& Value) {
  for (TValue& v : Key.Values)
    if (SameName(v.Name, Value.Name)) {
      std::string keepName = v.Name;
      v = Value;
      v.Name = keepName;
      return;
    }
  Key.Values.push_back(Value);
}

bool TSettingsFile::ValueExists(const std::string& Name) { return FindValue(Name) != nullptr; }

TRegDataType TSettingsFile::GetDataType(const std::string& Name) {
  const TValue* v = FindValue(Name);
  return v ? v->Type : TRegDataType::rdUnknown;
}

std::string TSettingsFile::ReadString(const std::string& Name) {
  const TValue* v = FindValue(Name);
  if (!v || v->Type != TRegDataType::rdString) throw ERegistryException(InvalidType(Name));
  return v->Text;
}

int32_t TSettingsFile::ReadInteger(const std::string& Name) {
  const TValue* v = FindValue(Name);
  if (!v || v->Type != TRegDataType::rdInteger) throw ERegistryException(InvalidType(Name));
  return v->Integer;
}

void TSettingsFile::WriteString(const std::string& Name, const std::string& Value) {
  if (FOpenKey.empty()) throw ERegistryException("No settings key is open for writing '" + Name + "'");
  TValue v{Name, TRegDataType::rdString, Value, 0};
  SetValue(*FindKey(FKeys, FOpenKey), v);
  FPending.push_back(std::move(v));
}

void TSettingsFile::WriteInteger(const std::string& Name, int32_t Value) {
  if (FOpenKey.empty()) throw ERegistryException("No settings key is open for writing '" + Name + "'");
  TValue v{Name, TRegDataType::rdInteger, std::string(), Value};
  SetValue(*FindKey(FKeys, FOpenKey), v);
  FPending.push_back(std::move(v));
}

std::vector<std::string> TSettingsFile::TakeProblems() {
  std::vector<std::string> result = std::move(FProblems);
  FProblems.clear();
  return result;
}

}  // namespace Vorelle
