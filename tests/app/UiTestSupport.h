// The application object of the window tests (offscreen platform unless the
// environment names another, so the tests run without a display), and
// small helpers for the settings file the windows keep their values in.
#pragma once

#include <QApplication>
#include <QFile>
#include <QTest>
#include <cstdlib>
#include <string>

#include "Settings.h"

namespace UiTest {

// The application lives until the process ends: destroyed among the static
// objects at exit, it would tear its windows down after Qt's own statics.
inline QApplication& App() {
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "vorelle-ui-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// The folder the build lays the programs and their help book out in.
inline QString AppBuildDir() { return QStringLiteral(VORELLE_APP_BUILD_DIR); }

// One value of a settings file, read through a fresh store.
inline bool ReadInt(const std::string& File, const std::string& Name, int32_t& Value) {
  Vorelle::TSettingsFile settings(File);
  if (!settings.OpenKey("Software\\Ostrevo\\Vorelle\\Options\\", false) || !settings.ValueExists(Name)) return false;
  Value = settings.ReadInteger(Name);
  return true;
}

}  // namespace UiTest
