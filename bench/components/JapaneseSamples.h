// Sample text for the component benchmarks: the same Japanese-heavy lines in every encoding
// that received mail uses, made at start-up by the converters (ICU for Shift_JIS and EUC-JP,
// the Glyph component for ISO-2022-JP), never typed in as bytes.
#pragma once

#include <string>
#include <vector>

#include "common/Types.h"

namespace zef::bench {

enum class Sample { kAscii, kIso2022Jp, kShiftJis, kEucJp, kUtf8 };

// About `bytes` bytes of lines (without line ends) in the given encoding; kAscii lines are
// English. The lines of the Japanese samples carry the same text in each encoding.
std::vector<Bytes> SampleLines(Sample sample, size_t bytes);

// The lines as one text (UTF-16), CR LF after each.
Text SampleText(Sample sample, size_t bytes);

// Bytes of random data, the same for every call with the same size.
Bytes RandomBytes(size_t size);

// The name of the encoding, for the benchmark labels.
const char* SampleName(Sample sample);

}  // namespace zef::bench
