#include "host/client_channel.h"

#include <algorithm>

#include "host/host_system.h"
#include "host/static_files.h"

namespace isapi_web::host {

TSendResult SendPiecesNow(IClientChannel& channel, std::vector<TSendPiece>& pieces) {
  std::string buffer;
  for (const TSendPiece& piece : pieces) {
    if (piece.File == nullptr) {
      const TSendResult result = channel.SendNow(piece.Bytes);
      if (result != TSendResult::Sent)
        return result;
      continue;
    }
    std::uint64_t offset = piece.Offset;
    std::uint64_t left = piece.Length;
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, FilePiece)));
    while (left > 0) {
      const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, FilePiece));
      const std::int64_t got = ReadExtensionFile(piece.File, offset, buffer.data(), wanted);
      if (got <= 0)
        return TSendResult::FileFailed;
      const TSendResult result =
          channel.SendNow(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
      if (result != TSendResult::Sent)
        return result;
      offset += static_cast<std::uint64_t>(got);
      left -= static_cast<std::uint64_t>(got);
    }
  }
  return TSendResult::Sent;
}

} // namespace isapi_web::host
