// The visual styles every window of the program can be drawn with.
//
//   TStyleManager::StyleNames();            // {"Fusion", "Fusion Dark", "Windows", ...}
//   TStyleManager::SetStyle("Fusion Dark"); // applied to every window at once
//   TStyleManager::ActiveStyleName();       // "Fusion Dark"
//
// The names are those of the toolkit's style factory plus the program's own
// dark style (Fusion with a dark palette). Setting a name that is not
// available raises EStyleNotFound with "Style '%s' not found" and leaves the
// current style in place.
#pragma once

#include <QStringList>
#include <stdexcept>
#include <string>

namespace Vorelle {

class EStyleNotFound : public std::runtime_error {
public:
  explicit EStyleNotFound(const std::string& Name) : std::runtime_error("Style '" + Name + "' not found") {}
};

class TStyleManager {
public:
  TStyleManager() = delete;
  // The name of the program's dark style.
  static const char* const DarkStyleName;
  // Every available style name, sorted.
  static QStringList StyleNames();
  // The name (as StyleNames spells it) of the style in use.
  static QString ActiveStyleName();
  // True when Name is an available style (case ignored).
  static bool IsStyleAvailable(const QString& Name);
  // Applies a style to the whole application; raises EStyleNotFound.
  static void SetStyle(const QString& Name);
};

}  // namespace Vorelle
