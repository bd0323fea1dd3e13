#include "system_time.h"

#include "report/report_log.h"

void CheckSystemTime() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    // Conversions of valid SYSTEMTIME values cannot fail: their results are not checked.
    FILETIME nowFileTime, lower, upper;
    SystemTimeToFileTime(&now, &nowFileTime);
    SystemTimeToFileTime(&SystemTimeLowerBound, &lower);
    SystemTimeToFileTime(&SystemTimeUpperBound, &upper);
    g_reportLog->Print(L"\r\nSystem time is: %04d.%02d.%02d %02d:%02d.%02d", now.wYear, now.wMonth,
                       now.wDay, now.wHour, now.wMinute, now.wSecond);
    if (CompareFileTime(&lower, &nowFileTime) == -1 &&
        CompareFileTime(&nowFileTime, &upper) == -1) {
        g_reportLog->Print(L"\r\nOK");
    } else {
        g_reportLog->PrintError(L"\r\nError: Windows has invalid system time");
    }
}
