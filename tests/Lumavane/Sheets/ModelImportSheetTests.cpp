// The import sheet over a real session: its states, the candidate's rows, replacements that
// discard only once the new candidate is there, busy refusals and what closing leaves behind.
#include "ModelImportSheetTestSupport.hpp"

#include <QAbstractButton>
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/VideoDropArea.hpp"

#include <QAbstractItemView>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using State = ModelImportSheet::State;
using test::SheetHarness;

std::vector<std::pair<QString, QString>> rowsShown(const SheetHarness& h) {
    std::vector<std::pair<QString, QString>> rows;
    const auto labels = h.find("details")->findChildren<QLabel*>("rowLabel");
    const auto values = h.find("details")->findChildren<ElidedLabel*>("rowValue");
    for (qsizetype i = 0; i < std::min(labels.size(), values.size()); ++i)
        rows.emplace_back(labels[i]->text(), values[i]->fullText());
    return rows;
}

TEST(ModelImportSheet, RowsShowWhatTheCandidateDeclares) {
    using Rows = std::vector<std::pair<QString, QString>>;
    const auto manifest = [](std::vector<std::vector<std::int64_t>> scales) {
        ModelSeriesManifest m;
        m.name = "Example Anime";
        m.author.name = "Example";
        m.version = "2.1";
        m.license = "MIT";
        for (auto& s : scales) m.variants.push_back({.outputScales = std::move(s)});
        return m;
    };
    ModelImportCandidate single{.selectedURL = "/models/Anime-4x.mlmodel"};
    ModelImportCandidate folder{.selectedURL = "/models/Series", .manifest = manifest({{4}, {2, 4}})};
    ModelImportCandidate zip = folder;
    zip.preparedArchive = ModelArchiveImporter::PreparedPackage{};
    ModelImportCandidate bare{.selectedURL = "/models/Series", .manifest = manifest({})};
    const Rows series = {{"モデル", "Example Anime"}, {"作者", "Example"}, {"バージョン", "2.1"},
                         {"ライセンス", "MIT"},      {"対応倍率", "2× / 4×"}};
    const struct {
        const char* name;
        const ModelImportCandidate& candidate;
        Rows rows;
    } cases[] = {
        {"single model file", single, {{"モデル", "Anime-4x"}, {"形式", "単体モデル"}}},
        {"folder", folder, series},
        {"zip", zip, [&] {
             Rows rows = series;
             rows.emplace_back("形式", "ZIP");
             return rows;
         }()},
        {"no variants", bare, {{"モデル", "Example Anime"}, {"作者", "Example"}, {"バージョン", "2.1"},
                               {"ライセンス", "MIT"}, {"対応倍率", ""}}},
    };
    test::PanelHarness language{"sheet-rows"};
    for (const auto& c : cases) EXPECT_EQ(ModelImportSheet::confirmationRows(c.candidate), c.rows) << c.name;
}

TEST(ModelImportSheet, DropsPrepareTheFirstItemAndReplaceTheCandidateOnlyWhenTheNewOneArrives) {
    SheetHarness h;
    // A message from before the sheet opened shows under the chooser.
    h.session->prepareModelImportCandidate(h.root / "missing.json", {});
    ASSERT_TRUE(h.session->message());
    EXPECT_EQ(h.sheet->state(), State::failed);
    EXPECT_TRUE(h.shown("chooserMessage"));
    // In the user's words with the file's name, not the library's "filesystem error: ...".
    EXPECT_EQ(static_cast<QLabel*>(h.find("chooserMessage"))->text(), "<「missing.json」を読み込めませんでした。>");
    EXPECT_FALSE(h.shown("confirmation"));
    // The drop hint names this system's file manager, in both languages.
    for (const auto& [language, hint] : {std::pair{"ja", "ファイルマネージャーからここへドラッグ＆ドロップできます。"},
                                         {"en", "You can drag and drop here from your file manager."}}) {
        h.panels.languages.select(language);
        EXPECT_EQ(static_cast<QLabel*>(h.find("dropHint"))->text(), QString(hint));
        for (const QLabel* label : h.sheet->findChildren<QLabel*>())
            EXPECT_FALSE(label->text().contains("Finder") || label->text().contains("Mac")) << label->text().toStdString();
    }
    h.panels.languages.select("ja");

    // Three items dropped on the middle area: only the first is prepared.
    QMimeData three;
    three.setUrls({QUrl::fromLocalFile(QString::fromStdString(h.series("Series").string())),
                   QUrl::fromLocalFile(QString::fromStdString(h.modelFile("b.mlmodel").string())),
                   QUrl::fromLocalFile(QString::fromStdString(h.modelFile("c.mlmodel").string()))});
    EXPECT_TRUE(h.find("dropArea")->findChild<VideoDropArea*>()->drop(three));
    EXPECT_EQ(h.sheet->state(), State::candidateShown);
    EXPECT_TRUE(h.shown("confirmation"));
    EXPECT_FALSE(h.shown("confirmationMessage"));
    EXPECT_EQ(rowsShown(h).size(), 5u);
    EXPECT_EQ(rowsShown(h)[0].second, "Example Anime");

    // A ZIP dropped onto the confirmation: nothing changes until it is ready.
    const fs::path good = h.zip("good.zip", test::packageEntries());
    EXPECT_TRUE(h.sheet->acceptDroppedModel({good}));
    EXPECT_TRUE(h.session->preparingModelImport());
    EXPECT_FALSE(h.sheet->acceptDroppedModel({good})) << "a drop while preparing";
    EXPECT_TRUE(h.shown("confirmation"));
    EXPECT_FALSE(h.shown("preparing"));
    EXPECT_TRUE(h.find("import")->isEnabled());
    EXPECT_EQ(h.sheet->candidate()->selectedURL, h.root / "Series");
    h.settle();
    ASSERT_TRUE(h.sheet->candidate()->preparedArchive);
    EXPECT_EQ(rowsShown(h).size(), 6u);
    EXPECT_EQ(rowsShown(h).back(), std::make_pair(QString("形式"), QString("ZIP")));
    const fs::path staging = h.sheet->candidate()->preparedArchive->stagingRoot;
    EXPECT_TRUE(fs::exists(staging));

    // A hostile replacement fails: the ZIP candidate stays, with the session's message under it.
    std::vector<test::ZipEntry> hostile = test::packageEntries();
    hostile.push_back({"../escape.txt", "x"});
    EXPECT_TRUE(h.sheet->acceptDroppedModel({h.zip("hostile.zip", hostile)}));
    h.settle();
    EXPECT_EQ(h.sheet->candidate()->preparedArchive->stagingRoot, staging);
    EXPECT_TRUE(fs::exists(staging));
    EXPECT_TRUE(h.shown("confirmationMessage"));
    EXPECT_EQ(static_cast<QLabel*>(h.find("confirmationMessage"))->text().toStdString(), *h.session->message());

    // Another model through the open panel replaces it and takes the staging folder away.
    h.panels.dialogs.items.push_back({h.modelFile("Anime-4x.mlmodel")});
    static_cast<QAbstractButton*>(h.find("chooseAnother"))->click();
    EXPECT_EQ(rowsShown(h), (std::vector<std::pair<QString, QString>>{{"モデル", "Anime-4x"}, {"形式", "単体モデル"}}));
    EXPECT_FALSE(h.shown("confirmationMessage"));
    EXPECT_FALSE(h.stagingLeft());
    // A cancelled panel keeps it.
    static_cast<QAbstractButton*>(h.find("chooseAnother"))->click();
    EXPECT_EQ(h.sheet->candidate()->selectedURL, h.root / "Anime-4x.mlmodel");
    EXPECT_EQ(h.panels.dialogs.itemRequests.size(), 2u);
}

// Pumps events until the condition holds (generous: the machine may be loaded).
bool waitFor(const std::function<bool()>& condition) {
    for (int waited = 0; waited < 30000; waited += 5) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // closed sheets and alerts
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// The row of `name` in the dialog's list once the file system model has read the folder.
QModelIndex listed(QAbstractItemView& view, const QString& name) {
    for (int attempt = 0; attempt < 12000; ++attempt) {
        const QAbstractItemModel* model = view.model();
        for (int row = 0; row < model->rowCount(view.rootIndex()); ++row) {
            const QModelIndex index = model->index(row, 0, view.rootIndex());
            if (index.data().toString() == name) return index;
        }
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

QAbstractItemView* shownList(QFileDialog& dialog) {
    for (auto* view : dialog.findChildren<QAbstractItemView*>())
        if ((view->objectName() == "listView" || view->objectName() == "treeView") && view->isVisible()) return view;
    return nullptr;
}

void doubleClick(QFileDialog& dialog, const QString& name) {
    QAbstractItemView* view = shownList(dialog);
    ASSERT_TRUE(view);
    const QModelIndex index = listed(*view, name);
    ASSERT_TRUE(index.isValid()) << name.toStdString();
    view->scrollTo(index);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// Clicks `button` of the sheet; `act` works Qt's open panel once it is up, which is then cancelled
// if still open, so a refused choice fails the test instead of hanging it.
void withPanel(QAbstractButton* button, const std::function<void(QFileDialog&)>& act) {
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dialog) << "no open panel";
        act(*dialog);
        if (dialog->isVisible()) dialog->reject();
    });
    button->click();
}

// Qt's own open panel: one file or folder, a model package chosen whole by opening it, a folder
// that holds a series chosen by name, starting where the model in use lies.
TEST(ModelImportSheet, TheOpenPanelChoosesOneFileFolderOrPackageBesideTheModelInUse) {
    SheetHarness h;
    const fs::path models = h.root / "models";
    test::writeText(models / "Anime.mlpackage" / "Manifest.json", "{}");
    test::writeText(models / "Plain" / "notes.txt", "x");
    h.series("models/Series");

    // Where it starts: beside the model in use, else beside the most recent model, else Qt's choice.
    const std::vector<fs::path> recent{"/recent/one/a.mlmodel", "/recent/two/b.mlmodel"};
    EXPECT_EQ(modelImportPanelRequest("/in/use/Model.mlpackage/", recent).start, fs::path("/in/use"));
    EXPECT_EQ(modelImportPanelRequest(std::nullopt, recent).start, fs::path("/recent/one"));
    EXPECT_FALSE(modelImportPanelRequest(std::nullopt, {}).start);

    h.session->requestModelLoad(h.modelFile("models/InUse.mlmodel"));
    ASSERT_TRUE(h.sessions.loop.runUntil([&] { return !h.session->loadingModel(); }, 60));
    ASSERT_EQ(h.session->customModelURL(), models / "InUse.mlmodel");

    ModelImportSheet sheet(*h.session, FileDialogs::qt());
    auto* choose = sheet.findChild<QAbstractButton*>("chooseFile");
    QString title, message, startedIn, entered;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    withPanel(choose, [&](QFileDialog& dialog) {
        title = dialog.windowTitle();
        mode = dialog.fileMode();
        startedIn = dialog.directory().absolutePath();
        if (auto* label = dialog.findChild<QLabel*>("panelMessage")) message = label->text();
        // An ordinary folder opens (Return on it in the list)...
        if (QAbstractItemView* view = shownList(dialog)) {
            view->setCurrentIndex(listed(*view, "Plain"));
            QTest::keyClick(view, Qt::Key_Return);
        }
        entered = dialog.directory().absolutePath();
        dialog.setDirectory(QString::fromStdString(models.string()));
        // ...a package is chosen as it is.
        doubleClick(dialog, "Anime.mlpackage");
    });
    EXPECT_EQ(title, "モデルをインポート");
    EXPECT_EQ(message, "モデルパッケージのZIP、model-series.json、フォルダ、またはモデルファイルを選択してください。");
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
    EXPECT_EQ(startedIn.toStdString(), models.string());
    EXPECT_EQ(entered.toStdString(), (models / "Plain").string());
    ASSERT_TRUE(sheet.candidate());
    EXPECT_EQ(sheet.candidate()->selectedURL, models / "Anime.mlpackage");
    EXPECT_FALSE(sheet.candidate()->manifest);

    // A folder holding a series, chosen by its name, replaces it.
    withPanel(sheet.findChild<QAbstractButton*>("chooseAnother"), [&](QFileDialog& dialog) {
        dialog.findChild<QLineEdit*>("fileNameEdit")->setText("Series");
        dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
    });
    ASSERT_TRUE(sheet.candidate());
    EXPECT_EQ(sheet.candidate()->selectedURL, models / "Series");
    EXPECT_TRUE(sheet.candidate()->manifest);

    // Cancelled: the candidate stays.
    withPanel(sheet.findChild<QAbstractButton*>("chooseAnother"), [](QFileDialog&) {});
    EXPECT_EQ(sheet.candidate()->selectedURL, models / "Series");
}

// A failure while the sheet is up shows in the sheet alone, which keeps the keyboard; closing it
// ends that message. What the hand-over raises comes after it as the window's alert, closed by
// Return, Escape or Space.
TEST(ModelImportSheet, OneMessageAtATimeAndTheKeyboardReachesIt) {
    SheetHarness h;
    ContentView view(*h.session, ContentView::Options{DefaultsStore::standard()});
    presentModelImportSheets(view, *h.session, view.videoPane()->window());
    const auto openSheet = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        view.setShowsModelImport(true);
        return qobject_cast<ModelImportSheet*>(QApplication::activeModalWidget());
    };
    ModelImportSheet* sheet = openSheet();
    ASSERT_TRUE(sheet);
    std::vector<test::ZipEntry> hostile = test::packageEntries();
    hostile.push_back({"../escape.txt", "x"});
    ASSERT_TRUE(sheet->acceptDroppedModel({h.zip("hostile.zip", hostile)}));
    h.settle();
    ASSERT_TRUE(h.session->message());
    EXPECT_TRUE(sheet->findChild<QLabel*>("chooserMessage")->isVisible());
    EXPECT_FALSE(view.messageAlert()) << "shown twice";
    EXPECT_EQ(QApplication::activeModalWidget(), sheet);
    QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
    ASSERT_TRUE(waitFor([&] { return !view.state().showsModelImport; }));
    EXPECT_FALSE(h.session->message());
    EXPECT_FALSE(view.messageAlert());

    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Space}) {
        SCOPED_TRACE(key);
        // The package cannot be installed: the models folder's place is taken by a file.
        fs::remove_all(h.root / "imports");
        test::writeText(h.root / "imports", "not a folder");
        sheet = openSheet();
        ASSERT_TRUE(sheet);
        ASSERT_TRUE(sheet->acceptDroppedModel({h.zip("p.zip", test::packageEntries())}));
        h.settle();
        ASSERT_TRUE(sheet->candidate());
        QTest::keyClick(sheet, Qt::Key_Return);
        ASSERT_TRUE(waitFor([&] { return !view.state().showsModelImport && view.messageAlert(); }));
        ASSERT_TRUE(h.session->message());
        QMessageBox* alert = view.messageAlert();
        EXPECT_EQ(QApplication::activeModalWidget(), alert);
        QWidget* focused = alert->focusWidget() ? alert->focusWidget() : alert;
        QTest::keyClick(focused, key);
        EXPECT_TRUE(waitFor([&] { return !view.messageAlert(); }));
        EXPECT_FALSE(h.session->message());
    }
}

TEST(ModelImportSheet, BusySessionDisablesWhatWouldFail) {
    SheetHarness h;
    auto* choose = static_cast<QAbstractButton*>(h.find("chooseFile"));
    auto* import = static_cast<QAbstractButton*>(h.find("import"));
    EXPECT_EQ(h.sheet->state(), State::nothingChosen);
    EXPECT_TRUE(choose->isEnabled());

    // Preparing: the progress line, no choosing and no drops.
    EXPECT_TRUE(h.sheet->acceptDroppedModel({h.zip("a.zip", test::packageEntries())}));
    EXPECT_EQ(h.sheet->state(), State::preparing);
    EXPECT_TRUE(h.shown("preparing"));
    EXPECT_FALSE(choose->isEnabled());
    EXPECT_FALSE(h.sheet->acceptDroppedModel({h.modelFile("x.mlmodel")}));
    h.settle();
    EXPECT_EQ(h.sheet->state(), State::candidateShown);
    EXPECT_FALSE(h.shown("preparing"));
    EXPECT_TRUE(import->isEnabled());

    // A model load running: no import (it would register nothing), no drops, no choosing.
    h.factory->hold(true);
    h.session->requestModelLoad(h.modelFile("Loading"));
    ASSERT_TRUE(h.session->loadingModel());
    EXPECT_FALSE(import->isEnabled());
    EXPECT_FALSE(choose->isEnabled());
    EXPECT_FALSE(h.sheet->acceptDroppedModel({h.modelFile("y.mlmodel")}));
    EXPECT_TRUE(h.sheet->candidate()->preparedArchive);
    h.factory->hold(false);
    ASSERT_TRUE(h.sessions.loop.runUntil([&] { return !h.session->loadingModel(); }, 60));
    EXPECT_TRUE(import->isEnabled());
    EXPECT_TRUE(choose->isEnabled());
    EXPECT_TRUE(h.stagingLeft());
}

TEST(ModelImportSheet, ClosingLetsGoOfThePreparationAndTheCandidate) {
    const struct {
        const char* name;
        bool waitForCandidate;
        std::function<void(ModelImportSheet&)> close;
        int result;
    } cases[] = {
        {"closed while preparing", false, [](ModelImportSheet& s) { s.findChild<QAbstractButton*>("close")->click(); },
         QDialog::Rejected},
        {"closed with a candidate", true, [](ModelImportSheet& s) { s.reject(); }, QDialog::Rejected},
        {"imported with Return", true,
         [](ModelImportSheet& s) {
             s.show();
             QTest::keyClick(&s, Qt::Key_Return);
         },
         QDialog::Accepted},
        {"deleted by the presenter", false, [](ModelImportSheet&) {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SheetHarness h;
        ASSERT_TRUE(h.sheet->acceptDroppedModel({h.zip("p.zip", test::packageEntries())}));
        if (c.waitForCandidate) h.settle();
        c.close(*h.sheet);
        if (c.result < 0) h.sheet.reset();
        else EXPECT_EQ(h.sheet->result(), c.result);
        EXPECT_FALSE(h.session->preparingModelImport()) << "cleared at once";
        if (c.result == QDialog::Accepted) {
            EXPECT_TRUE(h.sessions.loop.runUntil([&] { return !h.session->importedModelSeries().empty(); }, 60));
            EXPECT_FALSE(h.session->message()) << *h.session->message();
        }
        h.drain();
        EXPECT_FALSE(h.stagingLeft());
        if (h.sheet && !c.waitForCandidate) {
            EXPECT_FALSE(h.sheet->candidate()) << "a stale result is never shown";
        }
        if (c.result != QDialog::Accepted) {
            EXPECT_TRUE(h.session->importedModelSeries().empty());
        }
    }
}

} // namespace
} // namespace lumavane
