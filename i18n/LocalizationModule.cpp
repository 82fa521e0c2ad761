#include "LocalizationModule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace I18n {

namespace {
TLocalizationModule* TheInstance = nullptr;
}

TLocalizationModule::TLocalizationModule(QObject* Parent, const QString& CatalogFile) : QObject(Parent) {
  setObjectName(QStringLiteral("LocalizationModule"));
  if (!TheInstance) TheInstance = this;
  fLocalizer = new TLocalizer(this, DefaultLocalizerOptions | loAutoSetectLanguage);
  fLocalizer->setObjectName(QStringLiteral("Localizer"));
  fMsgDialog = new TMessageDialog(this);
  fMsgDialog->setObjectName(QStringLiteral("MsgDialog"));
  fTranslator = new TTranslator(this, fLocalizer);
  fTranslator->setObjectName(QStringLiteral("Translator"));
  // The user's language first; the catalog, when there is one, then keeps
  // that language or its nearest region.
  fLocalizer->BeginLoading();
  fLocalizer->EndLoading();
  fTranslator->Start();
  const QString file = CatalogFile.isEmpty() ? DefaultCatalogFile() : CatalogFile;
  if (QFileInfo::exists(file)) fLocalizer->SetURI(file);
}

TLocalizationModule::~TLocalizationModule() {
  if (TheInstance == this) TheInstance = nullptr;
}

TLocalizationModule* TLocalizationModule::Instance() { return TheInstance; }

QString TLocalizationModule::DefaultCatalogFile() {
  const QString program = QCoreApplication::applicationFilePath();
  const QFileInfo info(program);
  return QDir(info.absolutePath()).filePath(QStringLiteral("I18n/") + info.completeBaseName() +
                                            QStringLiteral(".i18n"));
}

}  // namespace I18n
