// Whether the machine's RSA/AES provider can hash with SHA-256, which the service's certificate
// and its CA are signed with.
#pragma once

// Prints the heading and one verdict line.
void CheckSha2Support();
