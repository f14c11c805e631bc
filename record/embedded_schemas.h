#pragma once

// The JSON schemas of the recording's channels (record/schemas), compiled in.
namespace embedded_schemas {
extern const char* const kCompressedImage;
extern const char* const kImageAnnotations;
extern const char* const kLog;
extern const char* const kCommandedState;
extern const char* const kTelemetry;
} // namespace embedded_schemas
