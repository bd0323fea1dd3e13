// Whether the machine's clock lies inside the window in which the service's server certificate
// can be valid; a clock outside it makes every trusted exchange with the service fail.
#pragma once

#include "platform/win32.h"

// The window's exclusive bounds, UTC: the server certificate's first valid instant, and the last
// whole second of the day on which it expires.
inline constexpr SYSTEMTIME SystemTimeLowerBound = {2019, 1, 1, 28, 0, 0, 0, 0};
inline constexpr SYSTEMTIME SystemTimeUpperBound = {2021, 3, 0, 28, 23, 59, 59, 0};

// Prints the current UTC time and whether it lies strictly inside the window.
void CheckSystemTime();
