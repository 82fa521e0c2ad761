// Merging one catalog into another.
#include <vector>

#include "TranslationCatalog.h"

namespace I18n {

namespace {

void MarkApprovedFuzzy(TTextTranslations& Translations) {
  for (TTextTranslation* t : Translations)
    if (t->State() == tsUser) t->SetState(tsFuzzy);
}

void MergeTranslations(TTextTranslations& Own, const TTextTranslations& Source, TMergeOptions Options) {
  for (const TTextTranslation* s : Source) {
    TTextTranslation* own = Own.Add(s->Locale());
    if (own == s) continue;
    if (own->State() < s->State() || (Options & moPreferSource)) own->Assign(*s);
  }
}

struct TMergeContext {
  TMergeOptions Options;
  bool SameNative;
  const TCultureInfo* SourceNative;
  bool MatchRenamed;
};

void MergeDefinition(TTextDefinition& Own, const TTextDefinition& Source, const TMergeContext& C) {
  if (C.SameNative) {
    if (C.Options & moPreferSource) {
      if (Own.Value() != Source.Value()) {
        MarkApprovedFuzzy(Own.Translations());
        Own.SetValue(Source.Value());
      }
      Own.SetComment(Source.Comment());
    } else if (!Source.Comment().isEmpty() && !Own.Comment().contains(Source.Comment())) {
      Own.SetComment(Own.Comment().isEmpty() ? Source.Comment() : Own.Comment() + QStringLiteral("\r\n") + Source.Comment());
    }
  } else if (!Source.Value().isEmpty() && C.SourceNative) {
    // Source's texts are written in another language: they are translations
    // into that language. A source without a native language gives none.
    TTextTranslation* t = Own.Translations().Add(QString::fromLatin1(C.SourceNative->Locale));
    t->SetValue(Source.Value());
    t->SetState(tsUser);
    t->SetNote(Own.Comment());
  }
  MergeTranslations(Own.Translations(), Source.Translations(), C.Options);
}

void MergeDictionary(TTextDictionary& Own, const TTextDictionary& Source, const TMergeContext& C) {
  std::vector<TTextDefinition*> added;
  for (const TTextDefinition* s : Source) {
    if (TTextDefinition* own = Own.Find(s->ID())) {
      MergeDefinition(*own, *s, C);
    } else {
      TTextDefinition* copy = Own.Add(s->ID());
      copy->Assign(*s);
      added.push_back(copy);
    }
  }
  if (!C.MatchRenamed && !(C.Options & moDeleteDefinitionsNotInSource)) return;
  for (TTextDefinition* own : Own.Items()) {
    if (Source.Find(own->ID())) continue;
    TTextDefinition* best = nullptr;
    size_t bestIndex = 0;
    double bestSimilarity = 0.0;
    if (C.MatchRenamed)
      for (size_t i = 0; i < added.size(); ++i) {
        TTextDefinition* candidate = added[i];
        if (!candidate || candidate->HasPluralForms() != own->HasPluralForms()) continue;
        const double similarity = TextSimilarity(own->Value(), candidate->Value());
        if (similarity >= 0.8 && (!best || similarity > bestSimilarity)) {
          best = candidate;
          bestIndex = i;
          bestSimilarity = similarity;
        }
      }
    if (best) {
      if (own->Value() != best->Value()) MarkApprovedFuzzy(own->Translations());
      MergeTranslations(best->Translations(), own->Translations(), 0);
      added[bestIndex] = nullptr;
      Own.Delete(own);
    } else if (C.Options & moDeleteDefinitionsNotInSource) {
      Own.Delete(own);
    }
  }
}

}  // namespace

void TTranslationCatalog::Merge(const TTranslationCatalog& Source, TMergeOptions Options) {
  MergeFrom(Source, Options, true);
}

void TTranslationCatalog::MergeFrom(const TTranslationCatalog& Source, TMergeOptions Options, bool AMatchRenamed) {
  if (&Source == this) return;
  TUpdateGuard update(*this);
  const TMergeContext context{Options, fNativeCulture == Source.fNativeCulture, Source.fNativeCulture, AMatchRenamed};
  if (Options & moDeleteDomainsNotInSource)
    for (TTextDomain* own : fTextDomains.Items())
      if (!Source.fTextDomains.Find(own->Name())) fTextDomains.Delete(own);
  for (const TTextDomain* s : Source.fTextDomains) {
    TTextDomain* own = fTextDomains.Add(s->Name());
    MergeDictionary(own->Properties(), s->Properties(), context);
    MergeDictionary(own->Literals(), s->Literals(), context);
  }
  for (const TCustomPluralRule* r : Source.fCustomPluralRules)
    if (!fCustomPluralRules.RuleOf(r->Culture) || (Options & moPreferSource)) fCustomPluralRules.Store(r->Culture, r->Rule);
}

}  // namespace I18n
