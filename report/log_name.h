// Where the log's name comes from, which makes no platform call: built natively too.
#pragma once

// Where ".txt" goes in `path` (argv[0]): its file name's last '.', or the path's end when there
// is none.
wchar_t* LogNameSuffix(wchar_t* path);
