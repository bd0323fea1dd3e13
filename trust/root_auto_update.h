// Whether the machine may fetch a missing trusted root when a chain needs one: the component
// setting of systems before Vista and the certificate policy of every system.
#pragma once

// Prints the heading and one verdict line per setting.
void CheckRootAutoUpdate();
