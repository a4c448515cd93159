#pragma once

#include <QObject>
#include <QString>

class QIODevice;

namespace qompress {

// A thin wrapper over minizip: reads and writes zip archives entry by entry.
class QZipFile final : public QObject
{
    Q_OBJECT
public:
    enum OpenMode { ReadOnly, WriteOnly, Append };

    struct EntryInfo {
        QString name;            // decoded name (UTF-8 when flagged so)
        qint64 uncompressedSize = 0;
        bool nameCut = false;    // longer than 256 bytes
        bool symbolicLink = false;
        bool directory = false;
    };

    explicit QZipFile(const QString &fileName, QObject *parent = nullptr);
    ~QZipFile() override;

    bool open(OpenMode mode);
    void close();
    bool currentFileInfo(EntryInfo *info);
    bool goToFirstFile();
    bool goToNextFile();
    // Writes the current entry into device; false on a read error or a bad CRC.
    bool extractCurrent(QIODevice *device, const QString &password = QString());
    bool extract(const QString &entryName, QIODevice *device, const QString &password = QString());
    bool addFile(const QString &entryName, QIODevice *device, const QString &password = QString());
    QString lastError() const { return m_lastError; }

private:
    QString m_fileName;
    void *m_unz = nullptr;
    void *m_zip = nullptr;
    QString m_lastError;
};

} // namespace qompress

// Unpacks every entry of an archive below destination, after checking all of them: names that
// would leave the folder, links, cut names and the author's own files refuse the whole archive
// (Exception naming the entry) before anything is written.
void extractZip(const QString &zipPath, const QString &destination);

// A material upgrade: staged in temp/materialUpgrade/ of the data folder, checked (CRC, sizes,
// free space, each library opens with its key at version 3.0 or later), then renamed into place.
// Any failure removes the staging and leaves the data folder as it was.
void installMaterialUpgrade(const QString &zipPath, const QString &dataFolder);
