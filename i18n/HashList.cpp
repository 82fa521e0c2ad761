#include "HashList.h"

namespace I18n {

namespace {

inline char16_t Fold(char16_t C) { return (C >= u'a' && C <= u'z') ? char16_t(C - u'a' + u'A') : C; }

}  // namespace

THashList::THashList(size_t ARequestedBuckets) {
  size_t count = 4;
  while (count < ARequestedBuckets) count <<= 1;
  fBuckets.assign(count, nullptr);
}

THashList::~THashList() { Clear(); }

uint32_t THashList::HashOf(const QString& AKey) {
  uint32_t hash = 0;
  for (QChar c : AKey) hash = uint32_t(Fold(c.unicode())) ^ ((hash << 2) | (hash >> 30));
  return hash;
}

int THashList::CompareKeys(const QString& A, const QString& B) {
  const qsizetype n = A.size() < B.size() ? A.size() : B.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t a = Fold(A[i].unicode()), b = Fold(B[i].unicode());
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

THashItem* THashList::FindItem(const QString& AKey) const {
  for (THashItem* item = fBuckets[HashOf(AKey) & (fBuckets.size() - 1)]; item; item = item->fChainNext) {
    const int order = CompareKeys(item->fKey, AKey);
    if (order == 0) return item;
    if (order > 0) break;
  }
  return nullptr;
}

THashItem* THashList::AddItem(const QString& AKey) {
  THashItem** link = ChainOf(AKey);
  while (*link) {
    const int order = CompareKeys((*link)->fKey, AKey);
    if (order == 0) return *link;
    if (order > 0) break;
    link = &(*link)->fChainNext;
  }
  THashItem* item = CreateItem(AKey);
  item->fChainNext = *link;
  *link = item;
  item->fOrderPrev = fOrderLast;
  if (fOrderLast)
    fOrderLast->fOrderNext = item;
  else
    fOrderFirst = item;
  fOrderLast = item;
  ++fCount;
  return item;
}

void THashList::Delete(THashItem* AItem) {
  if (!AItem) return;
  THashItem** link = ChainOf(AItem->fKey);
  while (*link && *link != AItem) link = &(*link)->fChainNext;
  if (!*link) return;  // not an item of this list
  *link = AItem->fChainNext;
  if (AItem->fOrderPrev)
    AItem->fOrderPrev->fOrderNext = AItem->fOrderNext;
  else
    fOrderFirst = AItem->fOrderNext;
  if (AItem->fOrderNext)
    AItem->fOrderNext->fOrderPrev = AItem->fOrderPrev;
  else
    fOrderLast = AItem->fOrderPrev;
  --fCount;
  delete AItem;
}

void THashList::Clear() {
  THashItem* item = fOrderFirst;
  while (item) {
    THashItem* next = item->fOrderNext;
    delete item;
    item = next;
  }
  for (THashItem*& bucket : fBuckets) bucket = nullptr;
  fOrderFirst = fOrderLast = nullptr;
  fCount = 0;
}

}  // namespace I18n
