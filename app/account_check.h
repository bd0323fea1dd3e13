// Whether the tool runs under the LocalSystem account.
#pragma once

// True when the process token's user is LocalSystem (S-1-5-18); false otherwise and on every
// failure. Enables SeSecurityPrivilege in the token on the way. Prints nothing.
bool IsLocalSystem();
