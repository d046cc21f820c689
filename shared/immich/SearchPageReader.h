#pragma once

#include "ImmichRecords.h"

#include <QByteArrayView>

namespace pixavella::client {

// The answer of POST search/metadata read straight from its bytes into records, by the rules
// of SearchResponse::fromJson (the reference: same records, and a decoding error wherever it
// fails), without building a JSON document first. A whole-library listing spends most of its
// time and memory decoding pages, so:
// - only the keys the records hold are turned into values; the rest is checked and skipped;
// - "type" values and a fileModifiedAt equal to fileCreatedAt share one string;
// - the other strings are packed into shared blocks of a few kilobytes (each string keeps its
//   block alive, null-terminated, copy-on-write like any QString) instead of one heap block each;
//   a string kept after the rest of its page is gone keeps its 8 KiB block.
Result<SearchResponse> readSearchPage(QByteArrayView json);

// A quick guess at the page number under "assets"."nextPage", read near the end of the body
// where servers put it, so the next page can be asked for before this one is decoded. Only
// readSearchPage decides.
std::optional<int> peekNextPage(QByteArrayView json);

} // namespace pixavella::client
