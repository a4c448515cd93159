#pragma once

#include "libtool/LibrarySource.h"

// Large synthetic libraries for benchmarks.
namespace libtool {

struct GenerateOptions {
    int entries = 150000;
    int folders = 3000;   // leaf folders, grouped under top folders of 50
    int largest = 5000;   // entries in the first folder, the biggest one
    unsigned seed = 1;
};

Library generateLibrary(const GenerateOptions &options);

} // namespace libtool
