// Helpers of the window tests: the application object, catalogs from text.
#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryFile>

#include <memory>

#include "CatalogTestSupport.h"

// fontconfig, loaded by the window tests, keeps its configuration for the
// life of the process; the leak checker is told so.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

// The application of the window tests, created at first use (the tests run
// on the offscreen platform).
inline QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "vorelle-i18n-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Vorelle"));
    return a;
  }();
  return *app;
}

// A catalog file holding Text, alive as long as the returned object.
inline std::unique_ptr<QTemporaryFile> CatalogFile(const QByteArray& Text) {
  auto file = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/catalog-XXXXXX.i18n"));
  file->open();
  file->write(Text);
  file->close();
  return file;
}
