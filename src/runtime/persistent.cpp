#include "runtime/persistent.h"

#include <algorithm>
#include <utility>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

// TPersistent

void TPersistent::Assign(const TPersistent& source) {
  source.AssignTo(*this);
}

void TPersistent::Assign(const TPersistent* source) {
  if (source == nullptr) {
    AssignError(nullptr);
  }
  Assign(*source);
}

void TPersistent::AssignTo(TPersistent& dest) const {
  dest.AssignError(this);
}

void TPersistent::AssignError(const TPersistent* source) const {
  const std::u16string sourceName = source != nullptr ? source->ClassName() : u"nil";
  throw EAssignError(Format(u"Cannot assign a %s to a %s", {sourceName, ClassName()}));
}

// TCollectionItem

TCollectionItem::~TCollectionItem() {
  if (FCollection != nullptr) {
    FCollection->ItemDestroyed(this);
  }
}

TPersistent* TCollectionItem::GetOwner() const {
  return FCollection;
}

int TCollectionItem::Index() const {
  return FCollection != nullptr ? FCollection->IndexOf(this) : -1;
}

void TCollectionItem::SetIndex(int index) {
  if (FCollection == nullptr) {
    return;
  }
  const int current = Index();
  if (index != current) {
    FCollection->Move(current, index);
  }
}

std::u16string TCollectionItem::DisplayName() const {
  return ClassName();
}

void TCollectionItem::SetDisplayName(std::u16string_view) {
  Changed(false);
}

void TCollectionItem::Changed(bool allItems) {
  if (FCollection != nullptr && FCollection->FUpdateCount == 0) {
    FCollection->Update(allItems ? nullptr : this);
  }
}

// TCollection

TCollection::TCollection(TItemFactory itemFactory, TPersistent* owner)
    : FItemFactory(std::move(itemFactory)), FOwner(owner) {}

TCollection::~TCollection() {
  // Only this class's hooks run from here on; derived collections clear in their destructors.
  ++FUpdateCount;
  while (!FItems.empty()) {
    Detach(Count() - 1).reset();
  }
}

void TCollection::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TCollection*>(&source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  if (other == this) {
    return;
  }
  BeginUpdate();
  try {
    Clear();
    for (const auto& item : other->FItems) {
      Add()->Assign(*item);
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TCollection::CheckIndex(int index, bool allowEnd) const {
  const int last = allowEnd ? Count() : Count() - 1;
  if (index < 0 || index > last) {
    throw EListError(Format(u"List index out of bounds (%d)", {index}));
  }
}

TCollectionItem* TCollection::Items(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)].get();
}

TCollectionItem* TCollection::Add() {
  return InsertItem(FItemFactory(), -1);
}

TCollectionItem* TCollection::Insert(int index) {
  // The index is checked before the factory runs, so a bad index builds nothing.
  CheckIndex(index, true);
  return InsertItem(FItemFactory(), index);
}

TCollectionItem* TCollection::InsertItem(std::unique_ptr<TCollectionItem> item, int index) {
  if (item == nullptr) {
    return nullptr;
  }
  if (index == -1) {
    index = Count();
  }
  CheckIndex(index, true);
  TCollectionItem* inserted = item.get();
  inserted->FCollection = this;
  inserted->FID = FNextID++;
  FItems.insert(FItems.begin() + index, std::move(item));
  try {
    Notify(inserted, TCollectionNotification::cnAdded);
  } catch (...) {
    // No half-accepted item stays behind: the hook may have failed to name or register it.
    const int position = IndexOf(inserted);
    if (position >= 0) {
      Detach(position).reset();
    }
    throw;
  }
  Changed(nullptr);
  return inserted;
}

void TCollection::Delete(int index) {
  CheckIndex(index);
  TCollectionItem* item = FItems[static_cast<std::size_t>(index)].get();
  Notify(item, TCollectionNotification::cnDeleting);
  // The hook may have moved or extracted the item; find it again.
  const int position = IndexOf(item);
  if (position < 0) {
    return;
  }
  Detach(position).reset();
  Changed(nullptr);
}

void TCollection::Clear() {
  if (FItems.empty()) {
    return;
  }
  BeginUpdate();
  try {
    while (!FItems.empty()) {
      Delete(Count() - 1);
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::unique_ptr<TCollectionItem> TCollection::Extract(TCollectionItem* item) {
  if (IndexOf(item) < 0) {
    return nullptr;
  }
  Notify(item, TCollectionNotification::cnExtracting);
  const int position = IndexOf(item);
  if (position < 0) {
    return nullptr;
  }
  std::unique_ptr<TCollectionItem> extracted = Detach(position);
  Changed(nullptr);
  return extracted;
}

int TCollection::IndexOf(const TCollectionItem* item) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i].get() == item) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

TCollectionItem* TCollection::FindItemID(int id) const {
  for (const auto& item : FItems) {
    if (item->FID == id) {
      return item.get();
    }
  }
  return nullptr;
}

void TCollection::Move(int from, int to) {
  CheckIndex(from);
  CheckIndex(to);
  if (from == to) {
    return;
  }
  const auto first = FItems.begin();
  if (from < to) {
    std::rotate(first + from, first + from + 1, first + to + 1);
  } else {
    std::rotate(first + to, first + from, first + from + 1);
  }
  Changed(nullptr);
}

void TCollection::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) {
    Changed(nullptr);
  }
}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Update(TCollectionItem*) {}

void TCollection::Changed(TCollectionItem* item) {
  if (FUpdateCount == 0) {
    Update(item);
  }
}

std::unique_ptr<TCollectionItem> TCollection::Detach(int index) {
  const auto position = FItems.begin() + index;
  std::unique_ptr<TCollectionItem> item = std::move(*position);
  FItems.erase(position);
  item->FCollection = nullptr;
  return item;
}

void TCollection::ItemDestroyed(TCollectionItem* item) noexcept {
  const int position = IndexOf(item);
  if (position < 0) {
    return;
  }
  // The item is being destroyed by its own destructor: the slot gives up ownership without
  // deleting it a second time.
  const auto slot = FItems.begin() + position;
  static_cast<void>(slot->release());
  FItems.erase(slot);
  // A destructor has no way to report a failing change hook; the removal itself stands.
  try {
    Changed(nullptr);
  } catch (...) {
  }
}

} // namespace isapi_web
