// The per-user settings store. Settings are kept as typed values (text or
// 32-bit integer; Booleans are the integers 0 and 1) under named keys, the
// way a registry keeps them. TRegistry is the interface the options store
// works against; TSettingsFile keeps every key of the user in one
// human-readable file that keeps the value types:
//
//   [Software\Ostrevo\Vorelle\Options]
//   Language=str:en-US
//   ShowHints=int:1
//
// Files are replaced atomically (a new file is written, flushed and renamed
// over the old one), so a crash or a full disk leaves the previous settings.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Vorelle {

// A failure of the settings store: a value of the wrong type, a value that
// is missing, a file that cannot be written.
class ERegistryException : public std::runtime_error {
public:
  explicit ERegistryException(const std::string& Message) : std::runtime_error(Message) {}
};

enum class TRegDataType { rdUnknown, rdString, rdInteger };

class TRegistry {
public:
  virtual ~TRegistry() = default;
  // Opens a key ("A\B\C", leading and trailing separators ignored); with
  // CanCreate a missing key is created at once. False when it cannot be had.
  virtual bool OpenKey(const std::string& Key, bool CanCreate) = 0;
  // Closes the open key, storing what was written to it; raises
  // ERegistryException when the store cannot be written.
  virtual void CloseKey() = 0;
  virtual bool ValueExists(const std::string& Name) = 0;
  virtual TRegDataType GetDataType(const std::string& Name) = 0;
  // Raise "Invalid data type for '%s'" when the value is missing or has
  // another type.
  virtual std::string ReadString(const std::string& Name) = 0;
  virtual int32_t ReadInteger(const std::string& Name) = 0;
  bool ReadBool(const std::string& Name) { return ReadInteger(Name) != 0; }
  virtual void WriteString(const std::string& Name, const std::string& Value) = 0;
  virtual void WriteInteger(const std::string& Name, int32_t Value) = 0;
  void WriteBool(const std::string& Name, bool Value) { WriteInteger(Name, Value ? 1 : 0); }
  // Messages about the store itself (a damaged file that was put aside)
  // collected since the last call.
  virtual std::vector<std::string> TakeProblems() { return {}; }
};

// The folder of the user's configuration files: $XDG_CONFIG_HOME when it is
// an absolute path, else $HOME/.config; empty when neither names a folder
// (nothing is then read or saved).
std::string UserConfigFolder();
// The user's settings file: UserConfigFolder()/vorelle/settings.conf, or
// empty.
std::string UserSettingsPath();

class TSettingsFile : public TRegistry {
public:
  struct TValue {
    std::string Name;
    TRegDataType Type = TRegDataType::rdString;
    std::string Text;
    int32_t Integer = 0;
  };
  struct TKey {
    std::string Name;
    std::vector<TValue> Values;
  };

  explicit TSettingsFile(std::string FileName = UserSettingsPath());
  ~TSettingsFile() override;

  bool OpenKey(const std::string& Key, bool CanCreate) override;
  void CloseKey() override;
  bool ValueExists(const std::string& Name) override;
  TRegDataType GetDataType(const std::string& Name) override;
  std::string ReadString(const std::string& Name) override;
  int32_t ReadInteger(const std::string& Name) override;
  void WriteString(const std::string& Name, const std::string& Value) override;
  void WriteInteger(const std::string& Name, int32_t Value) override;
  std::vector<std::string> TakeProblems() override;

  const std::string& FileName() const { return FFileName; }

  // The text form of a set of keys, and its parser (which raises
  // ERegistryException naming the line of the first fault).
  static std::string Format(const std::vector<TKey>& Keys);
  static std::vector<TKey> Parse(const std::string& Text);

  // Larger files are damaged (moved aside like any other damaged file).
  static constexpr int64_t MaxSettingsFileSize = 1 << 20;

private:
  // Reads the file into FKeys; a damaged file is moved aside and reported.
  // Only a file that does not exist counts as missing: one that cannot be
  // read is reported and nothing is saved over it.
  void Load();
  void CannotRead(const std::string& Reason);
  // The file that is replaced on saving: the target of a symbolic link.
  std::string StoragePath() const;
  // Writes Keys to the file atomically; raises on failure.
  void Store(const std::vector<TKey>& Keys);
  TKey* FindKey(std::vector<TKey>& Keys, const std::string& Name);
  const TValue* FindValue(const std::string& Name);
  void SetValue(TKey& Key, const TValue& Value);

  std::string FFileName;
  std::vector<TKey> FKeys;
  std::string FOpenKey;  // normalized name of the open key, empty when none
  std::vector<TValue> FPending;
  std::vector<std::string> FProblems;
  bool FReadOnly = false;  // a damaged file could not be moved aside
};

}  // namespace Vorelle
