#pragma once
// Byte streams: the abstract TStream and its memory-backed forms.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace isapi_web {

enum class TSeekOrigin : std::uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  /// Reads at most Count bytes into Buffer; answers the number read (0 at the end).
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  /// Writes Count bytes; answers the number written.
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  /// Moves the position; answers the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  /// The size in bytes; the base finds it by seeking to the end and back.
  virtual std::int64_t Size();
  /// Streams that cannot change their size ignore this.
  virtual void SetSize(std::int64_t size);
  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  /// Reads exactly Count bytes or raises EStreamError "Stream read error".
  void ReadBuffer(void* buffer, std::int32_t count);
  /// Writes exactly Count bytes or raises EStreamError "Stream write error".
  void WriteBuffer(const void* buffer, std::int32_t count);
  /// Copies Count bytes from Source's position (all of Source from its start when Count is 0);
  /// answers the number copied. Raises EStreamError when Source ends early or a write fails.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

/// A stream over a growable byte buffer. Seeking past the end is allowed; a write there fills
/// the gap with zero bytes.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : FData(std::move(bytes)) {}

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  /// Truncates or zero-extends; a position beyond the new end moves to it.
  void SetSize(std::int64_t size) override;
  void Clear();

  const std::string& Bytes() const noexcept { return FData; }

private:
  std::string FData;
  std::int64_t FPosition = 0;
};

/// A memory stream made from and read back as a narrow string.
class TStringStream : public TMemoryStream {
public:
  TStringStream() = default;
  explicit TStringStream(std::string bytes) : TMemoryStream(std::move(bytes)) {}

  const std::string& DataString() const noexcept { return Bytes(); }
  /// Reads at most Count bytes from the position.
  std::string ReadString(std::int32_t count);
  /// Writes the bytes of Text at the position.
  void WriteString(std::string_view text);
};

} // namespace isapi_web
