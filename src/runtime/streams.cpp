#include "runtime/streams.h"

#include <algorithm>
#include <cstring>

#include "runtime/exceptions.h"

namespace isapi_web {

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) {}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
  // A stream may deliver fewer bytes than asked without being at its end; keep reading.
  auto* bytes = static_cast<char*>(buffer);
  while (count > 0) {
    const std::int32_t read = Read(bytes, count);
    if (read <= 0 || read > count) {
      throw EStreamError(u"Stream read error");
    }
    bytes += read;
    count -= read;
  }
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    const std::int32_t written = Write(bytes, count);
    if (written <= 0 || written > count) {
      throw EStreamError(u"Stream write error");
    }
    bytes += written;
    count -= written;
  }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count < 0) {
    return 0;
  }
  constexpr std::int32_t ChunkSize = 64 * 1024;
  std::string chunk(static_cast<std::size_t>(std::min<std::int64_t>(count, ChunkSize)), '\0');
  const std::int64_t total = count;
  while (count > 0) {
    const auto part = static_cast<std::int32_t>(std::min<std::int64_t>(count, ChunkSize));
    source.ReadBuffer(chunk.data(), part);
    WriteBuffer(chunk.data(), part);
    count -= part;
  }
  return total;
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  const auto size = static_cast<std::int64_t>(FData.size());
  if (count <= 0 || FPosition < 0 || FPosition >= size) {
    return 0;
  }
  const auto available = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - FPosition));
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(available));
  FPosition += available;
  return available;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0 || FPosition < 0) {
    return 0;
  }
  std::int64_t end = 0;
  if (__builtin_add_overflow(FPosition, count, &end) ||
      static_cast<std::uint64_t>(end) > FData.max_size()) {
    return 0;
  }
  if (end > static_cast<std::int64_t>(FData.size())) {
    FData.resize(static_cast<std::size_t>(end));
  }
  std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
  case TSeekOrigin::soBeginning:
    break;
  case TSeekOrigin::soCurrent:
    base = FPosition;
    break;
  case TSeekOrigin::soEnd:
    base = static_cast<std::int64_t>(FData.size());
    break;
  }
  // A position that does not fit 64 bits leaves the stream where it was.
  std::int64_t position = 0;
  if (!__builtin_add_overflow(base, offset, &position)) {
    FPosition = position;
  }
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t size) {
  if (size < 0 || static_cast<std::uint64_t>(size) > FData.max_size()) {
    throw EStreamError(u"Stream write error");
  }
  FData.resize(static_cast<std::size_t>(size));
  if (FPosition > size) {
    FPosition = size;
  }
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

std::string TStringStream::ReadString(std::int32_t count) {
  std::string text(count > 0 ? static_cast<std::size_t>(count) : 0, '\0');
  const std::int32_t read = Read(text.data(), count);
  text.resize(static_cast<std::size_t>(read));
  return text;
}

void TStringStream::WriteString(std::string_view text) {
  // Written in pieces of at most 1 GiB so that any length fits the 32-bit count.
  constexpr std::size_t Piece = std::size_t{1} << 30;
  while (!text.empty()) {
    const std::size_t part = std::min(text.size(), Piece);
    WriteBuffer(text.data(), static_cast<std::int32_t>(part));
    text.remove_prefix(part);
  }
}

} // namespace isapi_web
