#include "Kv.Ui.Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>

#include "Kv.FileActions.h"
#include "Kv.Log.h"

namespace kv {

namespace {

const char* const KUriList = "text/uri-list";
const char* const KGnomeCopied = "x-special/gnome-copied-files";
const char* const KKdeCut = "application/x-kde-cutselection";

std::string Bytes(const QMimeData* AData, const char* AFormat) {
    QByteArray data = AData->data(QString::fromLatin1(AFormat));
    return std::string(data.constData(), static_cast<size_t>(data.size()));
}

} // namespace

QMimeData* MimeDataForFiles(const std::vector<std::string>& APaths, bool AMove) {
    auto* data = new QMimeData;
    // Raw bytes, not QUrl: a name that is not UTF-8 must reach the other program unchanged.
    std::string uris = UriListText(APaths);
    data->setData(KUriList, QByteArray(uris.data(), static_cast<qsizetype>(uris.size())));
    std::string gnome = GnomeCopiedFilesText(APaths, AMove);
    data->setData(KGnomeCopied, QByteArray(gnome.data(), static_cast<qsizetype>(gnome.size())));
    data->setData(KKdeCut, AMove ? "1" : "0");
    std::string text;
    for (const auto& path : APaths)
        text += (text.empty() ? "" : "\n") + path;
    data->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    return data;
}

void CopyFilesToClipboard(const std::vector<std::string>& APaths, bool AMove) {
    if (APaths.empty())
        return;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setMimeData(MimeDataForFiles(APaths, AMove));
}

void CopyTextToClipboard(const std::string& AText) {
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size())));
}

bool FilesFromMimeData(const QMimeData* AData, std::vector<std::string>& APaths, bool& AMove) {
    APaths.clear();
    AMove = false;
    if (!AData)
        return false;
    if (AData->hasFormat(KGnomeCopied) && ParseGnomeCopiedFiles(Bytes(AData, KGnomeCopied), APaths, AMove))
        return true;
    if (AData->hasFormat(KUriList) && ParseUriList(Bytes(AData, KUriList), APaths)) {
        AMove = AData->hasFormat(KKdeCut) && Bytes(AData, KKdeCut) == "1";
        return true;
    }
    if (AData->hasText()) {
        QByteArray text = AData->text().toUtf8();
        return ParseClipboardTextFiles(std::string_view(text.constData(), static_cast<size_t>(text.size())), APaths);
    }
    return false;
}

bool HasFileData(const QMimeData* AData) {
    std::vector<std::string> paths;
    bool move = false;
    return FilesFromMimeData(AData, paths, move);
}

bool ReadClipboardFiles(std::vector<std::string>& APaths, bool& AMove) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData() : nullptr;
    if (FilesFromMimeData(data, APaths, AMove)) {
        Log("paste: " + std::to_string(APaths.size()) + " file(s) from the clipboard, move=" +
            (AMove ? "True" : "False"));
        return true;
    }
    QStringList formats = data ? data->formats() : QStringList();
    Log("paste: no files on the clipboard; formats: " + formats.join(", ").toStdString());
    return false;
}

} // namespace kv
