// Keyed lists: the hash rule, bucket counts, sorted chains, insertion order.
#include <gtest/gtest.h>

#include "HashList.h"

using namespace I18n;

namespace {
class TItem : public THashItem {
public:
  using THashItem::THashItem;
};
class TList : public THashListOf<TItem> {
public:
  using THashListOf::THashListOf;

protected:
  THashItem* CreateItem(const QString& AKey) override { return new TItem(AKey); }
};
}  // namespace

TEST(HashList, HashRuleAndBuckets) {
  EXPECT_EQ(THashList::HashOf(QString()), 0u);
  // 'A' = 65; then 'B' ^ (65 << 2).
  EXPECT_EQ(THashList::HashOf("ab"), uint32_t(66 ^ (65 << 2)));
  EXPECT_EQ(THashList::HashOf("Ab"), THashList::HashOf("aB"));
  // The rotation carries the top bits round.
  QString k(17, QChar(u'\xFFFF'));
  uint32_t h = 0;
  for (int i = 0; i < 17; ++i) h = 0xFFFFu ^ ((h << 2) | (h >> 30));
  EXPECT_EQ(THashList::HashOf(k), h);
  EXPECT_EQ(TList(0).BucketCount(), 4u);
  EXPECT_EQ(TList(5).BucketCount(), 8u);
  EXPECT_EQ(TList(32).BucketCount(), 32u);
  EXPECT_EQ(TList(129).BucketCount(), 256u);
}

TEST(HashList, CaseInsensitiveKeysInInsertionOrder) {
  TList list(4);
  TItem* a = list.Add("Zeta");
  EXPECT_EQ(list.Add("ZETA"), a);
  // Many keys share the four buckets; all are found, order is kept.
  std::vector<QString> keys;
  for (int i = 0; i < 200; ++i) keys.push_back(QString("key%1").arg((i * 37) % 200));
  for (const QString& k : keys) list.Add(k);
  EXPECT_EQ(list.Count(), 201);
  for (const QString& k : keys) {
    ASSERT_NE(list.Find(k.toUpper()), nullptr) << k.toStdString();
    EXPECT_EQ(list.Find(k.toUpper())->Key(), k);
  }
  EXPECT_EQ(list.Find("key200"), nullptr);
  size_t i = 0;
  for (TItem* item : list) {
    if (i == 0)
      EXPECT_EQ(item->Key(), "Zeta");
    else
      EXPECT_EQ(item->Key(), keys[i - 1]);
    ++i;
  }
  list.Delete(list.Find("key0"));
  list.Delete(a);
  EXPECT_EQ(list.Count(), 199);
  EXPECT_EQ(list.Find("zeta"), nullptr);
  EXPECT_EQ(list.First()->Key(), keys[0] == "key0" ? keys[1] : keys[0]);
  EXPECT_EQ(list.Add("zeta")->OrderPrev()->Key(), keys.back());
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.First(), nullptr);
  // Non-letters are not folded.
  EXPECT_NE(THashList::CompareKeys("[", "{"), 0);
  EXPECT_NE(THashList::CompareKeys(QString::fromUtf8("\xC3\xA9"), QString::fromUtf8("\xC3\x89")), 0);
}
