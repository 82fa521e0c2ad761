// Keyed lists: items that each carry a text key, kept in insertion order and
// found by key through a hash table. Keys compare case-insensitively with
// the ASCII letters folded; every bucket chain stays sorted by key, so a
// search stops at the first key not below the one sought.
//
// The list owns its items. A concrete list derives from THashListOf<T> and
// creates its items in CreateItem (where it sets their owner links).
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace I18n {

class THashList;

class THashItem {
public:
  explicit THashItem(const QString& AKey) : fKey(AKey) {}
  virtual ~THashItem() = default;
  THashItem(const THashItem&) = delete;
  THashItem& operator=(const THashItem&) = delete;

  const QString& Key() const { return fKey; }
  THashItem* OrderNext() const { return fOrderNext; }
  THashItem* OrderPrev() const { return fOrderPrev; }

private:
  friend class THashList;
  QString fKey;
  THashItem* fOrderNext = nullptr;
  THashItem* fOrderPrev = nullptr;
  THashItem* fChainNext = nullptr;
};

class THashList {
public:
  // The table gets the smallest power of two of at least 4 buckets that is
  // not below ARequestedBuckets.
  explicit THashList(size_t ARequestedBuckets);
  virtual ~THashList();
  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;

  int Count() const { return fCount; }
  bool IsEmpty() const { return fCount == 0; }
  size_t BucketCount() const { return fBuckets.size(); }
  THashItem* OrderFirst() const { return fOrderFirst; }
  THashItem* OrderLast() const { return fOrderLast; }

  THashItem* FindItem(const QString& AKey) const;
  // The item of the key, created and linked at the end of the order when the
  // key is new.
  THashItem* AddItem(const QString& AKey);
  // Unlinks and destroys an item of this list.
  void Delete(THashItem* AItem);
  void Clear();

  // Folds the key's characters a to z to A to Z; each character becomes
  // c xor (hash rotated left by 2 bits), over 32 bits.
  static uint32_t HashOf(const QString& AKey);
  // Negative, zero or positive as A sorts before, equal to or after B with
  // the ASCII letters folded.
  static int CompareKeys(const QString& A, const QString& B);

protected:
  virtual THashItem* CreateItem(const QString& AKey) = 0;

private:
  std::vector<THashItem*> fBuckets;
  THashItem* fOrderFirst = nullptr;
  THashItem* fOrderLast = nullptr;
  int fCount = 0;

  THashItem** ChainOf(const QString& AKey) { return &fBuckets[HashOf(AKey) & (fBuckets.size() - 1)]; }
};

// A keyed list of items of type T, iterable in insertion order.
template <class T>
class THashListOf : public THashList {
public:
  using THashList::THashList;

  class iterator {
  public:
    explicit iterator(THashItem* AItem) : fItem(AItem) {}
    T* operator*() const { return static_cast<T*>(fItem); }
    iterator& operator++() {
      fItem = fItem->OrderNext();
      return *this;
    }
    bool operator!=(const iterator& Other) const { return fItem != Other.fItem; }
    bool operator==(const iterator& Other) const { return fItem == Other.fItem; }

  private:
    THashItem* fItem;
  };

  T* Find(const QString& AKey) const { return static_cast<T*>(FindItem(AKey)); }
  T* Add(const QString& AKey) { return static_cast<T*>(AddItem(AKey)); }
  T* First() const { return static_cast<T*>(OrderFirst()); }
  iterator begin() const { return iterator(OrderFirst()); }
  iterator end() const { return iterator(nullptr); }
  // The items in order, for walks that delete items.
  std::vector<T*> Items() const {
    std::vector<T*> items;
    items.reserve(size_t(Count()));
    for (T* item : *this) items.push_back(item);
    return items;
  }
};

}  // namespace I18n
