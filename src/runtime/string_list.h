#pragma once
// TStrings: an ordered list of wide strings that keeps duplicates, read by the name=value
// convention (the name is the text before the first "=", compared without regard to ASCII case).

#include <string>
#include <string_view>
#include <vector>

namespace isapi_web {

class TStrings {
public:
  TStrings() = default;
  TStrings(const TStrings&) = default;
  TStrings& operator=(const TStrings&) = default;
  virtual ~TStrings() = default;

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  /// The line at Index; raises EListError "List index out of bounds (%d)" outside the list.
  const std::u16string& Strings(int index) const;
  void SetStrings(int index, std::u16string value);
  const std::u16string& operator[](int index) const { return Strings(index); }

  int Add(std::u16string line);
  void Insert(int index, std::u16string line);
  void Delete(int index);
  void Clear() noexcept { FItems.clear(); }
  /// Replaces this list's lines with a copy of Source's.
  void Assign(const TStrings& source) { FItems = source.FItems; }

  /// The index of the first line equal to Text (ASCII case ignored), or -1.
  int IndexOf(std::u16string_view text) const;
  /// The text before the first "=" of line Index; empty when the line has none.
  std::u16string Names(int index) const;
  /// The text after the first "=" of line Index; empty when the line has none.
  std::u16string ValueFromIndex(int index) const;
  /// The index of the first line holding "=" whose name is Name (ASCII case ignored), or -1.
  int IndexOfName(std::u16string_view name) const;
  /// The value of the first line named Name; empty when absent.
  std::u16string Values(std::u16string_view name) const;
  /// A non-empty value replaces the first line of that name or appends "name=value";
  /// an empty value deletes the first line of that name.
  void SetValues(std::u16string_view name, std::u16string_view value);

  /// The lines, each followed by CR LF.
  std::u16string Text() const;
  /// Replaces the lines with those of Text, split at CR LF, LF or CR.
  void SetText(std::u16string_view text);

  std::vector<std::u16string>::const_iterator begin() const noexcept { return FItems.begin(); }
  std::vector<std::u16string>::const_iterator end() const noexcept { return FItems.end(); }

private:
  void CheckIndex(int index, bool allowEnd = false) const;
  std::vector<std::u16string> FItems;
};

using TStringList = TStrings;

} // namespace isapi_web
