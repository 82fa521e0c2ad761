// Catalog loading: any bytes given to LoadFromStream, plain or compressed,
// either load or raise the catalog's own errors; a loaded catalog saves and
// reads back.
#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "TranslationCatalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  QByteArray bytes(reinterpret_cast<const char*>(Data), qsizetype(Size));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  I18n::TTranslationCatalog catalog;
  try {
    catalog.LoadFromStream(buffer);
  } catch (const I18n::EI18nError&) {
    if (!catalog.Empty()) std::abort();  // a failed load leaves nothing behind
    return 0;
  }
  // What was read is written and read again without error.
  QByteArray saved;
  QBuffer out(&saved);
  out.open(QIODevice::WriteOnly);
  catalog.SaveToStream(out);
  QBuffer again(&saved);
  again.open(QIODevice::ReadOnly);
  I18n::TTranslationCatalog copy;
  copy.LoadFromStream(again);
  if (copy.TextDomains().Count() != catalog.TextDomains().Count()) std::abort();
  for (const I18n::TTextDomain* domain : catalog.TextDomains()) {
    const I18n::TTextDomain* other = copy.TextDomains().Find(domain->Name());
    if (!other) std::abort();
    for (const I18n::TTextDefinition* d : domain->Literals()) {
      const I18n::TTextDefinition* o = other->Literals().Find(d->ID());
      if (!o || o->Comment() != d->Comment()) std::abort();
    }
  }
  // Lookups over whatever was read.
  for (const I18n::TTextDomain* domain : catalog.TextDomains())
    for (const I18n::TTextDefinition* d : domain->Properties()) d->Translations().NearestTo(QStringLiteral("es-MX"));
  catalog.PluralRuleOf(nullptr);
  return 0;
}
