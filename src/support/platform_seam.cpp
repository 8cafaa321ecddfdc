// SPDX-License-Identifier: Zlib
#include "support/platform_seam.h"

// Constant-initialised to all nulls: the stub runs no static constructors.
constinit PlatformOverrides g_platform_overrides{};
