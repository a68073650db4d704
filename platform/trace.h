#ifndef AUTOEXP_PLATFORM_TRACE_H_
#define AUTOEXP_PLATFORM_TRACE_H_

#include <string_view>

// Passes one text to the debugger-output channel. On Windows that is the
// debugger's output window, and the text goes as it stands: a text that should
// end a line carries its own line feed; a copy goes to standard error too,
// where the process was given one. Elsewhere the texts go to standard error.
// On standard error the texts stand one per line: a line feed is added unless
// the text ends in one. Returns false when the text could not be passed on
// (standard error closed by its reader, on POSIX).
bool DebugTrace(std::string_view text);

#endif  // AUTOEXP_PLATFORM_TRACE_H_
