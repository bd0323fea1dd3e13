#include "platform/win32.h"
#include "run_driver.h"

extern "C" int wmain(int argc, wchar_t** argv) {
    return RunDriver(argc, argv);
}
