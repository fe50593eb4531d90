// The header text that follows the 354 reply. Pure functions.
#pragma once

#include "common/Types.h"

namespace zef::smtp {

// The MIME-Version and multipart Content-Type lines, the application's header, the empty line
// and the preamble. An empty charset leaves the charset parameter out.
Text MultipartHeaderBlock(const Text& subtype, const Text& charset, const Text& boundary,
                          const Text& mailHeader);

// The text sent for the header block: the X-TALVORN line with the banner, then the header block,
// with every line that begins with "." stuffed to ".." so that none can end the DATA phase.
// Raises the mailcomm Overflow (error 6) when a dot line starts beyond its 16-bit positions.
Text TransDataText(const Text& banner, const Text& headerBlock);

// The text with every line end as CR LF: a CR or LF that is not part of a CR LF pair becomes
// CR LF, as application code often writes "\n" between header lines.
Text WithCrLfLineEnds(const Text& text);

// True when the text holds a CR that is not followed by LF, or an LF that does not follow a CR.
// Such a line end is read differently by different servers; in a header sent after DATA it
// could end the message early and let the rest pass for commands.
bool HasBareLineBreak(const Text& text);

}  // namespace zef::smtp
