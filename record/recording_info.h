#pragma once

#include <ostream>
#include <string>

// kestro-mcap-info's work: a few lines about a recording (channels, message
// counts, duration, the events) on `out`, problems on `err`. Returns the
// exit code: 0 for an intact file, 1 for a damaged or cut-off one (what
// could be read is still printed), 2 when the file cannot be read at all.
int printRecordingInfo(const std::string& path, std::ostream& out, std::ostream& err);
