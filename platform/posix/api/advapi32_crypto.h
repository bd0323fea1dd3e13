// advapi32: CryptoAPI providers and hashes.
#pragma once

#include "types.h"
