// The single key press that ends a run.
#pragma once

// Waits for one key press on the console's own input device (not standard input): no Enter,
// no echo. Returns at once when the process has no console.
void WaitForKeyPress();
