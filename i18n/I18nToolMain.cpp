// vorelle-i18n: catalog upkeep for translators.
//
//   vorelle-i18n export CATALOG LOCALE OUT.po
//   vorelle-i18n import CATALOG LOCALE IN.po
//   vorelle-i18n merge CATALOG SOURCE [--prefer-source] [--delete-domains] [--delete-definitions]
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <string>

#include "PoFile.h"
#include "TranslationCatalog.h"

using namespace I18n;

namespace {

int Usage() {
  std::fputs(
      "usage: vorelle-i18n export CATALOG LOCALE OUT.po\n"
      "       vorelle-i18n import CATALOG LOCALE IN.po\n"
      "       vorelle-i18n merge CATALOG SOURCE [--prefer-source] [--delete-domains] [--delete-definitions]\n",
      stderr);
  return 2;
}

QByteArray ReadAll(const QString& FileName) {
  QFile file(FileName);
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError("cannot open \"" + FileName.toStdString() + "\": " + file.errorString().toStdString());
  if (file.size() > MaxPODocumentSize) throw EPOFileError("\"" + FileName.toStdString() + "\" is too large");
  return file.readAll();
}

void WriteAll(const QString& FileName, const QByteArray& Data) {
  QSaveFile file(FileName);
  if (!file.open(QIODevice::WriteOnly) || file.write(Data) != Data.size() || !file.commit())
    throw EFileError("cannot write \"" + FileName.toStdString() + "\": " + file.errorString().toStdString());
}

const TCultureInfo* CultureOf(const QString& Locale) {
  const TCultureInfo* culture = TCultureTable::Find(Locale.toStdString());
  if (!culture) throw EI18nError("unknown language \"" + Locale.toStdString() + "\"");
  return culture;
}

int Run(QStringList Args) {
  if (Args.size() < 3) return Usage();
  // Paths are the user's, relative to the current folder (the catalog's
  // own relative paths would be taken below the program's folder).
  for (qsizetype i = 1; i < Args.size(); ++i)
    if (!(Args[0] != QLatin1String("merge") && i == 2) && !Args[i].startsWith(QLatin1String("--")))
      Args[i] = QFileInfo(Args[i]).absoluteFilePath();
  const QString& command = Args[0];
  if ((command == QLatin1String("export") || command == QLatin1String("import")) && Args.size() == 4) {
    TTranslationCatalog catalog;
    catalog.LoadFromFile(Args[1]);
    const TCultureInfo* culture = CultureOf(Args[2]);
    if (command == QLatin1String("export")) {
      WriteAll(Args[3], ExportPO(catalog, culture));
      return 0;
    }
    TPOImportResult r;
    try {
      r = ImportPO(catalog, culture, ReadAll(Args[3]));
    } catch (const EPOFileError& e) {
      throw EPOFileError(Args[3].toStdString() + ": " + e.what());
    }
    catalog.SaveToFile(Args[1]);
    std::fprintf(stderr, "vorelle-i18n: %d approved, %d not approved, %d removed, %d unknown entries skipped\n",
                 r.Approved, r.Fuzzy, r.Cleared, r.Unknown);
    return 0;
  }
  if (command == QLatin1String("merge")) {
    TMergeOptions options = 0;
    for (qsizetype i = 3; i < Args.size(); ++i) {
      if (Args[i] == QLatin1String("--prefer-source")) options |= moPreferSource;
      else if (Args[i] == QLatin1String("--delete-domains")) options |= moDeleteDomainsNotInSource;
      else if (Args[i] == QLatin1String("--delete-definitions")) options |= moDeleteDefinitionsNotInSource;
      else return Usage();
    }
    TTranslationCatalog catalog, source;
    if (QFile::exists(Args[1])) catalog.LoadFromFile(Args[1]);
    source.LoadFromFile(Args[2]);
    catalog.Merge(source, options);
    catalog.SaveToFile(Args[1]);
    return 0;
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  try {
    return Run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorelle-i18n: %s\n", e.what());
    return 1;
  }
}
