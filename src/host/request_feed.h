#pragma once
// When the request parser may be handed what is buffered.

#include <cstddef>

namespace isapi_web::host {

/// The fewest bytes a chunked body can end in: the last chunk "0" CRLF and the CRLF after the
/// trailer.
inline constexpr std::size_t LastChunkSize = 5;

/// Whether the parser is to be called with the buffered bytes; askedForMore is true when its last
/// call ended by asking for more. In a chunked body a parser that asked for more waits for at
/// least LastChunkSize bytes: Beast's chunk parser (1.74) asserts that a last-chunk line it has
/// seen comes back with five bytes or more, and a client that sends "0" CRLF and then one byte
/// would otherwise abort a host built with assertions. Fewer bytes can never end the body, so
/// waiting loses nothing: more must come, or the end of the stream cuts the message short as it
/// would have anyway.
template <class Parser>
bool ReadyToParse(const Parser& parser, std::size_t buffered, bool askedForMore) {
  if (buffered == 0)
    return false;
  return !askedForMore || !parser.is_header_done() || !parser.chunked() ||
         buffered >= LastChunkSize;
}

} // namespace isapi_web::host
