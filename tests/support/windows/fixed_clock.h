// The clock the tests give the code under test (Wine takes the host's, which a test cannot set),
// and the texts the log writes at it: one place for what several programs compare.
#pragma once

#include "platform/win32.h"

#include <string>

// 2019-03-01 12:05:09.250 UTC, a Friday; the milliseconds are never shown.
constexpr SYSTEMTIME FixedClock = {2019, 3, 5, 1, 12, 5, 9, 250};

constexpr char StartBanner[] =
    "\r\n###########################################\r\nLog start time: 2019.03.01 12:05.09"
    "\r\n###########################################\r\n";
constexpr char EndBanner[] =
    "\r\n###########################################\r\nLog end time: 2019.03.01 12:05.09"
    "\r\n###########################################\r\n";
// The log's byte order mark FF FE, once the log is read as UTF-8.
inline const std::string Utf8ByteOrderMark = "\xEF\xBB\xBF";
