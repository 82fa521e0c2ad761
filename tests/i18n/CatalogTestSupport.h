// Helpers of the catalog tests: loading from and saving to bytes.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <string>

#include "TranslationCatalog.h"

inline void LoadBytes(I18n::TTranslationCatalog& Catalog, const QByteArray& Bytes) {
  QByteArray copy = Bytes;
  QBuffer buffer(&copy);
  buffer.open(QIODevice::ReadOnly);
  Catalog.LoadFromStream(buffer);
}

inline QByteArray SaveBytes(const I18n::TTranslationCatalog& Catalog) {
  QByteArray out;
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  Catalog.SaveToStream(buffer);
  return out;
}

// The message of the error a load raises, or "" when it loads.
inline std::string LoadError(I18n::TTranslationCatalog& Catalog, const QByteArray& Bytes) {
  try {
    LoadBytes(Catalog, Bytes);
  } catch (const I18n::ETranslationCatalogError& e) {
    return e.what();
  }
  return "";
}

inline QString Q(const char* S) { return QString::fromUtf8(S); }
