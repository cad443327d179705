// The Connections window driven as a user would: fields per kind, the port rules, folders,
// drag and drop, delete, keys in text fields, save and connect; and a connection made here,
// saved under a passkey, unlocked after a restart and found in the picker.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>

#include "Kv.Connectors.Store.h"
#include "Kv.Ui.ConnectionPicker.h"
#include "Kv.Ui.ConnectorsForm.h"
#include "Kv.Ui.Dpi.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

TKvConnector Conn(const std::string& AName, const std::string& AFolder = {},
                  TKvConnectorKind AKind = ckSftp, int APort = 0) {
    TKvConnector c = NewConnector();
    c.Name = AName;
    c.Folder = AFolder;
    c.Kind = AKind;
    c.Port = APort ? APort : DefaultPortFor(AKind);
    c.Host = AName + ".example";
    c.User = "me";
    return c;
}

template <class T> T* Child(QWidget* AForm, const char* AName) {
    auto* widget = AForm->findChild<T*>(QLatin1String(AName));
    EXPECT_NE(widget, nullptr) << AName;
    return widget;
}

struct TSaved {
    int Count = 0;
    TKvConnectors List;
    TKvFolderNames Folders;
    bool Portable = false;
    std::string Passkey;
};

TKvSaveConnectorsEvent Recorder(TSaved& ASaved) {
    return [&ASaved](const TKvConnectors& AList, const TKvFolderNames& AFolders, bool APortable,
                     const std::string& APasskey) {
        ++ASaved.Count;
        ASaved.List = AList;
        ASaved.Folders = AFolders;
        ASaved.Portable = APortable;
        ASaved.Passkey = APasskey;
    };
}

// A step answering the line prompt of a folder.
TModalStep AnswerLine(const QString& ATitle, const QString& AAnswer) {
    return {IsDialog(ATitle), [AAnswer](QWidget* AWidget) {
                auto* dialog = qobject_cast<QInputDialog*>(AWidget);
                dialog->setTextValue(AAnswer);
                dialog->accept();
            }};
}

std::vector<std::string> Names(const TKvConnectors& AList) {
    std::vector<std::string> names;
    for (const auto& c : AList)
        names.push_back(c.Name + (c.Folder.empty() ? "" : "@" + c.Folder));
    return names;
}

} // namespace

TEST(ConnectorsForm, OpensOnTheCollapsedFolderOfTheConnection) {
    TSaved saved;
    TConnectorsForm form(nullptr, {Conn("a"), Conn("b", "Work")}, {}, Recorder(saved), false,
                         Conn("x").Id, false, "");
    // An unknown id: the first connection.
    EXPECT_EQ(form.Current(), 0);
    TKvConnectors list = {Conn("a"), Conn("b", "Work")};
    TConnectorsForm second(nullptr, list, {}, Recorder(saved), false, list[1].Id, false, "");
    EXPECT_EQ(second.Current(), -1);
    ASSERT_EQ(second.SelectedRow(), 0);
    EXPECT_TRUE(second.Rows()[0].IsFolder);
    EXPECT_TRUE(second.IsCollapsed("Work"));
    EXPECT_FALSE(second.Changed());
}

TEST(ConnectorsForm, FieldsShownForEachKindAndForNone) {
    TSaved saved;
    TKvConnectors list = {Conn("ssh", "", ckSsh), Conn("ftp", "", ckFtp)};
    TConnectorsForm form(nullptr, list, {"Empty"}, Recorder(saved), false, list[0].Id, false, "");
    auto shown = [&](const char* AName) {
        return Child<QCheckBox>(&form, AName)->isVisibleTo(&form);
    };
    auto enabled = [&](const char* AName) { return Child<QWidget>(&form, AName)->isEnabled(); };

    // SSH: the terminal box and the hybrid box; the shell; password login.
    EXPECT_TRUE(shown("ignoreColors") && enabled("ignoreColors"));
    EXPECT_TRUE(shown("hybrid"));
    EXPECT_FALSE(shown("updateStart") || shown("rememberOther"));
    EXPECT_TRUE(Child<QComboBox>(&form, "shell")->isVisibleTo(&form));
    EXPECT_FALSE(enabled("keyFile"));
    Child<QRadioButton>(&form, "authKey")->click();
    EXPECT_TRUE(enabled("keyFile"));
    Child<QCheckBox>(&form, "hybrid")->click(); // off: no start folder for a plain terminal
    EXPECT_FALSE(enabled("startDir"));

    // A file kind: the two file boxes in the same places, nothing of the terminal's.
    form.SelectRow(RowOfConnection(form.Rows(), 1));
    EXPECT_TRUE(shown("updateStart") && shown("rememberOther"));
    EXPECT_FALSE(shown("ignoreColors") || shown("hybrid"));
    EXPECT_FALSE(Child<QRadioButton>(&form, "authKey")->isEnabled());

    // The folder row: nothing shown, only the terminal box, greyed.
    form.SelectRow(0);
    EXPECT_EQ(form.Current(), -1);
    EXPECT_TRUE(shown("ignoreColors"));
    EXPECT_FALSE(enabled("ignoreColors"));
    EXPECT_FALSE(shown("updateStart") || shown("rememberOther") || shown("hybrid"));
    EXPECT_FALSE(enabled("name") || enabled("host") || enabled("type"));
    EXPECT_EQ(Child<QLineEdit>(&form, "name")->text(), "");
}

TEST(ConnectorsForm, UseTheSshAgentIsKeptPerConnectionAndFitsItsPlace) {
    TSaved saved;
    TKvConnectors list = {Conn("ssh", "", ckSsh), Conn("sftp"), Conn("ftp", "", ckFtp)};
    list[0].UseAgent = true;
    list[1].UseAgent = false;
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[0].Id, false, "");
    auto* agent = Child<QCheckBox>(&form, "useAgent");
    // No other visible field may share the box's place.
    auto overlapped = [&] {
        for (auto* widget : form.findChildren<QWidget*>())
            if (widget != agent && widget->parentWidget() == &form && widget->isVisibleTo(&form) &&
                widget->geometry().intersects(agent->geometry()))
                return widget->objectName().toStdString() + " " + widget->metaObject()->className();
        return std::string();
    };

    ASSERT_TRUE(agent->isVisibleTo(&form));
    EXPECT_TRUE(agent->isChecked());
    EXPECT_EQ(overlapped(), "");
    agent->click();

    form.SelectRow(RowOfConnection(form.Rows(), 1));
    ASSERT_TRUE(agent->isVisibleTo(&form));
    EXPECT_FALSE(agent->isChecked());
    EXPECT_EQ(overlapped(), "");
    agent->click();

    form.SelectRow(RowOfConnection(form.Rows(), 2));
    EXPECT_FALSE(agent->isVisibleTo(&form));
    form.SelectRow(RowOfConnection(form.Rows(), 0));
    EXPECT_FALSE(agent->isChecked());

    form.SaveClick();
    ASSERT_EQ(saved.Count, 1);
    EXPECT_FALSE(saved.List[0].UseAgent);
    EXPECT_TRUE(saved.List[1].UseAgent);
    EXPECT_EQ(saved.List[2].UseAgent, list[2].UseAgent);
}

TEST(ConnectorsForm, TypeChangeMovesTheDefaultPortAndTypedPortsAreParsed) {
    TSaved saved;
    TKvConnectors list = {Conn("std"), Conn("odd", "", ckSftp, 2222), Conn("key", "", ckSftp)};
    list[2].Auth = amKeyFile;
    list[2].KeyFile = "/k";
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[0].Id, false, "");
    QPushButton* save = ButtonNamed(&form, "Save");
    auto* type = Child<QComboBox>(&form, "type");
    auto* port = Child<QLineEdit>(&form, "port");
    type->setCurrentIndex(static_cast<int>(ckFtpsImplicit));
    EXPECT_EQ(port->text(), "990");
    EXPECT_EQ(form.List()[0].Kind, ckFtpsImplicit);
    EXPECT_EQ(form.List()[0].Port, 990);

    form.SelectRow(1);
    type->setCurrentIndex(static_cast<int>(ckFtpsImplicit));
    EXPECT_EQ(port->text(), "2222");

    // A kind without a login choice switches to the password.
    form.SelectRow(2);
    EXPECT_TRUE(Child<QRadioButton>(&form, "authKey")->isChecked());
    type->setCurrentIndex(static_cast<int>(ckWebDavs));
    EXPECT_TRUE(Child<QRadioButton>(&form, "authPassword")->isChecked());
    EXPECT_EQ(form.List()[2].Auth, amPassword);

    port->setText("");
    QTest::keyClicks(port, "70000");
    form.SaveClick();
    ASSERT_EQ(saved.Count, 1);
    EXPECT_EQ(saved.List[2].Port, 443);
    EXPECT_EQ(save->text(), "Saved");
    QTest::keyClicks(Child<QLineEdit>(&form, "user"), "x");
    EXPECT_EQ(save->text(), "Save");
}

TEST(ConnectorsForm, TextFieldsKeepDeleteAndNameChangesRetitle) {
    TSaved saved;
    TKvConnectors list = {Conn("alpha"), Conn("beta")};
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[0].Id, false, "");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    auto* name = Child<QLineEdit>(&form, "name");
    name->setFocus();
    name->setCursorPosition(0);
    QTest::keyClick(name, Qt::Key_Delete);
    QTest::keyClick(name, Qt::Key_Delete, Qt::ShiftModifier);
    QTest::keyClick(name, Qt::Key_H, Qt::ControlModifier);
    EXPECT_EQ(form.List().size(), 2u);
    // The name changed under the typing and the list follows at once.
    EXPECT_EQ(form.List()[0].Name, name->text().toStdString());
    EXPECT_NE(form.List()[0].Name, "alpha");
    form.close();
}

TEST(ConnectorsForm, DeleteKeyOnTheListAsksThenSelectsTheNext) {
    TSaved saved;
    TKvConnectors list = {Conn("a", "F"), Conn("b", "F"), Conn("c")};
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[2].Id, false, "");
    form.ToggleFolder(0); // open F
    form.SelectRow(RowOfConnection(form.Rows(), 0));
    QString question;
    {
        TModalDriver driver({{IsDialog("Connections"), [&](QWidget* AWidget) {
                                  question = AWidget->findChildren<QLabel*>().value(0)->text();
                                  ButtonNamed(AWidget, "Yes")->click();
                              }}});
        QTest::keyClick(form.findChild<TKvConnList*>(), Qt::Key_Delete);
    }
    EXPECT_EQ(question, "Delete the connection \"a\"?");
    EXPECT_EQ(Names(form.List()), (std::vector<std::string>{"b@F", "c"}));
    EXPECT_EQ(form.List()[form.Current()].Name, "b");
    EXPECT_TRUE(form.Changed());
}

TEST(ConnectorsForm, FoldersCreateRenameDelete) {
    TSaved saved;
    TKvConnectors list = {Conn("a", "Work"), Conn("b", "Work"), Conn("c", "Work"), Conn("d")};
    TConnectorsForm form(nullptr, list, {"Home"}, Recorder(saved), false, list[3].Id, false, "");
    // Empty answers ask again; an existing name is refused with the message.
    QString refusal;
    {
        TModalDriver driver({AnswerLine("New folder", "  "), AnswerLine("New folder", " WORK "),
                             AcceptMessage(refusal), AnswerLine("New folder", "Servers")});
        form.NewFolder();
    }
    EXPECT_EQ(refusal, "There is already a folder \"Work\".");
    EXPECT_EQ(form.Folders(), (TKvFolderNames{"Home", "Work", "Servers"}));
    EXPECT_TRUE(form.Rows()[form.SelectedRow()].IsFolder);
    EXPECT_EQ(form.Rows()[form.SelectedRow()].Folder, "Servers");

    // Renaming in letter case only renames, connections and all.
    form.SelectRow(RowOfFolder(form.Rows(), "Work"));
    {
        TModalDriver driver({AnswerLine("Rename folder", "WORK")});
        QTest::keyClick(form.findChild<TKvConnList*>(), Qt::Key_F2);
    }
    EXPECT_EQ(form.Folders(), (TKvFolderNames{"Home", "WORK", "Servers"}));
    EXPECT_EQ(form.List()[0].Folder, "WORK");

    // Deleting a folder with three connections asks; they are kept without a folder.
    QString question;
    {
        TModalDriver driver({{IsDialog("Connections"), [&](QWidget* AWidget) {
                                  question = AWidget->findChildren<QLabel*>().value(0)->text();
                                  ButtonNamed(AWidget, "Yes")->click();
                              }}});
        form.DeleteSelected();
    }
    EXPECT_EQ(question,
              "Delete the folder \"WORK\"? Its 3 connection(s) are kept, outside any folder.");
    EXPECT_EQ(form.Folders(), (TKvFolderNames{"Home", "Servers"}));
    EXPECT_EQ(Names(form.List()), (std::vector<std::string>{"a", "b", "c", "d"}));
    // An empty folder goes without a question.
    form.SelectRow(RowOfFolder(form.Rows(), "Home"));
    form.DeleteSelected();
    EXPECT_EQ(form.Folders(), (TKvFolderNames{"Servers"}));
}

TEST(ConnectorsForm, DraggingAConnectionOntoAFolderFilesIt) {
    TSaved saved;
    TKvConnectors list = {Conn("a", "Work"), Conn("b"), Conn("c")};
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[1].Id, false, "");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto* box = form.findChild<TKvConnList*>();
    const int rowHeight = ScaleToScreen(22);
    // Rows: [Work] (collapsed), b, c. Drag "c" onto the folder row.
    const QPoint from(60, 2 * rowHeight + rowHeight / 2), to(60, rowHeight / 2);
    QTest::mousePress(box->viewport(), Qt::LeftButton, {}, from);
    QMouseEvent move1(QEvent::MouseMove, QPointF(from + QPoint(0, -10)),
                      box->viewport()->mapToGlobal(QPointF(from)), Qt::NoButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(box->viewport(), &move1);
    QMouseEvent move2(QEvent::MouseMove, QPointF(to), box->viewport()->mapToGlobal(QPointF(to)),
                      Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box->viewport(), &move2);
    QTest::mouseRelease(box->viewport(), Qt::LeftButton, {}, to);
    EXPECT_EQ(Names(form.List()), (std::vector<std::string>{"a@Work", "c@Work", "b"}));
    EXPECT_EQ(form.List()[form.Current()].Name, "c");
    EXPECT_FALSE(form.IsCollapsed("Work")); // opened to show where it went
    EXPECT_TRUE(form.Changed());

    // A press and a small wobble is a click, not a drag.
    const int rowB = RowOfConnection(form.Rows(), 2);
    const QPoint atB(60, rowB * rowHeight + 5);
    QTest::mousePress(box->viewport(), Qt::LeftButton, {}, atB);
    QMouseEvent wobble(QEvent::MouseMove, QPointF(atB + QPoint(2, 1)),
                       box->viewport()->mapToGlobal(QPointF(atB)), Qt::NoButton, Qt::LeftButton,
                       Qt::NoModifier);
    QApplication::sendEvent(box->viewport(), &wobble);
    QTest::mouseRelease(box->viewport(), Qt::LeftButton, {}, atB + QPoint(2, 1));
    EXPECT_EQ(Names(form.List()), (std::vector<std::string>{"a@Work", "c@Work", "b"}));
    form.close();
}

TEST(ConnectorsForm, NewConnectionTakesTheTemplateAndTheSelectedFolder) {
    SetConnectorTemplate({});
    TSaved saved;
    TKvConnectors list = {Conn("a", "Work")};
    TConnectorsForm form(nullptr, list, {}, Recorder(saved), false, list[0].Id, false, "");
    form.SelectRow(0); // the folder row
    form.NewConnection();
    ASSERT_EQ(form.List().size(), 2u);
    EXPECT_EQ(form.List()[1].Folder, "Work");
    // Choices made on it are remembered for the next one.
    Child<QComboBox>(&form, "type")->setCurrentIndex(static_cast<int>(ckSsh));
    Child<QCheckBox>(&form, "ignoreColors")->click();
    form.NewConnection();
    ASSERT_EQ(form.List().size(), 3u);
    EXPECT_EQ(form.List()[2].Kind, ckSsh);
    EXPECT_EQ(form.List()[2].Port, 22);
    EXPECT_TRUE(form.List()[2].IgnoreColors);
    EXPECT_TRUE(ConnectorTemplate().Recorded);
    SetConnectorTemplate({});
}

TEST(ConnectorsForm, ConnectNeedsACompleteConnection) {
    TSaved saved;
    TKvConnectors list = {Conn("a")};
    list[0].Host = "";
    std::string connectId;
    bool portable = false;
    std::string passkey;
    QString message;
    TModalDriver driver({{IsDialog("Connections"),
                          [](QWidget* AWidget) { ButtonNamed(AWidget, "Connect")->click(); }},
                         AcceptMessage(message),
                         {IsDialog("Connections"), [](QWidget* AWidget) {
                              auto* host = AWidget->findChild<QLineEdit*>("host");
                              QTest::keyClicks(host, "server.example");
                              ButtonNamed(AWidget, "Connect")->click();
                          }}});
    TKvConnectors out = list;
    TKvFolderNames folders;
    EXPECT_TRUE(TConnectorsForm::Execute(nullptr, out, folders, Recorder(saved), connectId, false,
                                         list[0].Id, portable, passkey));
    EXPECT_EQ(message, "Fill in the host and the user name first. A key file is also needed when "
                       "you log in with a "
                       "key.");
    EXPECT_EQ(connectId, list[0].Id);
    EXPECT_EQ(saved.Count, 1);
    EXPECT_EQ(out[0].Host, "server.example");
}

TEST(ConnectorsForm, CloseWithoutChangesReturnsNothing) {
    TSaved saved;
    TKvConnectors list = {Conn("a")};
    std::string connectId = "stale";
    bool portable = true;
    std::string passkey = "held";
    TModalDriver driver({{IsDialog("Connections"), [](QWidget* AWidget) {
                              QTest::keyClick(AWidget->findChild<QLineEdit*>("user"),
                                              Qt::Key_Escape);
                          }}});
    TKvConnectors out = list;
    TKvFolderNames folders;
    EXPECT_FALSE(TConnectorsForm::Execute(nullptr, out, folders, Recorder(saved), connectId, false,
                                          "", portable, passkey));
    EXPECT_EQ(saved.Count, 0);
    EXPECT_EQ(connectId, "");
    EXPECT_EQ(passkey, "held");
    EXPECT_TRUE(portable);
    EXPECT_EQ(out, list);
}

TEST(ConnectorsForm, ExportedFromOneWindowImportedIntoAnother) {
    const QString path = QString::fromStdString(TestRoot()) + "/exported.json";
    std::filesystem::remove(path.toStdString());
    TSaved saved;
    TKvConnectors list = {Conn("a", "Work"), Conn("b")};
    for (auto& c : list)
        c.SavePassword = false;
    auto chooseFile = [path](const QString& ATitle) {
        return TModalStep{IsDialog(ATitle), [path](QWidget* AWidget) {
                              auto* dialog = qobject_cast<QFileDialog*>(AWidget);
                              ASSERT_NE(dialog, nullptr);
                              // Typed as a user types it: selectFile() leaves the name field
                              // alone while that field has the focus, which depends on timing.
                              auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                              ASSERT_NE(name, nullptr);
                              name->setText(path);
                              QMetaObject::invokeMethod(dialog, "accept");
                          }};
    };
    QString exported, imported;
    {
        TConnectorsForm form(nullptr, list, {"Empty"}, Recorder(saved), false, "", false, "");
        TModalDriver driver({chooseFile("Export connections"), AcceptMessage(exported)});
        ButtonNamed(&form, "E")->click();
    }
    EXPECT_EQ(exported, "2 connection(s) exported to " + path + ".");
    ASSERT_TRUE(std::filesystem::exists(path.toStdString()));

    TConnectorsForm other(nullptr, {Conn("c")}, {}, Recorder(saved), false, "", false, "");
    {
        TModalDriver driver({chooseFile("Import connections"), AcceptMessage(imported)});
        ButtonNamed(&other, "...")->click();
    }
    EXPECT_EQ(imported, "2 connection(s) added, 0 replaced. Save keeps them.");
    EXPECT_EQ(Names(other.List()), (std::vector<std::string>{"c", "a@Work", "b"}));
    EXPECT_EQ(other.Folders(), (TKvFolderNames{"Empty", "Work"})); // in the file's order
    EXPECT_EQ(other.List()[other.Current()].Name, "a");
    EXPECT_TRUE(other.Changed());
    EXPECT_EQ(saved.Count, 0); // nothing is saved until the user saves
}

namespace {

class TPasskeyAnswer final : public IKvPasskeyPrompt {
public:
    explicit TPasskeyAnswer(std::string APasskey) : FPasskey(std::move(APasskey)) {}
    bool InputSecret(const std::string&, const std::string&, std::string& AValue) override {
        AValue = FPasskey;
        return true;
    }

private:
    std::string FPasskey;
};

} // namespace

TEST(ConnectorsEndToEnd, MadeHereSavedWithAPasskeyUnlockedAfterARestartAndPicked) {
    const std::string path = TestRoot() + "/e2e-connectors.json";
    std::filesystem::remove(path);
    {
        TKvConnectorStore store(path);
        store.Load();
        TKvConnectors list = store.Connectors();
        TKvFolderNames folders = store.Folders();
        std::string connectId, passkey = store.Passkey();
        bool portable = store.Portable();
        TModalDriver driver({
            {IsDialog("Connections"),
             [](QWidget* AWidget) {
                 AWidget->findChild<QLineEdit*>("name")->clear();
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("name"), "Build box");
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("host"), "build.example");
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("user"), "ci");
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("secret"), "s3cret pass");
                 ButtonNamed(AWidget, "Passkey...")->click();
             }},
            {IsDialog("Passkey for saved passwords"),
             [](QWidget* AWidget) {
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("First"), "two words");
                 QTest::keyClicks(AWidget->findChild<QLineEdit*>("Second"), "two words");
                 ButtonNamed(AWidget, "Set passkey")->click();
             }},
            {IsDialog("Connections"),
             [](QWidget* AWidget) {
                 ButtonNamed(AWidget, "Save")->click();
                 ButtonNamed(AWidget, "Close")->click();
             }},
        });
        bool changed = TConnectorsForm::Execute(
            nullptr, list, folders,
            [&store](const TKvConnectors& AList, const TKvFolderNames& AFolders, bool APortable,
                     const std::string& APasskey) {
                store.Replace(AList, AFolders, APasskey, APortable);
            },
            connectId, true, "", portable, passkey);
        EXPECT_TRUE(changed);
        EXPECT_EQ(passkey, "two words");
    }
    // A new run: the file is locked until the passkey is given.
    TKvConnectorStore store(path);
    store.Load();
    ASSERT_TRUE(store.Locked());
    ASSERT_EQ(store.Connectors().size(), 1u);
    EXPECT_FALSE(store.Connectors()[0].SavePassword);
    TPasskeyAnswer answer("two words");
    ASSERT_TRUE(store.Unlock(answer));
    ASSERT_EQ(store.Connectors().size(), 1u);
    EXPECT_EQ(store.Connectors()[0].Secret, "s3cret pass");

    int picked = -1;
    QWidget owner;
    TConnectionPicker* picker = OpenConnectionPicker(
        &owner, 0, 0, store.Connectors(), store.Folders(),
        [&](TKvPickerPick AKind, int AValue) { picked = AKind == cpConnect ? AValue : -2; }, {});
    ASSERT_EQ(picker->Rows().size(), 1u);
    QTest::keyClicks(picker->Filter(), "build");
    QTest::keyClick(picker->Filter(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return picked != -1; }, 3000));
    ASSERT_EQ(picked, 0);
    EXPECT_EQ(store.Connectors()[picked].Name, "Build box");
    EXPECT_EQ(store.Connectors()[picked].Host, "build.example");
}
