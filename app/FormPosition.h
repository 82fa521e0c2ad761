// Where the main window was left, and the help shown once on the very first
// start. Both keep their values in the options key of the settings store.
//
//   // when the main window is shown:
//   TFormPosition::Load(OptionsKey, *mainForm);
//   TFirstLaunch::OpenHelpOnFirstLaunch(OptionsKey);
//   // when it closes:
//   TFormPosition::Save(OptionsKey, *mainForm);
//
// Each operation also takes the store explicitly (tests pass their own); the
// short forms use the user's settings file. The values are named after the
// window's object name: "MainForm.Top", "MainForm.Left"; "FirstLaunch" = 0.
#pragma once

#include <QPoint>
#include <QRect>
#include <QVector>
#include <string>

#include "Settings.h"

class QWidget;

namespace Vorelle {

class TFormPosition {
public:
  TFormPosition() = delete;
  // Moves Form to the stored top and left (each only when stored). A
  // position that lies wholly off every screen is brought back onto the
  // nearest screen. A value of another type is ignored.
  static void Load(TRegistry& Registry, const std::string& RegKey, QWidget& Form);
  static void Load(const std::string& RegKey, QWidget& Form);
  // Stores Form's top and left edges (its frame, in screen pixels).
  static void Save(TRegistry& Registry, const std::string& RegKey, const QWidget& Form);
  static void Save(const std::string& RegKey, const QWidget& Form);

  // The top-left corner a window with Frame should move to so it can be
  // reached on one of Screens: Frame's own when it overlaps one of them,
  // else the nearest point of the nearest screen (the frame kept inside it
  // as far as it fits).
  static QPoint ReachablePosition(const QRect& Frame, const QVector<QRect>& Screens);
};

class TFirstLaunch {
public:
  TFirstLaunch() = delete;
  // On the first start (no "FirstLaunch" value under an existing key) opens
  // the program help and writes "FirstLaunch" = 0, also when the help could
  // not be opened. Nothing happens when the key does not exist.
  static void OpenHelpOnFirstLaunch(TRegistry& Registry, const std::string& RegKey);
  static void OpenHelpOnFirstLaunch(const std::string& RegKey);
};

}  // namespace Vorelle
