#include "runtime/streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "expect_error.h"

namespace isapi_web {
namespace {

// A stream over a fixed text that hands out at most Chunk bytes per Read, accepts at most
// Accept bytes in all, and relies on the base for Size.
class TTrickleStream : public TStream {
public:
  TTrickleStream(std::string data, std::int32_t chunk, std::int64_t accept)
      : FData(std::move(data)), FChunk(chunk), FAccept(accept) {}

  std::int32_t Read(void* buffer, std::int32_t count) override {
    const auto available = static_cast<std::int64_t>(FData.size()) - FPosition;
    const auto n = static_cast<std::int32_t>(
        std::max<std::int64_t>(0, std::min<std::int64_t>({count, FChunk, available})));
    std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
  }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, FAccept));
    FWritten.append(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
    FAccept -= n;
    return n;
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                              : origin == TSeekOrigin::soCurrent
                                  ? FPosition
                                  : static_cast<std::int64_t>(FData.size());
    FPosition = base + offset;
    return FPosition;
  }

  std::string FData;
  std::string FWritten;
  std::int32_t FChunk;
  std::int64_t FAccept;
  std::int64_t FPosition = 0;
};

template <class F> void ExpectStreamError(F&& f, std::u16string_view message) {
  ExpectError<EStreamError>(f, u"EStreamError", message);
}

TEST(StreamsTest, MemoryStreamReadsWritesAndSeeks) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("hello\0world", 11), 11);
  EXPECT_EQ(stream.Size(), 11);
  EXPECT_EQ(stream.Position(), 11);
  EXPECT_EQ(stream.Bytes(), std::string("hello\0world", 11));

  char buffer[16] = {};
  EXPECT_EQ(stream.Read(buffer, 4), 0); // at the end
  stream.SetPosition(6);
  EXPECT_EQ(stream.Read(buffer, 16), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(stream.Seek(-5, TSeekOrigin::soEnd), 6);
  EXPECT_EQ(stream.Seek(-6, TSeekOrigin::soCurrent), 0);
  EXPECT_EQ(stream.Write("J", 1), 1);
  EXPECT_EQ(stream.Bytes(), std::string("Jello\0world", 11));
  EXPECT_EQ(stream.Read(buffer, -1), 0);
  EXPECT_EQ(stream.Write("x", 0), 0);

  // Writing past the end fills the gap with zero bytes.
  stream.Seek(2, TSeekOrigin::soEnd);
  stream.WriteBuffer("!", 1);
  EXPECT_EQ(stream.Bytes(), std::string("Jello\0world\0\0!", 14));

  stream.SetSize(5);
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(stream.Bytes(), "Jello");
  stream.SetSize(7);
  EXPECT_EQ(stream.Bytes(), std::string("Jello\0\0", 7));
  ExpectStreamError([&] { stream.SetSize(-1); }, u"Stream write error");

  // A negative position reads and writes nothing.
  stream.SetPosition(-3);
  EXPECT_EQ(stream.Read(buffer, 2), 0);
  EXPECT_EQ(stream.Write("ab", 2), 0);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
}

TEST(StreamsTest, ReadBufferAndWriteBufferAreAllOrError) {
  TMemoryStream stream(std::string("abc"));
  char buffer[8] = {};
  stream.ReadBuffer(buffer, 2);
  EXPECT_EQ(std::string(buffer, 2), "ab");
  ExpectStreamError([&] { stream.ReadBuffer(buffer, 2); }, u"Stream read error");
  stream.ReadBuffer(buffer, 0);

  // Short reads and writes are completed by further calls.
  TTrickleStream trickle("0123456789", 3, 4);
  trickle.ReadBuffer(buffer, 8);
  EXPECT_EQ(std::string(buffer, 8), "01234567");
  trickle.WriteBuffer("wxyz", 4);
  EXPECT_EQ(trickle.FWritten, "wxyz");
  ExpectStreamError([&] { trickle.WriteBuffer("more", 4); }, u"Stream write error");
}

TEST(StreamsTest, BaseSizeSeeksToTheEndAndBack) {
  TTrickleStream trickle("0123456789", 10, 0);
  trickle.SetPosition(4);
  EXPECT_EQ(trickle.Size(), 10);
  EXPECT_EQ(trickle.Position(), 4);
}

TEST(StreamsTest, CopyFromCopiesACountOrTheWholeSource) {
  TTrickleStream source("0123456789", 3, 0);
  TMemoryStream target;
  source.SetPosition(2);
  EXPECT_EQ(target.CopyFrom(source, 5), 5);
  EXPECT_EQ(target.Bytes(), "23456");
  EXPECT_EQ(target.CopyFrom(source, 0), 10); // the whole source, from its start
  EXPECT_EQ(target.Bytes(), "234560123456789");
  source.SetPosition(8);
  ExpectStreamError([&] { target.CopyFrom(source, 5); }, u"Stream read error");

  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<char>(i * 7);
  }
  TMemoryStream bigSource(big);
  TMemoryStream bigTarget;
  EXPECT_EQ(bigTarget.CopyFrom(bigSource, 0), 200000);
  EXPECT_EQ(bigTarget.Bytes(), big);
}

TEST(StreamsTest, StringStreamHoldsNarrowText) {
  TStringStream stream(std::string("head"));
  stream.Seek(0, TSeekOrigin::soEnd);
  stream.WriteString(std::string("\0tail\xFF", 6));
  EXPECT_EQ(stream.DataString(), std::string("head\0tail\xFF", 10));
  stream.SetPosition(3);
  EXPECT_EQ(stream.ReadString(4), std::string("d\0ta", 4));
  EXPECT_EQ(stream.ReadString(100), "il\xFF");
  EXPECT_EQ(stream.ReadString(5), "");
  EXPECT_EQ(stream.ReadString(-5), "");
}

} // namespace
} // namespace isapi_web
