// PO import: any bytes either import into a catalog or raise the PO
// file's own error and leave the catalog as it was; an imported language
// exports and imports again to the same catalog.
#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "PoFile.h"
#include "TranslationCatalog.h"

namespace {

const char Catalog[] =
    "<?xml version=\"1.0\"?><i18nCatalog Locale=\"en\"><Domain Name=\"MainForm\">"
    "<Property ID=\".Caption\"><Value>Vorelle</Value></Property>"
    "<Property ID=\"NoteStaticText.Caption\"><Value>Line one\\nLine two</Value></Property>"
    "<Literal ID=\"ABC\"><Value>%d files in %s</Value><Translation Locale=\"pl-PL\">x</Translation></Literal>"
    "<Literal ID=\"#XYZ\"><Value><PluralForm>%d file</PluralForm><PluralForm>%d files</PluralForm></Value></Literal>"
    "</Domain></i18nCatalog>";

QByteArray Save(const I18n::TTranslationCatalog& C) {
  QByteArray out;
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  C.SaveToStream(buffer);
  return out;
}

void Load(I18n::TTranslationCatalog& C, const QByteArray& Bytes) {
  QByteArray copy = Bytes;
  QBuffer buffer(&copy);
  buffer.open(QIODevice::ReadOnly);
  C.LoadFromStream(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const QByteArray source(Catalog);
  const QByteArray po(reinterpret_cast<const char*>(Data), qsizetype(Size));
  const I18n::TCultureInfo* polish = I18n::TCultureTable::Find("pl-PL");
  I18n::TTranslationCatalog catalog;
  Load(catalog, source);
  const QByteArray before = Save(catalog);
  try {
    I18n::ImportPO(catalog, polish, po);
  } catch (const I18n::EPOFileError&) {
    if (Save(catalog) != before) std::abort();  // a failed import changes nothing
    return 0;
  }
  // The imported language survives its own export and import.
  const QByteArray exported = I18n::ExportPO(catalog, polish);
  I18n::TTranslationCatalog again;
  Load(again, Save(catalog));
  I18n::ImportPO(again, polish, exported);
  if (I18n::ExportPO(again, polish) != exported) std::abort();
  return 0;
}
