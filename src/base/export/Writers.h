#pragma once

#include "export/BookFileExport.h"
#include "export/Manuscript.h"

#include <QTextLayout>

#include <memory>

// A paragraph as the PDF lays it out in a font of pointSize: trimmed, indented unless centred or set
// to the right, its runs' bold, italic, underline and size as format ranges of the text.
struct PdfParagraph {
    QString text;
    QVector<QTextLayout::FormatRange> formats;
    Qt::Alignment align = Qt::AlignLeft;
};
PdfParagraph pdfParagraph(const Manuscript::Paragraph &paragraph, qreal pointSize);

std::unique_ptr<ManuscriptWriter> makeTxtWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeEpubWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeDocxWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makeOdtWriter(const BookFileExport::Options &options);
std::unique_ptr<ManuscriptWriter> makePdfWriter(const BookFileExport::Options &options);
