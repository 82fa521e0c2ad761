#include "OptionsStore.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <QString>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include "OutputFormats.h"

namespace Vorelle {

const char* const OptionsKey = "Software\\Ostrevo\\Vorelle\\Options\\";

namespace {

bool IsBlank(const std::string& S) {
  for (char c : S)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

bool IsFolder(const std::string& Path) {
  struct stat st;
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/";
}

// Reads one value when it exists; a value of the wrong type is reported and
// the field keeps what it had.
template <typename TRead>
void ReadValue(TRegistry& Registry, const std::string& Name, const TOptionsReport& Report, TRead Read) {
  if (!Registry.ValueExists(Name)) return;
  try {
    Read();
  } catch (const ERegistryException& e) {
    if (Report) Report(e.what());
  }
}

}  // namespace

std::string DesktopFolder() {
  std::string desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
  return desktop.empty() ? HomeFolder() : desktop;
}

TOptionsReport ReportOncePerProcess(TOptionsReport Report) {
  static std::set<std::string> shown;
  return [Report = std::move(Report)](const std::string& Message) {
    if (shown.insert(Message).second && Report) Report(Message);
  };
}

TOptions::TOptions(TRegistry& Registry, std::string Desktop, TOptionsReport Report) {
  if (Desktop.empty()) Desktop = HomeFolder();
  FOutputDir = Desktop;
  std::vector<std::string> extensions;
  TImagingUtils::GetOutputFormatsExtensions(extensions);
  for (const std::string& ext : extensions) FImgFormats.push_back(TFormatEntry{ext, 1});

  bool opened = Registry.OpenKey(OptionsKey, true);
  if (Report)
    for (const std::string& problem : Registry.TakeProblems()) Report(problem);
  if (!opened) return;
  ReadValue(Registry, "Language", Report, [&] { FLanguage = Registry.ReadString("Language"); });
  ReadValue(Registry, "ShowHints", Report, [&] { FShowHints = Registry.ReadBool("ShowHints"); });
  ReadValue(Registry, "CloseAtEnd", Report, [&] { FCloseAtEnd = Registry.ReadBool("CloseAtEnd"); });
  ReadValue(Registry, "AppStyle", Report, [&] { FAppStyle = Registry.ReadString("AppStyle"); });
  ReadValue(Registry, "OutputDir", Report, [&] { FOutputDir = Registry.ReadString("OutputDir"); });
  if (IsBlank(FOutputDir)) {
    FOutputDir = Desktop;
  } else if (!IsFolder(FOutputDir) && FOutputDir != Desktop) {
    // (A missing Desktop stays the output folder: nothing better is known.)
    FStoredOutputDir = FOutputDir;
    FOutputDir = Desktop;
    FOutputDirNotice = "The output folder \"" + FStoredOutputDir + "\" does not exist now; the files are written to \"" +
                       Desktop + "\" instead.";
    if (Report) Report(FOutputDirNotice);
  }
  ReadValue(Registry, "CreateLog", Report, [&] { FCreateLog = Registry.ReadBool("CreateLog"); });
  ReadValue(Registry, "LaunchLog", Report, [&] { FLaunchLog = Registry.ReadBool("LaunchLog"); });
  ReadValue(Registry, "OpenOutDir", Report, [&] { FOpenOutDir = Registry.ReadBool("OpenOutDir"); });
  for (TFormatEntry& entry : FImgFormats) {
    std::string name = "Format." + entry.Ext;
    ReadValue(Registry, name, Report, [&] { entry.Flag = Registry.ReadInteger(name); });
  }
  Registry.CloseKey();
}

TOptions TOptions::FromUserSettings(TOptionsReport Report) {
  TSettingsFile settings;
  return TOptions(settings, DesktopFolder(), std::move(Report));
}

void TOptions::Save(TRegistry& Registry) const {
  if (!Registry.OpenKey(OptionsKey, true)) return;
  Registry.WriteString("Language", FLanguage);
  Registry.WriteString("AppStyle", FAppStyle);
  Registry.WriteBool("ShowHints", FShowHints);
  Registry.WriteBool("CreateLog", FCreateLog);
  Registry.WriteBool("LaunchLog", FLaunchLog);
  Registry.WriteBool("CloseAtEnd", FCloseAtEnd);
  Registry.WriteBool("OpenOutDir", FOpenOutDir);
  Registry.WriteString("OutputDir", FStoredOutputDir.empty() ? FOutputDir : FStoredOutputDir);
  for (const TFormatEntry& entry : FImgFormats) Registry.WriteInteger("Format." + entry.Ext, entry.Flag);
  Registry.CloseKey();
}

void TOptions::SaveToUserSettings() const {
  TSettingsFile settings;
  Save(settings);
}

}  // namespace Vorelle
