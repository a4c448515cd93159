#pragma once

// The older name of Columns.h: COLUMNS(...) in foo_data(), FETCH(...) in foo().
#include "Columns.h"
