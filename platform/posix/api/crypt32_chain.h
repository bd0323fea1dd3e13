// crypt32: certificate stores, the import, chain engines, chain building and policy.
#pragma once

#include "crypt32.h"
