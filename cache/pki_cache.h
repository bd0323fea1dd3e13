// The product's PKI cache directory under the machine-wide application-data folder, emptied by
// /pkiclean.
#pragma once

// Finds the cache, refuses one reached through a link, and empties it; prints every step.
void CleanPkiCache();

// Lists `directory` and deletes the files that stand directly in it; subdirectories are listed
// and left alone. Ends with a summary of what was deleted.
void EmptyCacheDirectory(const wchar_t* directory);
