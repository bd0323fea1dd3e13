// winhttp: the synchronous HTTPS client.
#pragma once

#include "crypt32.h"
