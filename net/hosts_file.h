// Whether the system's hosts file names the vendor's service host or domains: such an entry
// overrides name resolution for them.
#pragma once

// Prints the heading, a finding per name found and the file between rulers, or "OK".
void TestHostsFile();
