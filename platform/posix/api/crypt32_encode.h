// crypt32: X.500 name and Base64 rendering.
#pragma once

#include "crypt32.h"
