// The token's user as LocalSystem: Wine runs every program as an ordinary user and has no way to
// run one as LocalSystem, so the code under test's GetTokenInformation(TokenUser) is answered.
#pragma once

#include "support/windows/faults.h"

void AnswerTokenUserAsLocalSystem(ImportFaults& faults);
