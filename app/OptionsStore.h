// The user's options: the output folder, the output formats and the
// end-of-run behaviour, read from and saved to the settings key
// "Software\Ostrevo\Vorelle\Options\".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Settings.h"

namespace Vorelle {

extern const char* const OptionsKey;

// One output format of the options: its extension (no dot) and its
// selection flag; the format is selected when the flag is exactly 1.
struct TFormatEntry {
  std::string Ext;
  int32_t Flag = 1;
  bool Selected() const { return Flag == 1; }
};
using TFormatList = std::vector<TFormatEntry>;

// The user's Desktop folder (freedesktop user dirs); the home folder when
// none can be determined.
std::string DesktopFolder();

// Receives a message about a setting that could not be used.
using TOptionsReport = std::function<void(const std::string&)>;
// A report that passes every distinct message on once per process.
TOptionsReport ReportOncePerProcess(TOptionsReport Report);

class TOptions {
public:
  // Reads the options key of Registry (creating the key), falling back to
  // the defaults value by value. A value of the wrong type is reported and
  // its default kept; the stored value is left as it is.
  explicit TOptions(TRegistry& Registry, std::string Desktop = DesktopFolder(), TOptionsReport Report = {});
  // Reads the user's settings file.
  static TOptions FromUserSettings(TOptionsReport Report = {});

  // Writes every option to the key (raises ERegistryException when the
  // store cannot be written; nothing is written when the key cannot be had).
  void Save(TRegistry& Registry) const;
  void SaveToUserSettings() const;

  const std::string& Language() const { return FLanguage; }
  void SetLanguage(const std::string& V) { FLanguage = V; }
  const std::string& AppStyle() const { return FAppStyle; }
  void SetAppStyle(const std::string& V) { FAppStyle = V; }
  const std::string& OutputDir() const { return FOutputDir; }
  void SetOutputDir(const std::string& V) {
    FOutputDir = V;
    FStoredOutputDir.clear();
    FOutputDirNotice.clear();
  }
  // When the stored output folder does not exist now (an unmounted drive),
  // OutputDir is the Desktop for this run, this tells where the files go
  // instead and why, and Save keeps the stored folder.
  const std::string& OutputDirNotice() const { return FOutputDirNotice; }
  // The stored output folder that is missing now (OutputDir stands in for
  // it), or empty.
  const std::string& StoredOutputDir() const { return FStoredOutputDir; }
  bool CreateLog() const { return FCreateLog; }
  void SetCreateLog(bool V) { FCreateLog = V; }
  bool LaunchLog() const { return FLaunchLog; }
  void SetLaunchLog(bool V) { FLaunchLog = V; }
  bool ShowHints() const { return FShowHints; }
  void SetShowHints(bool V) { FShowHints = V; }
  bool CloseAtEnd() const { return FCloseAtEnd; }
  void SetCloseAtEnd(bool V) { FCloseAtEnd = V; }
  bool OpenOutDir() const { return FOpenOutDir; }
  void SetOpenOutDir(bool V) { FOpenOutDir = V; }
  TFormatList& ImgFormats() { return FImgFormats; }
  const TFormatList& ImgFormats() const { return FImgFormats; }

private:
  std::string FLanguage = "en-US";
  std::string FAppStyle = "Windows";
  std::string FOutputDir;
  std::string FStoredOutputDir;  // the stored folder OutputDir stands in for
  std::string FOutputDirNotice;
  bool FCreateLog = true;
  bool FLaunchLog = false;
  bool FShowHints = true;
  bool FCloseAtEnd = false;
  bool FOpenOutDir = true;
  TFormatList FImgFormats;
};

}  // namespace Vorelle
