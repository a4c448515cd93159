#pragma once

// The failure type lives with the ground floor (core/), below storage; this name stays for the layers above.
#include "core/Exception.h"
