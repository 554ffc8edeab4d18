#pragma once
// Persistent objects and collections of items.
//
// A collection creates its items through a factory and inserts them only after the item's C++
// constructor has finished, so insertion hooks and setters always see the fully built item.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace isapi_web {

/// An object that can copy itself into another and that names its class in messages.
class TPersistent {
public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  virtual ~TPersistent() = default;

  /// The class name, as the runtime's messages print it.
  virtual std::u16string ClassName() const { return u"TPersistent"; }
  /// Copies Source into this object: Source.AssignTo(*this) unless overridden. A class that
  /// overrides it adds `using TPersistent::Assign;` to keep the pointer form below.
  virtual void Assign(const TPersistent& source);
  /// As above; a null Source raises EAssignError "Cannot assign a nil to a %s".
  void Assign(const TPersistent* source);
  /// The object this one belongs to (an item's collection, a collection's owner), or null.
  virtual TPersistent* GetOwner() const { return nullptr; }

protected:
  /// Copies this object into Dest; the base raises EAssignError "Cannot assign a %s to a %s".
  virtual void AssignTo(TPersistent& dest) const;
  /// Raises EAssignError "Cannot assign a %s to a %s" naming Source ("nil" when null) and this.
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

class TCollection;

/// One item of a TCollection. Destroying an item that is still in a collection removes it
/// from the collection (without a Notify: the derived parts of the item are already gone).
class TCollectionItem : public TPersistent {
public:
  /// Items are made by their collection's factory; the collection inserts them afterwards.
  TCollectionItem() = default;
  ~TCollectionItem() override;

  std::u16string ClassName() const override { return u"TCollectionItem"; }
  TPersistent* GetOwner() const override;
  TCollection* Collection() const noexcept { return FCollection; }
  /// Position in the owning collection, or -1 when not in one.
  int Index() const;
  /// Moves the item to Index in its collection; raises EListError for an index outside it.
  void SetIndex(int index);
  /// A number unique within the collection, given when the item is inserted.
  int ID() const noexcept { return FID; }
  /// The name shown for the item; the base answers the class name.
  virtual std::u16string DisplayName() const;
  /// The base only signals a change of this item.
  virtual void SetDisplayName(std::u16string_view value);

protected:
  /// Tells the collection that this item (or, with AllItems, the whole list) changed.
  void Changed(bool allItems);

private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
  int FID = 0;
};

enum class TCollectionNotification : std::uint8_t { cnAdded, cnExtracting, cnDeleting };

/// An ordered list of items that it owns. A derived collection that must hear about the items
/// destroyed with it calls Clear in its own destructor, while its overrides still exist.
class TCollection : public TPersistent {
public:
  using TItemFactory = std::function<std::unique_ptr<TCollectionItem>()>;

  /// A factory making default-constructed items of class TItem.
  template <class TItem> static TItemFactory ItemClass() {
    return [] { return std::make_unique<TItem>(); };
  }

  explicit TCollection(TItemFactory itemFactory, TPersistent* owner = nullptr);
  ~TCollection() override;

  std::u16string ClassName() const override { return u"TCollection"; }
  TPersistent* GetOwner() const override { return FOwner; }
  using TPersistent::Assign;
  /// From another collection: destroys every item (last first), then adds one new item per
  /// source item, in order, and assigns the source item to it.
  void Assign(const TPersistent& source) override;

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  /// The item at Index; raises EListError "List index out of bounds (%d)" outside the list.
  TCollectionItem* Items(int index) const;
  /// Creates an item through the factory, then inserts it at the end.
  TCollectionItem* Add();
  /// Creates an item through the factory, then inserts it at Index.
  TCollectionItem* Insert(int index);
  /// Takes ownership of a fully built item and inserts it at Index (the end when -1). If the
  /// cnAdded hook raises, the item is removed and destroyed again and the error propagates.
  TCollectionItem* InsertItem(std::unique_ptr<TCollectionItem> item, int index = -1);
  /// Notifies cnDeleting, then removes and destroys the item at Index.
  void Delete(int index);
  /// Deletes every item, last first.
  void Clear();
  /// Removes Item without destroying it; the caller takes ownership. Null when not an item here.
  std::unique_ptr<TCollectionItem> Extract(TCollectionItem* item);
  int IndexOf(const TCollectionItem* item) const;
  /// The item with the given ID, or null.
  TCollectionItem* FindItemID(int id) const;
  /// Moves the item at From to To; raises EListError for an index outside the list.
  void Move(int from, int to);

  /// Defers Update until the matching EndUpdate; nests.
  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate();
  int UpdateCount() const noexcept { return FUpdateCount; }

protected:
  /// Called after an item is added, and before one is extracted or deleted.
  virtual void Notify(TCollectionItem* item, TCollectionNotification action);
  /// Called after the list changed (item is null when many changed at once).
  virtual void Update(TCollectionItem* item);

private:
  friend class TCollectionItem;
  void CheckIndex(int index, bool allowEnd = false) const;
  void Changed(TCollectionItem* item);
  std::unique_ptr<TCollectionItem> Detach(int index);
  void ItemDestroyed(TCollectionItem* item) noexcept;

  TItemFactory FItemFactory;
  TPersistent* FOwner = nullptr;
  std::vector<std::unique_ptr<TCollectionItem>> FItems;
  int FNextID = 0;
  int FUpdateCount = 0;
};

} // namespace isapi_web
