#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

#include "Kv.FileActions.h"
#include "Kv.Ui.Clipboard.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

std::string Format(const QMimeData* AData, const char* AName) {
    QByteArray data = AData->data(AName);
    return std::string(data.constData(), static_cast<size_t>(data.size()));
}

TEST(Clipboard, FilesPutThereReadBackInEveryFormat) {
    const std::vector<std::string> paths = {"/tmp/a b/it's \"x\"", "/tmp/Grüße\n2", "/tmp/raw-\xff"};
    for (bool move : {false, true}) {
        CopyFilesToClipboard(paths, move);
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Format(data, "text/uri-list"), UriListText(paths));
        EXPECT_EQ(Format(data, "x-special/gnome-copied-files"), GnomeCopiedFilesText(paths, move));
        EXPECT_EQ(Format(data, "application/x-kde-cutselection"), move ? "1" : "0");
        // What Qt itself (and so every Qt program) reads from it.
        ASSERT_EQ(data->urls().size(), 3);
        EXPECT_EQ(data->urls()[0].toLocalFile().toStdString(), paths[0]);
        EXPECT_EQ(data->urls()[1].toLocalFile().toStdString(), paths[1]);
        std::vector<std::string> back;
        bool backMove = !move;
        ASSERT_TRUE(ReadClipboardFiles(back, backMove));
        EXPECT_EQ(back, paths);
        EXPECT_EQ(backMove, move);
    }
}

TEST(Clipboard, WhatOtherProgramsPutThere) {
    TTempDir dir;
    WriteFile(dir / "one", "");
    WriteFile(dir / "two words", "");
    struct TCase {
        const char* Format;
        std::string Bytes;
        bool Ok;
        bool Move;
    } cases[] = {
        // Nautilus, Caja, Nemo and Thunar: the verb first; "cut" is a move.
        {"x-special/gnome-copied-files", "cut\n" + LocalFileUrl(dir / "one") + "\n" + LocalFileUrl(dir / "two words"),
         true, true},
        {"text/uri-list", UriListText({dir / "one", dir / "two words"}), true, false},
        {"text/plain", dir / "one" + "\n\"" + dir / "two words" + "\"", true, false},
        {"text/plain", "just some words", false, false},
        {"text/uri-list", "https://example.com/a\r\n", false, false},
    };
    for (const auto& c : cases) {
        auto* data = new QMimeData;
        data->setData(c.Format, QByteArray(c.Bytes.data(), static_cast<qsizetype>(c.Bytes.size())));
        QGuiApplication::clipboard()->setMimeData(data);
        std::vector<std::string> paths;
        bool move = false;
        EXPECT_EQ(ReadClipboardFiles(paths, move), c.Ok) << c.Bytes;
        EXPECT_EQ(HasFileData(QGuiApplication::clipboard()->mimeData()), c.Ok) << c.Bytes;
        if (c.Ok) {
            EXPECT_EQ(paths, (std::vector<std::string>{dir / "one", dir / "two words"})) << c.Bytes;
            EXPECT_EQ(move, c.Move) << c.Bytes;
        }
    }
    // Dolphin: a uri-list with the KDE cut mark.
    auto* kde = new QMimeData;
    std::string uris = UriListText({dir / "one"});
    kde->setData("text/uri-list", QByteArray(uris.data(), static_cast<qsizetype>(uris.size())));
    kde->setData("application/x-kde-cutselection", "1");
    std::vector<std::string> paths;
    bool move = false;
    ASSERT_TRUE(FilesFromMimeData(kde, paths, move));
    EXPECT_TRUE(move);
    delete kde;
    CopyTextToClipboard("plain text");
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "plain text");
}

} // namespace
