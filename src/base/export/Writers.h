#pragma once

#include "export/BookFileExport.h"
#include "export/Manuscript.h"

#include <memory>

std::unique_ptr<ManuscriptWriter> makeTxtWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeEpubWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeDocxWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeOdtWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makePdfWriter(const BookFileExport::Options &options);
