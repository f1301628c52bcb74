#include "Lumavane/Sheets/ModelImportSheet.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Panels/FileDialogs.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Sheets/SheetRequests.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"
#include "Lumavane/Views/VideoDropArea.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

QFont scaled(double factor, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}

// The platform's semantic colours on the dark palette.
const QColor blue(10, 132, 255);
const QColor secondary(235, 235, 245, 153);
const QColor tertiary(235, 235, 245, 77);
const QColor red(255, 69, 58);

QString colour(const QColor& c) {
    return QStringLiteral("color: rgba(%1, %2, %3, %4);").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

QLabel* symbolLabel(const char* symbol, int size) {
    auto* label = new QLabel;
    label->setProperty(symbolProperty, QString(symbol));
    label->setPixmap(symbolIcon(symbol).pixmap(size, size));
    label->setFixedSize(size, size);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet("color: rgba(255, 255, 255, 38);");
    return line;
}

// A bordered-prominent button: filled with the accent, dark text.
QString prominent() {
    const QColor accent = accentColor();
    return QStringLiteral("QPushButton { background: rgb(%1, %2, %3); color: rgb(20, 24, 22); border: none;"
                          " border-radius: 6px; padding: 5px 14px; font-weight: 600; }"
                          "QPushButton:hover { background: rgb(%4, %5, %6); }"
                          "QPushButton:disabled { background: rgba(255, 255, 255, 30); color: rgba(255, 255, 255, 90); }")
        .arg(accent.red()).arg(accent.green()).arg(accent.blue())
        .arg(accent.lighter(112).red()).arg(accent.lighter(112).green()).arg(accent.lighter(112).blue());
}

// A box layout asks a centred label for its height at the column's width, not at the label's own
// fixed width: a text that wraps at its own width would get one line's height.
void keepWrappedLines(QLabel* label) {
    label->setMinimumHeight(std::max(0, label->heightForWidth(label->maximumWidth())));
}

QLabel* messageLine(const QString& name) {
    auto* label = new QLabel;
    label->setObjectName(name);
    label->setFont(scaled(0.85));
    label->setStyleSheet(colour(red));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setFixedWidth(440);
    return label;
}

} // namespace

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent), full_(text) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setProperty(elidesByDesignProperty, true);
}

QSize ElidedLabel::minimumSizeHint() const { return {20, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(full_, Qt::ElideMiddle, width()));
}

ModelImportSheet::ModelImportSheet(PlayerSession& session, FileDialogs& fileDialogs, QWidget* parent)
    : QDialog(parent), session_(session), fileDialogs_(fileDialogs) {
    setObjectName("modelImportSheet");
    setFixedSize(560, 480);
    setSizeGripEnabled(false);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);
    column->addWidget(buildHeader());
    column->addWidget(divider());

    // The whole middle area takes drops, in both states.
    middle_ = new QWidget;
    middle_->setObjectName("dropArea");
    middle_->setMinimumWidth(560 - 2 * 24);
    auto* middleLayout = new QVBoxLayout(middle_);
    middleLayout->setContentsMargins(0, 0, 0, 0);
    pages_ = new QStackedWidget;
    pages_->addWidget(buildChooser());
    pages_->addWidget(buildConfirmation());
    middleLayout->addWidget(pages_);
    dropArea_ = new VideoDropArea(*middle_, {}, [this](const std::vector<fs::path>& urls) {
        return acceptDroppedModel(urls);
    });
    column->addWidget(middle_, 1);

    column->addWidget(divider());
    auto* limits = new QLabel;
    limits->setFont(scaled(0.85));
    limits->setStyleSheet(colour(secondary));
    limits->setAlignment(Qt::AlignCenter);
    labelled([limits] { limits->setText(text(AppLocalization::string("ZIPは最大512 MB、展開後1 GB、4,096項目までです。"))); });
    column->addWidget(limits);

    const auto follow = [this](auto& property) {
        connections_.push_back(property.observe([this](const auto&) { refresh(); }));
    };
    follow(session.loadingModel);
    follow(session.preparingModelImport);
    follow(session.message);
    connections_.push_back(DefaultsStore::standard().observe(AppLocalization::languageKey, [this] { relabel(); }));
    relabel();
    refresh();
}

ModelImportSheet::~ModelImportSheet() { disappear(); }

ModelImportSheet* ModelImportSheet::present(PlayerSession& session, QWidget* window, FileDialogs* fileDialogs) {
    auto* sheet = new ModelImportSheet(session, fileDialogs ? *fileDialogs : FileDialogs::qt(), window);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->QDialog::show();
    return sheet;
}

QWidget* ModelImportSheet::buildHeader() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    row->addWidget(symbolLabel("square.and.arrow.down", 30));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    auto* title = new QLabel;
    title->setFont(scaled(1.35, QFont::DemiBold));
    auto* subtitle = new QLabel;
    subtitle->setStyleSheet(colour(secondary));
    titles->addWidget(title);
    titles->addWidget(subtitle);
    row->addLayout(titles);
    row->addStretch(1);
    auto* close = new QToolButton;
    close->setObjectName("close");
    close->setAutoRaise(true);
    close->setFixedSize(28, 28);
    setSymbol(*close, "xmark");
    // Escape is QDialog's own reject.
    connect(close, &QToolButton::clicked, this, &QDialog::reject);
    row->addWidget(close);
    labelled([this, title, subtitle, close] {
        title->setText(text(AppLocalization::string("モデルをインポート")));
        setWindowTitle(title->text());
        subtitle->setText(text(AppLocalization::string("新しい高画質化モデルをLumavaneに追加します。")));
        close->setToolTip(text(AppLocalization::string("閉じる")));
        close->setAccessibleName(close->toolTip());
    });
    return header;
}

QWidget* ModelImportSheet::buildChooser() {
    auto* page = new QWidget;
    page->setObjectName("chooser");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(symbolLabel("shippingbox.and.arrow.backward", 46), 0, Qt::AlignHCenter);
    auto* headline = new QLabel;
    headline->setFont(scaled(1.05, QFont::DemiBold));
    column->addWidget(headline, 0, Qt::AlignHCenter);
    auto* explanation = new QLabel;
    explanation->setFont(scaled(0.95));
    explanation->setStyleSheet(colour(secondary));
    explanation->setWordWrap(true);
    explanation->setAlignment(Qt::AlignCenter);
    explanation->setFixedWidth(380);
    column->addWidget(explanation, 0, Qt::AlignHCenter);

    auto* hint = new QWidget;
    auto* hintRow = new QHBoxLayout(hint);
    hintRow->setContentsMargins(0, 0, 0, 0);
    hintRow->setSpacing(5);
    QLabel* hintIcon = symbolLabel("arrow.down.doc", 14);
    auto* hintText = new QLabel;
    hintText->setObjectName("dropHint");
    hintText->setFont(scaled(0.85));
    hintText->setStyleSheet(colour(tertiary));
    hintRow->addWidget(hintIcon);
    hintRow->addWidget(hintText);
    column->addWidget(hint, 0, Qt::AlignHCenter);

    auto* choose = new QPushButton;
    choose->setObjectName("chooseFile");
    choose->setAutoDefault(false); // Return belongs to the confirmation's import alone
    choose->setStyleSheet(prominent());
    choose->setMinimumHeight(32);
    setSymbol(*choose, "folder");
    connect(choose, &QPushButton::clicked, this, [this] { chooseModel(); });
    chooseButton_ = choose;
    column->addWidget(choose, 0, Qt::AlignHCenter);

    progress_ = new QWidget;
    progress_->setObjectName("preparing");
    auto* progressRow = new QHBoxLayout(progress_);
    progressRow->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setFixedSize(90, 8);
    spinner->setTextVisible(false);
    auto* progressText = new QLabel;
    progressText->setFont(scaled(0.9));
    progressRow->addWidget(spinner);
    progressRow->addWidget(progressText);
    column->addWidget(progress_, 0, Qt::AlignHCenter);

    chooserMessage_ = messageLine("chooserMessage");
    column->addWidget(chooserMessage_, 0, Qt::AlignHCenter);
    column->addStretch(1);

    labelled([=] {
        headline->setText(text(AppLocalization::string("モデルパッケージを選択")));
        explanation->setText(text(AppLocalization::string(
            "モデルパッケージのZIP、model-series.json、フォルダ、またはモデルファイルを選択してください。")));
        keepWrappedLines(explanation);
        hintText->setText(text(AppLocalization::string("ファイルマネージャーからここへドラッグ＆ドロップできます。")));
        choose->setText(text(AppLocalization::string("ファイルを選択…")));
        progressText->setText(text(AppLocalization::string("ZIPを検証して展開中…")));
    });
    return page;
}

QWidget* ModelImportSheet::buildConfirmation() {
    auto* page = new QWidget;
    page->setObjectName("confirmation");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    // Tighter than the chooser's 16: six rows of this platform's taller lines and a failure
    // message must fit the sheet's 480 points.
    column->setSpacing(12);
    column->addStretch(1);
    column->addWidget(symbolLabel("shippingbox", 42), 0, Qt::AlignHCenter);
    auto* question = new QLabel;
    question->setFont(scaled(1.05, QFont::DemiBold));
    column->addWidget(question, 0, Qt::AlignHCenter);

    rows_ = new QFrame;
    rows_->setObjectName("details");
    rows_->setStyleSheet("#details { background: rgba(255, 255, 255, 13); border-radius: 10px; }");
    rows_->setFixedWidth(420);
    auto* rowsLayout = new QVBoxLayout(rows_);
    rowsLayout->setContentsMargins(14, 14, 14, 14);
    // The lines' own leading already spaces the rows here; 9 more would not fit six of them.
    rowsLayout->setSpacing(3);
    column->addWidget(rows_, 0, Qt::AlignHCenter);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch(1);
    auto* another = new QPushButton;
    another->setObjectName("chooseAnother");
    another->setAutoDefault(false);
    connect(another, &QPushButton::clicked, this, [this] { chooseModel(); });
    auto* import = new QPushButton;
    import->setObjectName("import");
    import->setDefault(true);
    import->setStyleSheet(prominent());
    setSymbol(*import, "square.and.arrow.down");
    connect(import, &QPushButton::clicked, this, [this] { importCandidate(); });
    importButton_ = import;
    buttons->addWidget(another);
    buttons->addWidget(import);
    buttons->addStretch(1);
    column->addLayout(buttons);

    // A replacement that fails leaves the shown candidate; the user still learns why.
    confirmationMessage_ = messageLine("confirmationMessage");
    column->addWidget(confirmationMessage_, 0, Qt::AlignHCenter);
    column->addStretch(1);

    labelled([this, question, another, import] {
        question->setText(text(AppLocalization::string("このモデルをインポートしますか？")));
        another->setText(text(AppLocalization::string("別のモデルを選ぶ")));
        import->setText(text(AppLocalization::string("モデルをインポート")));
        rebuildRows();
    });
    return page;
}

ModelImportSheet::State ModelImportSheet::state() const {
    if (candidate_) return State::candidateShown;
    if (session_.preparingModelImport()) return State::preparing;
    if (session_.message()) return State::failed;
    return State::nothingChosen;
}

void ModelImportSheet::chooseModel() {
    if (session_.loadingModel() || session_.preparingModelImport()) {
        // The chooser's button is disabled then; "別のモデルを選ぶ" lets the session say why.
        if (!candidate_) return;
    }
    fileDialogs_.chooseItems(this, modelImportPanelRequest(session_.customModelURL(), session_.recentModelURLs()),
                             [this](std::vector<fs::path> items) {
                                 if (!items.empty()) prepare(items.front());
                             });
}

bool ModelImportSheet::acceptDroppedModel(const std::vector<fs::path>& urls) {
    if (session_.loadingModel() || session_.preparingModelImport() || urls.empty()) return false;
    // Only the first item; the session classifies it.
    prepare(urls.front());
    return true;
}

void ModelImportSheet::prepare(const fs::path& url) {
    session_.prepareModelImportCandidate(url, [sheet = QPointer(this), session = &session_](
                                                  std::optional<ModelImportCandidate> candidate) {
        if (!candidate) return; // the shown candidate stays; the session's message says why
        if (!sheet) {
            session->discardModelImport(candidate);
            return;
        }
        sheet->showCandidate(std::move(candidate));
    });
}

void ModelImportSheet::showCandidate(std::optional<ModelImportCandidate> candidate) {
    // The old candidate goes only once its replacement has arrived.
    session_.discardModelImport(candidate_);
    candidate_ = std::move(candidate);
    rebuildRows();
    refresh();
}

void ModelImportSheet::importCandidate() {
    if (!candidate_) return;
    handedOver_ = true;
    session_.importModel(*candidate_);
    accept();
}

void ModelImportSheet::done(int result) {
    disappear();
    QDialog::done(result);
}

void ModelImportSheet::disappear() {
    if (disappeared_) return;
    disappeared_ = true;
    // A ZIP still being prepared finishes as stale; after an import only the emptied staging
    // folder is left to remove.
    session_.cancelModelImportPreparation();
    session_.discardModelImport(candidate_);
    // A message shown here has been read; only what the hand-over raised is left for the
    // window's alert.
    if (!handedOver_ && session_.message()) session_.clearMessage();
}

QString ModelImportSheet::scaleList(const ModelSeriesManifest& manifest) {
    std::set<std::int64_t> scales;
    for (const auto& variant : manifest.variants) scales.insert(variant.outputScales.begin(), variant.outputScales.end());
    QStringList entries;
    for (const std::int64_t scale : scales) entries << QString::number(scale) + QChar(0x00D7);
    return entries.join(" / ");
}

std::vector<std::pair<QString, QString>> ModelImportSheet::confirmationRows(const ModelImportCandidate& candidate) {
    std::vector<std::pair<QString, QString>> rows;
    const auto& manifest = candidate.manifest;
    rows.emplace_back(text(AppLocalization::string("モデル")),
                      manifest ? text(manifest->name) : text(candidate.selectedURL.stem().string()));
    if (manifest) {
        rows.emplace_back(text(AppLocalization::string("作者")), text(manifest->author.name));
        rows.emplace_back(text(AppLocalization::string("バージョン")), text(manifest->version));
        rows.emplace_back(text(AppLocalization::string("ライセンス")), text(manifest->license));
        rows.emplace_back(text(AppLocalization::string("対応倍率")), scaleList(*manifest));
        if (candidate.preparedArchive) rows.emplace_back(text(AppLocalization::string("形式")), QStringLiteral("ZIP"));
    } else {
        rows.emplace_back(text(AppLocalization::string("形式")), text(AppLocalization::string("単体モデル")));
    }
    return rows;
}

void ModelImportSheet::rebuildRows() {
    auto* layout = static_cast<QVBoxLayout*>(rows_->layout());
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (!candidate_) return;
    for (const auto& [label, value] : confirmationRows(*candidate_)) {
        auto* row = new QWidget;
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(12);
        auto* name = new QLabel(label);
        name->setObjectName("rowLabel");
        name->setFixedWidth(78);
        name->setStyleSheet(colour(secondary));
        auto* shown = new ElidedLabel(value);
        shown->setObjectName("rowValue");
        for (QLabel* part : {name, static_cast<QLabel*>(shown)}) part->setFont(scaled(0.95));
        line->addWidget(name, 0, Qt::AlignTop);
        line->addWidget(shown, 1);
        layout->addWidget(row);
    }
}

void ModelImportSheet::relabel() {
    for (const auto& relabel : relabels_) relabel();
    dropArea_->setTitle(text(AppLocalization::string("ドロップしてモデルを追加")));
    refresh();
}

void ModelImportSheet::labelled(std::function<void()> relabel) { relabels_.push_back(std::move(relabel)); }

void ModelImportSheet::refresh() {
    const bool loading = session_.loadingModel();
    const bool preparing = session_.preparingModelImport();
    pages_->setCurrentIndex(candidate_ ? 1 : 0);
    chooseButton_->setEnabled(!loading && !preparing);
    // Confirmed while a load runs, the import would register nothing.
    importButton_->setEnabled(!loading);
    // The progress belongs to the chooser: a ZIP dropped onto a candidate leaves it as it is.
    progress_->setVisible(preparing && !candidate_);
    const auto& message = session_.message();
    const QString line = message ? text(AppLocalization::string(*message)) : QString();
    for (QLabel* label : {chooserMessage_, confirmationMessage_}) {
        label->setText(line);
        keepWrappedLines(label);
        label->setVisible(message.has_value());
    }
}

void presentModelImportSheets(ContentView& content, PlayerSession& session, QWidget* window) {
    presentOnRequest(
        content, ContentView::Sheet::modelImport, [&session, window] { return ModelImportSheet::present(session, window); },
        [&content] { content.setShowsModelImport(false); });
}

} // namespace lumavane
