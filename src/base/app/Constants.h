#pragma once

// The constants live with the ground floor (core/), below storage; this name stays for the layers above.
#include "core/Constants.h"
