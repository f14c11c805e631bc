#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <vector>

namespace kestro_test {

// What the reference MCAP reader (Node, @mcap/core) found in a file:
// "stream" (the streaming reader) and, with full, "indexed" (the summary
// reader, schema validation and checksums); see mcap_peer_reader.js.
QJsonObject readWithReferenceReader(const QString& file, bool full);
// The streaming reader's findings on the first N bytes of the file, for each
// N in cuts, in order.
QJsonArray readCutWithReferenceReader(const QString& file, const std::vector<int>& cuts);

} // namespace kestro_test
