// The settings file: typed values, keys created on open, type errors, the
// text form, atomic saves and damaged files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "Settings.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace Vorelle;

namespace {

std::string ReadText(const fs::path& Path) {
  std::vector<uint8_t> b = TestSupport::ReadFileBytes(Path);
  return std::string(b.begin(), b.end());
}

void WriteText(const fs::path& Path, const std::string& Text) {
  fs::create_directories(Path.parent_path());
  TestSupport::WriteFileBytes(Path, std::vector<uint8_t>(Text.begin(), Text.end()));
}

std::vector<std::string> FolderEntries(const fs::path& Folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const char* const Key = "Software\\Ostrevo\\Vorelle\\Options\\";

}  // namespace

TEST(SettingsPaths, FollowXdgConfigHome) {
  std::string oldXdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(UserSettingsPath(), "/tmp/cfg/vorelle/settings.conf");
  setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored
  EXPECT_EQ(UserSettingsPath(), "/home/someone/.config/vorelle/settings.conf");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserConfigFolder(), "/home/someone/.config");
  setenv("HOME", oldHome.c_str(), 1);
  if (!oldXdg.empty()) setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

TEST(SettingsFile, OpenCreatesTheKeyAtOnceAndKeepsTypes) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "cfg" / "vorelle" / "settings.conf";
  {
    TSettingsFile s(file.string());
    EXPECT_FALSE(s.OpenKey(Key, false));
    EXPECT_FALSE(fs::exists(file));
    ASSERT_TRUE(s.OpenKey(Key, true));
    // Created on open, before anything is written.
    EXPECT_EQ(ReadText(file),
              "# Vorelle settings of this user. One [key] section per settings key; each\n"
              "# value is name=type:value, type \"str\" (text) or \"int\" (32-bit integer).\n"
              "\n[Software\\Ostrevo\\Vorelle\\Options]\n");
    s.WriteString("Language", "de-DE");
    s.WriteInteger("Number", -2147483647 - 1);
    s.WriteBool("Flag", true);
    s.WriteString("Text", " two\\lines\nand\ttab = x\x01 ");
    s.WriteString("Odd=Name[#", "v");
    s.CloseKey();
  }
  EXPECT_EQ(ReadText(file),
            "# Vorelle settings of this user. One [key] section per settings key; each\n"
            "# value is name=type:value, type \"str\" (text) or \"int\" (32-bit integer).\n"
            "\n[Software\\Ostrevo\\Vorelle\\Options]\n"
            "Language=str:de-DE\n"
            "Number=int:-2147483648\n"
            "Flag=int:1\n"
            "Text=str: two\\\\lines\\nand\\ttab = x\\x01 \n"
            "Odd\\x3DName\\x5B\\x23=str:v\n");
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey("Software\\Ostrevo\\Vorelle\\Options", false));  // same key without the last "\"
  EXPECT_EQ(s.ReadString("Language"), "de-DE");
  EXPECT_EQ(s.ReadString("language"), "de-DE");  // names ignore case
  EXPECT_EQ(s.ReadInteger("Number"), -2147483647 - 1);
  EXPECT_TRUE(s.ReadBool("Flag"));
  EXPECT_EQ(s.ReadString("Text"), " two\\lines\nand\ttab = x\x01 ");
  EXPECT_EQ(s.ReadString("Odd=Name[#"), "v");
  EXPECT_EQ(s.GetDataType("Number"), TRegDataType::rdInteger);
  EXPECT_EQ(s.GetDataType("Text"), TRegDataType::rdString);
  EXPECT_EQ(s.GetDataType("Missing"), TRegDataType::rdUnknown);
  EXPECT_FALSE(s.ValueExists("Missing"));
}

TEST(SettingsFile, TypeMismatchRaisesTheRegistryMessage) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "settings.conf";
  WriteText(file, "[Software\\Ostrevo\\Vorelle\\Options]\nShowHints=str:yes\nLanguage=int:7\n");
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey(Key, true));
  try {
    s.ReadBool("ShowHints");
    FAIL() << "no exception";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'ShowHints'");
  }
  try {
    s.ReadString("Language");
    FAIL() << "no exception";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Language'");
  }
  EXPECT_THROW(s.ReadInteger("Absent"), ERegistryException);
}

TEST(SettingsFile, WritesKeepOtherKeysValuesAndChangesOfOthers) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "settings.conf";
  WriteText(file, "[Other\\Key]\nA=int:1\n[Software\\Ostrevo\\Vorelle\\Options]\nMainForm.Top=int:5\nX=str:old\n");
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey(Key, true));
  s.WriteString("x", "new");  // same value, other case: replaced, first spelling kept
  // Another program changes the file while the key is open.
  WriteText(file,
            "[Other\\Key]\nA=int:2\n[Software\\Ostrevo\\Vorelle\\Options]\nMainForm.Top=int:9\nX=str:old\n");
  s.CloseKey();
  EXPECT_EQ(ReadText(file).substr(ReadText(file).find("\n[") + 1),
            "[Other\\Key]\nA=int:2\n\n[Software\\Ostrevo\\Vorelle\\Options]\nMainForm.Top=int:9\nX=str:new\n");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"settings.conf"});
}

TEST(SettingsFile, ParserRejectsDamage) {
  for (const char* text : {"A=int:1\n", "[K]\nA=int:12x\n", "[K]\nA=int:99999999999\n", "[K]\nA=bool:1\n",
                           "[K]\nA\n", "[K\nA=int:1\n", "[K]\nA=str:bad\\q\n", "[K]\nA=str:\\x4\n", "[K]\n=int:1\n"})
    EXPECT_THROW(TSettingsFile::Parse(text), ERegistryException) << text;
  auto keys = TSettingsFile::Parse("# c\r\n; c\r\n[K]\r\nA=int:1\r\n[k]\r\nB=str:\r\n");
  ASSERT_EQ(keys.size(), 1u);  // a key given twice gathers its values
  ASSERT_EQ(keys[0].Values.size(), 2u);
  EXPECT_EQ(keys[0].Values[1].Text, "");
  try {
    TSettingsFile::Parse("[K]\nA=int:1\nB=int:x\n");
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "line 3: bad 32-bit integer \"x\"");
  }
}

TEST(SettingsFile, DamagedFileIsKeptAsideAndReported) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "settings.conf";
  const std::string damaged = "[Software\\Ostrevo\\Vorelle\\Options]\nLanguage=str:fr-FR\n\x7f\x45LF garbage\n";
  WriteText(file, damaged);
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey(Key, true));
  EXPECT_FALSE(s.ValueExists("Language"));  // defaults are used
  std::vector<std::string> problems = s.TakeProblems();
  ASSERT_EQ(problems.size(), 1u);
  std::vector<std::string> names = FolderEntries(dir.Path());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "settings.conf");
  ASSERT_EQ(names[1].rfind("settings.conf.damaged-", 0), 0u);
  EXPECT_EQ(ReadText(dir.Path() / names[1]), damaged);  // kept byte for byte
  EXPECT_EQ(problems[0], "The settings file \"" + file.string() + "\" is damaged (line 3: missing '='). It was kept as \"" +
                             (dir.Path() / names[1]).string() + "\" and default settings are used.");
  EXPECT_TRUE(s.TakeProblems().empty());
}

TEST(SettingsFile, FailedSaveKeepsTheEarlierFile) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "settings.conf";
  const std::string before = "[Software\\Ostrevo\\Vorelle\\Options]\nLanguage=str:fr-FR\n";
  WriteText(file, before);
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey(Key, true));
  s.WriteString("OutputDir", std::string(100000, 'x'));
  // A file size limit makes the write fail the way a full disk does.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  try {
    s.CloseKey();
  } catch (const ERegistryException& e) {
    raised = true;
    EXPECT_EQ(std::string(e.what()).rfind("Cannot write the settings file \"" + file.string() + "\": ", 0), 0u);
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(raised);
  EXPECT_EQ(ReadText(file), before);
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"settings.conf"});  // no temporary file left
}

TEST(SettingsFile, HostileTextNeverCrashesTheParser) {
  // Mutations of a valid file: each either parses and formats back to text
  // that parses to the same keys, or is refused with the store's error.
  const std::string valid =
      "[Software\\Ostrevo\\Vorelle\\Options]\nLanguage=str:de\\x41\\n\nShowHints=int:1\nFormat.png=int:-7\n[B]\nx=str:\n";
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = valid;
    for (int k = int(next() % 4); k >= 0; --k) {
      size_t at = next() % (text.size() + 1);
      switch (next() % 3) {
        case 0: text.insert(at, 1, char(next() >> 8)); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        default: if (at < text.size()) text[at] = "=[]\\:xn\n\r-9"[next() % 12];
      }
    }
    try {
      auto keys = TSettingsFile::Parse(text);
      auto again = TSettingsFile::Parse(TSettingsFile::Format(keys));
      ASSERT_EQ(again.size(), keys.size()) << text;
      for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(again[i].Name, keys[i].Name);
        ASSERT_EQ(again[i].Values.size(), keys[i].Values.size()) << text;
        for (size_t j = 0; j < keys[i].Values.size(); ++j) {
          EXPECT_EQ(again[i].Values[j].Name, keys[i].Values[j].Name);
          EXPECT_EQ(again[i].Values[j].Text, keys[i].Values[j].Text);
          EXPECT_EQ(again[i].Values[j].Integer, keys[i].Values[j].Integer);
        }
      }
      ++parsed;
    } catch (const ERegistryException&) {
    }
  }
  EXPECT_GT(parsed, 100);
}

// Only a file that does not exist is missing. A settings file that cannot be
// read (a folder or a FIFO in its place, no permission) gives the defaults,
// is reported, and nothing is saved over it; a FIFO never blocks.
TEST(SettingsFile, UnreadableFileIsReportedAndNeverReplaced) {
  struct Case {
    const char* Name;
    std::function<void(const fs::path&)> Make;
    std::string Reason;
  } cases[] = {
      {"folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }, "not a regular file"},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "not a regular file"},
      {"no permission",
       [](const fs::path& p) {
         WriteText(p, "[A]\nx=int:1\n");
         fs::permissions(p, fs::perms::none);
       },
       "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (std::string(c.Name) == "no permission" && ::geteuid() == 0) continue;  // root reads anyway
    TestSupport::TempDir dir;
    fs::path file = dir.Path() / "settings.conf";
    c.Make(file);
    auto before = fs::symlink_status(file).type();
    TSettingsFile s(file.string());
    EXPECT_FALSE(s.OpenKey(Key, true));
    std::vector<std::string> problems = s.TakeProblems();
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0], "The settings file \"" + file.string() + "\" cannot be read (" + c.Reason +
                               "); default settings are used and nothing will be saved.");
    EXPECT_FALSE(s.OpenKey("Other", true));
    EXPECT_EQ(fs::symlink_status(file).type(), before);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"settings.conf"});
  }
}

// Files above 1 MiB are damaged (kept aside, not read into memory); a UTF-8
// byte order mark is accepted.
TEST(SettingsFile, SizeLimitAndByteOrderMark) {
  TestSupport::TempDir dir;
  fs::path file = dir.Path() / "settings.conf";
  std::string big = "[A]\n" + std::string(TSettingsFile::MaxSettingsFileSize, '#') + "\n";
  WriteText(file, big);
  {
    TSettingsFile s(file.string());
    ASSERT_TRUE(s.OpenKey("A", true));
    std::vector<std::string> problems = s.TakeProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("is damaged (larger than 1 MiB). It was kept as"), std::string::npos) << problems[0];
  }
  EXPECT_EQ(FolderEntries(dir.Path()).size(), 2u);
  WriteText(file, "\xEF\xBB\xBF[Software\\Ostrevo\\Vorelle\\Options]\r\nLanguage=str:de-DE\r\n");
  TSettingsFile s(file.string());
  ASSERT_TRUE(s.OpenKey(Key, false));
  EXPECT_TRUE(s.TakeProblems().empty());
  EXPECT_EQ(s.ReadString("Language"), "de-DE");
}

// A settings file that is a symbolic link (to a dotfiles folder, say) stays a
// link; its target gets the new settings.
TEST(SettingsFile, LinkedFileIsSavedThroughTheLink) {
  TestSupport::TempDir dir;
  fs::path target = dir.Path() / "dotfiles" / "vorelle.conf";
  WriteText(target, "[Software\\Ostrevo\\Vorelle\\Options]\nLanguage=str:fr-FR\n");
  fs::path file = dir.Path() / "cfg" / "settings.conf";
  fs::create_directories(file.parent_path());
  fs::create_symlink("../dotfiles/vorelle.conf", file);
  {
    TSettingsFile s(file.string());
    ASSERT_TRUE(s.OpenKey(Key, false));
    EXPECT_EQ(s.ReadString("Language"), "fr-FR");
    s.WriteString("Language", "it-IT");
    s.CloseKey();
  }
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_NE(ReadText(target).find("\nLanguage=str:it-IT\n"), std::string::npos);
  EXPECT_EQ(FolderEntries(dir.Path() / "dotfiles"), std::vector<std::string>{"vorelle.conf"});
}

// Without HOME and XDG_CONFIG_HOME there is no settings file: defaults, a
// report, and saving is refused (never ./.config of the current folder).
TEST(SettingsFile, NoHomeMeansNoSettingsFile) {
  std::string oldXdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(UserConfigFolder(), "");
  EXPECT_EQ(UserSettingsPath(), "");
  setenv("HOME", "relative", 1);
  EXPECT_EQ(UserSettingsPath(), "");
  setenv("HOME", oldHome.c_str(), 1);
  if (!oldXdg.empty()) setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
  TSettingsFile s("");
  EXPECT_FALSE(s.OpenKey(Key, true));
  std::vector<std::string> problems = s.TakeProblems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "Neither HOME nor XDG_CONFIG_HOME names a folder for the settings; default settings are used "
                         "and nothing will be saved.");
}
