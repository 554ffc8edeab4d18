#include "runtime/persistent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_error.h"
#include "runtime/text.h"

namespace isapi_web {
namespace {

std::vector<std::string>* Log = nullptr;

void Record(std::string entry) {
  if (Log != nullptr) {
    Log->push_back(std::move(entry));
  }
}

class TPlain : public TPersistent {
public:
  std::u16string ClassName() const override { return u"TPlain"; }
};

// An item that is only usable once its own constructor has run: the hook below relies on it.
class TNamedItem : public TCollectionItem {
public:
  TNamedItem() : FKind(u"named") { ++Alive; }
  ~TNamedItem() override {
    --Alive;
    Record("destroy " + WideToUtf8(FName));
  }
  std::u16string ClassName() const override { return u"TNamedItem"; }
  std::u16string DisplayName() const override { return FName; }
  void SetDisplayName(std::u16string_view value) override {
    FName = value;
    Changed(false);
  }
  virtual std::u16string Kind() const { return FKind; }
  using TCollectionItem::Assign;
  void Assign(const TPersistent& source) override {
    if (const auto* other = dynamic_cast<const TNamedItem*>(&source)) {
      FValue = other->FValue;
      return;
    }
    TCollectionItem::Assign(source);
  }

  static inline int Alive = 0;
  std::u16string FKind;
  std::u16string FName;
  int FValue = 0;
};

// Names each new item "ItemN" with the lowest N that no other item has, as insertion hooks of
// the framework's collections do, and records every notification.
class TNamingCollection : public TCollection {
public:
  explicit TNamingCollection(TPersistent* owner = nullptr)
      : TCollection(
            [this] {
              ++Made;
              return std::make_unique<TNamedItem>();
            },
            owner) {}
  ~TNamingCollection() override { Clear(); }

  std::u16string ClassName() const override { return u"TNamingCollection"; }
  TNamedItem* Item(int index) const { return static_cast<TNamedItem*>(Items(index)); }

  int Made = 0;
  int Updates = 0;
  std::vector<TCollectionItem*> Updated;
  bool FailNextAdd = false;

protected:
  void Notify(TCollectionItem* item, TCollectionNotification action) override {
    auto* named = dynamic_cast<TNamedItem*>(item);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->Kind(), u"named");
    EXPECT_EQ(item->Collection(), this);
    EXPECT_GE(item->Index(), 0);
    switch (action) {
    case TCollectionNotification::cnAdded: {
      int n = 1;
      for (bool taken = true; taken;) {
        taken = false;
        for (int i = 0; i < Count(); ++i) {
          if (Items(i) != item && SameTextAscii(Item(i)->FName, u"Item" + IntToStr(n))) {
            taken = true;
            ++n;
          }
        }
      }
      named->FName = u"Item" + IntToStr(n);
      Record("added " + WideToUtf8(named->FName));
      if (FailNextAdd) {
        FailNextAdd = false;
        throw EWebException(u"hook failed");
      }
      break;
    }
    case TCollectionNotification::cnExtracting:
      Record("extracting " + WideToUtf8(named->FName));
      break;
    case TCollectionNotification::cnDeleting:
      Record("deleting " + WideToUtf8(named->FName));
      break;
    }
  }
  void Update(TCollectionItem* item) override {
    ++Updates;
    Updated.push_back(item);
  }
};

class CollectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    Log = &FLog;
    TNamedItem::Alive = 0;
  }
  void TearDown() override { Log = nullptr; }
  std::vector<std::string> FLog;
};

std::vector<std::u16string> Names(const TNamingCollection& c) {
  std::vector<std::u16string> names;
  for (int i = 0; i < c.Count(); ++i) {
    names.push_back(c.Item(i)->FName);
  }
  return names;
}

using Texts = std::vector<std::u16string>;
using Entries = std::vector<std::string>;

TEST(PersistentTest, AssignWithoutAWayToCopyRaisesEAssignError) {
  TPlain a;
  TPlain b;
  TNamingCollection collection;
  TNamedItem item;
  // The assignment error is a conversion error to those who catch that.
  ExpectError<EConvertError>([&] { a.Assign(b); }, u"EAssignError",
                             u"Cannot assign a TPlain to a TPlain");
  ExpectError<EAssignError>([&] { collection.Assign(static_cast<const TPersistent*>(nullptr)); },
                            u"EAssignError", u"Cannot assign a nil to a TNamingCollection");
  ExpectError<EAssignError>([&] { collection.Assign(a); }, u"EAssignError",
                            u"Cannot assign a TPlain to a TNamingCollection");
  ExpectError<EAssignError>([&] { a.Assign(item); }, u"EAssignError",
                            u"Cannot assign a TNamedItem to a TPlain");
}

TEST_F(CollectionTest, AddsInOrderAndTheHookSeesTheFinishedItem) {
  TPlain owner;
  TNamingCollection collection(&owner);
  TCollectionItem* first = collection.Add();
  collection.Add();
  TCollectionItem* inserted = collection.Insert(0);
  EXPECT_EQ(Names(collection), (Texts{u"Item3", u"Item1", u"Item2"}));
  EXPECT_EQ(FLog, (Entries{"added Item1", "added Item2", "added Item3"}));
  EXPECT_EQ(first->Index(), 1);
  EXPECT_EQ(inserted->Index(), 0);
  EXPECT_EQ(collection.IndexOf(first), 1);
  EXPECT_EQ(first->GetOwner(), &collection);
  EXPECT_EQ(collection.GetOwner(), &owner);
  EXPECT_EQ(first->DisplayName(), u"Item1");

  // Every insertion gets a new ID, whatever the position.
  EXPECT_EQ(collection.FindItemID(first->ID()), first);
  EXPECT_EQ(collection.FindItemID(inserted->ID()), inserted);
  EXPECT_NE(first->ID(), inserted->ID());
  EXPECT_EQ(collection.FindItemID(999), nullptr);

  // An item built elsewhere is inserted the same way.
  auto own = std::make_unique<TNamedItem>();
  TCollectionItem* adopted = collection.InsertItem(std::move(own), 1);
  EXPECT_EQ(Names(collection), (Texts{u"Item3", u"Item4", u"Item1", u"Item2"}));
  EXPECT_EQ(adopted->Collection(), &collection);
  EXPECT_EQ(collection.Made, 3);
}

TEST_F(CollectionTest, BadIndicesRaiseListErrorsAndBuildNothing) {
  TNamingCollection collection;
  collection.Add();
  collection.Add();
  for (int bad : {-1, 2, 3}) {
    ExpectError<EListError>([&] { collection.Items(bad); }, u"EListError",
                            u"List index out of bounds (" + IntToStr(bad) + u")");
  }
  EXPECT_THROW(collection.Insert(3), EListError);
  EXPECT_THROW(collection.Insert(-2), EListError);
  EXPECT_THROW(collection.InsertItem(std::make_unique<TNamedItem>(), 5), EListError);
  EXPECT_THROW(collection.Delete(2), EListError);
  EXPECT_THROW(collection.Move(0, 2), EListError);
  EXPECT_THROW(collection.Move(-1, 0), EListError);
  EXPECT_THROW(collection.Item(0)->SetIndex(2), EListError);
  EXPECT_EQ(collection.Made, 2);
  EXPECT_EQ(collection.Count(), 2);
  EXPECT_EQ(TNamedItem::Alive, 2);
}

TEST_F(CollectionTest, AFailingAddHookLeavesNoItemBehind) {
  TNamingCollection collection;
  collection.Add();
  collection.FailNextAdd = true;
  EXPECT_THROW(collection.Add(), EWebException);
  EXPECT_EQ(collection.Count(), 1);
  EXPECT_EQ(TNamedItem::Alive, 1);
  EXPECT_EQ(Names(collection), (Texts{u"Item1"}));
}

TEST_F(CollectionTest, DeleteExtractAndDirectDestruction) {
  TNamingCollection collection;
  for (int i = 0; i < 4; ++i) {
    collection.Add();
  }
  FLog.clear();
  collection.Delete(1);
  EXPECT_EQ(FLog, (Entries{"deleting Item2", "destroy Item2"}));
  EXPECT_EQ(Names(collection), (Texts{u"Item1", u"Item3", u"Item4"}));

  FLog.clear();
  TCollectionItem* third = collection.Items(1);
  std::unique_ptr<TCollectionItem> extracted = collection.Extract(third);
  EXPECT_EQ(FLog, (Entries{"extracting Item3"}));
  ASSERT_EQ(extracted.get(), third);
  EXPECT_EQ(extracted->Collection(), nullptr);
  EXPECT_EQ(extracted->Index(), -1);
  EXPECT_EQ(Names(collection), (Texts{u"Item1", u"Item4"}));
  EXPECT_EQ(TNamedItem::Alive, 3);
  EXPECT_EQ(collection.Extract(third), nullptr);
  extracted.reset();
  EXPECT_EQ(TNamedItem::Alive, 2);

  // The next new item takes the name that became free.
  collection.Add();
  EXPECT_EQ(Names(collection), (Texts{u"Item1", u"Item4", u"Item2"}));

  // An item destroyed while in the collection leaves it.
  FLog.clear();
  delete collection.Items(1);
  EXPECT_EQ(FLog, (Entries{"destroy Item4"}));
  EXPECT_EQ(Names(collection), (Texts{u"Item1", u"Item2"}));
  EXPECT_EQ(TNamedItem::Alive, 2);
}

TEST_F(CollectionTest, ClearAndDestructionDestroyEveryItemLastFirst) {
  {
    TNamingCollection collection;
    for (int i = 0; i < 3; ++i) {
      collection.Add();
    }
    FLog.clear();
    collection.Clear();
    EXPECT_EQ(FLog, (Entries{"deleting Item3", "destroy Item3", "deleting Item2", "destroy Item2",
                             "deleting Item1", "destroy Item1"}));
    EXPECT_EQ(collection.Count(), 0);
    collection.Add();
    collection.Add();
    FLog.clear();
  }
  EXPECT_EQ(TNamedItem::Alive, 0);
  EXPECT_EQ(FLog, (Entries{"deleting Item2", "destroy Item2", "deleting Item1", "destroy Item1"}));

  // The base collection alone destroys its items too.
  {
    TCollection plain(TCollection::ItemClass<TNamedItem>());
    plain.Add();
    plain.Add();
    EXPECT_EQ(TNamedItem::Alive, 2);
    EXPECT_EQ(plain.Items(0)->ClassName(), u"TNamedItem");
  }
  EXPECT_EQ(TNamedItem::Alive, 0);
}

TEST_F(CollectionTest, MoveAndSetIndexReorder) {
  TNamingCollection collection;
  for (int i = 0; i < 4; ++i) {
    collection.Add();
  }
  collection.Move(0, 3);
  EXPECT_EQ(Names(collection), (Texts{u"Item2", u"Item3", u"Item4", u"Item1"}));
  collection.Move(3, 1);
  EXPECT_EQ(Names(collection), (Texts{u"Item2", u"Item1", u"Item3", u"Item4"}));
  collection.Item(3)->SetIndex(0);
  EXPECT_EQ(Names(collection), (Texts{u"Item4", u"Item2", u"Item1", u"Item3"}));
  EXPECT_EQ(collection.Item(0)->Index(), 0);
}

TEST_F(CollectionTest, UpdateFollowsChangesAndWaitsForEndUpdate) {
  TNamingCollection collection;
  collection.Add();
  collection.Add();
  EXPECT_EQ(collection.Updates, 2);
  EXPECT_EQ(collection.Updated.back(), nullptr);

  collection.Item(1)->SetDisplayName(u"renamed");
  EXPECT_EQ(collection.Updates, 3);
  EXPECT_EQ(collection.Updated.back(), collection.Items(1));

  collection.BeginUpdate();
  collection.BeginUpdate();
  collection.Add();
  collection.Delete(0);
  collection.Move(0, 1);
  collection.Item(0)->SetDisplayName(u"x");
  collection.EndUpdate();
  EXPECT_EQ(collection.Updates, 3);
  collection.EndUpdate();
  EXPECT_EQ(collection.Updates, 4);
  EXPECT_EQ(collection.Updated.back(), nullptr);
  collection.EndUpdate(); // unbalanced: ignored, later changes still signal
  EXPECT_EQ(collection.Updates, 4);
  EXPECT_EQ(collection.UpdateCount(), 0);
  collection.Add();
  EXPECT_EQ(collection.Updates, 5);
}

TEST_F(CollectionTest, AssignCopiesTheItemsOfAnotherCollection) {
  TNamingCollection source;
  for (int value : {10, 20, 30}) {
    static_cast<TNamedItem*>(source.Add())->FValue = value;
  }
  TNamingCollection target;
  target.Add();
  target.Add();
  FLog.clear();
  target.Assign(source);
  EXPECT_EQ(FLog, (Entries{"deleting Item2", "destroy Item2", "deleting Item1", "destroy Item1",
                           "added Item1", "added Item2", "added Item3"}));
  ASSERT_EQ(target.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(target.Item(i)->FValue, source.Item(i)->FValue);
    EXPECT_NE(target.Items(i), source.Items(i));
  }
  target.Assign(target);
  EXPECT_EQ(target.Count(), 3);

  // Items that cannot copy each other raise the assignment error.
  TCollection plain(TCollection::ItemClass<TCollectionItem>());
  plain.Add();
  ExpectError<EAssignError>([&] { target.Assign(plain); }, u"EAssignError",
                            u"Cannot assign a TCollectionItem to a TNamedItem");
}

} // namespace
} // namespace isapi_web
