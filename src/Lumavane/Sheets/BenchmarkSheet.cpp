#include "Lumavane/Sheets/BenchmarkSheet.hpp"

#include "Lumavane/Panels/SheetSizing.hpp"

#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"
#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"
#include "Lumavane/Sheets/BenchmarkPostingSheet.hpp"
#include "Lumavane/Sheets/BenchmarkSheetStyle.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"
#include "Platform/Foundation/AppInfo.hpp"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLocale>
#include <QRegularExpression>
#include <QMessageBox>
#include <QProgressBar>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

namespace lumavane {

using namespace sheetstyle;

namespace {


QString fixed1(double value) { return QString::asprintf("%.1f", value); }

QLocale interfaceLocale() {
    const std::string id = AppLocalization::selectedLanguageID();
    return id == "system" ? QLocale::system() : QLocale(text(id));
}

// Year, abbreviated month, day, hour and minute in the locale's own order: its long date without
// the weekday and with the short month name, and its short time without seconds.
QString shownDate(const QDateTime& date) {
    const QLocale locale = interfaceLocale();
    QString day = locale.dateFormat(QLocale::LongFormat);
    day.remove(QRegularExpression(QStringLiteral("d{4}[,.]?\\s*")));
    day.replace(QRegularExpression(QStringLiteral("M{4}")), QStringLiteral("MMM"));
    day.remove(QRegularExpression(QStringLiteral("[,\\s]+$")));
    QString time = locale.timeFormat(QLocale::ShortFormat);
    time.remove(QRegularExpression(QStringLiteral("[:.]?s+")));
    return locale.toString(date.toLocalTime(), day + QLatin1Char(' ') + time);
}

QString shownDate(DefaultsDate date) {
    return shownDate(QDateTime::fromMSecsSinceEpoch(
        static_cast<qint64>(std::llround(date.unixSeconds() * 1000))));
}

QString conditionTitle(PerformanceBenchmarkProfile profile, PerformanceBenchmarkScale scale) {
    return text(rawValue(profile) + " · " + rawValue(scale));
}

QWidget* card(QLayout* content, const char* name, const QString& background, const QString& border) {
    auto* frame = new QFrame;
    frame->setObjectName(name);
    frame->setStyleSheet(QStringLiteral("QFrame#%1 { background: %2; border: %3; border-radius: 12px; }")
                             .arg(name, background, border));
    content->setContentsMargins(14, 14, 14, 14);
    frame->setLayout(content);
    return frame;
}

} // namespace

struct BenchmarkSheet::Refresh {
    CancellationToken cancellation;
};

BenchmarkWebServices BenchmarkWebServices::completed() const {
    BenchmarkWebServices s = *this;
    if (!s.postingEndpoint) s.postingEndpoint = &benchmarkPostingEndpoint;
    if (!s.comparisonEndpoint) s.comparisonEndpoint = &benchmarkComparisonEndpoint;
    if (!s.resultsURL) s.resultsURL = [] { return appInfoString("LumavaneBenchmarkResultsURL"); };
    if (!s.openURL) s.openURL = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    if (!s.preferences) s.preferences = DefaultsStore::standard();
    return s;
}

BenchmarkSheet::BenchmarkSheet(BenchmarkSheetSession& session, std::optional<ImportedModelSeries> series,
                               std::optional<std::filesystem::path> standaloneURL, BenchmarkWebServices services,
                               QWidget* parent)
    : QDialog(parent), session_(session), series_(std::move(series)), standaloneURL_(std::move(standaloneURL)),
      services_(services.completed()) {
    if (!services_.http) {
        ownHttp_ = std::make_unique<CurlHttpClient>();
        services_.http = ownHttp_.get();
    }
    setObjectName("benchmarkSheet");
    fitSheetToScreen(*this, {720, 760});
    body_ = new QVBoxLayout(this);
    body_->setContentsMargins(24, 24, 24, 24);
    copiedMarkTimer_.setSingleShot(true);
    copiedMarkTimer_.setInterval(copiedMarkMilliseconds);
    connect(&copiedMarkTimer_, &QTimer::timeout, this, [this] {
        copied_ = false;
        refresh();
    });
    observation_ = session_.observe([this] { refresh(); });
    refresh();
}

BenchmarkSheet::~BenchmarkSheet() {
    if (refresh_) refresh_->cancellation.cancel();
    refresh_.reset();
}

BenchmarkSheet* BenchmarkSheet::present(BenchmarkSheetSession& session, std::optional<ImportedModelSeries> series,
                                        std::optional<std::filesystem::path> standaloneURL, QWidget* window) {
    auto* sheet = new BenchmarkSheet(session, std::move(series), std::move(standaloneURL), {}, window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
    return sheet;
}

// --- derived values ---

bool BenchmarkSheet::running() const {
    return session_.benchmarkRunning() || session_.modelBenchmarkRunningKey().has_value();
}

bool BenchmarkSheet::canRun() const {
    if (standaloneURL_) return false;
    if (!series_) return session_.canRequestBenchmark();
    // A variant without a 2x or 4x output has nothing to measure: the session would ignore it.
    return !session_.loadingModel() && !running() && !configurations().empty();
}

QString BenchmarkSheet::cannotRunReason() const {
    if (!series_ || standaloneURL_ || !configurations().empty()) return {};
    return loc("このバリエーションは2×・4×の出力に対応していないため、測定できません。");
}

std::optional<PerformanceBenchmarkReport> BenchmarkSheet::report() const {
    if (standaloneURL_) return std::nullopt;
    if (!series_) return session_.benchmarkReport();
    const auto stored = session_.modelBenchmarkReport(*series_, session_.benchmarkVariant(*series_));
    if (!stored) return std::nullopt;
    PerformanceBenchmarkReport report;
    for (const ModelBenchmarkMeasurement& m : stored->measurements)
        report.measurements.push_back(
            {PerformanceBenchmarkModel::quality, m.profile, m.scale, m.p95MS, m.p95MS, m.sustainedFPS, m.recommendedFPS});
    return report;
}

std::optional<DefaultsDate> BenchmarkSheet::measuredAt() const {
    if (standaloneURL_) return std::nullopt;
    if (!series_) return session_.benchmarkMeasuredAt();
    const auto stored = session_.modelBenchmarkReport(*series_, session_.benchmarkVariant(*series_));
    return stored ? stored->measuredAt : std::nullopt;
}

std::vector<BenchmarkSheet::Configuration> BenchmarkSheet::configurations() const {
    std::vector<std::int64_t> scales{2, 4};
    if (series_) scales = session_.benchmarkVariant(*series_).outputScales;
    std::vector<Configuration> result;
    for (auto profile : {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080})
        for (auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four})
            if (std::find(scales.begin(), scales.end(), factor(scale)) != scales.end()) result.emplace_back(profile, scale);
    return result;
}

std::string BenchmarkSheet::runKey() const {
    if (!series_) return {};
    return session_.modelBenchmarkKey(*series_, session_.benchmarkVariant(*series_));
}

std::optional<std::string> BenchmarkSheet::runError() const {
    const auto error = session_.benchmarkError();
    if (!error || standaloneURL_ || error->runKey != runKey()) return std::nullopt;
    return error->text;
}

BenchmarkSheet::ResultsState BenchmarkSheet::resultsState() const {
    if (standaloneURL_) return ResultsState::requirement;
    if (running()) return ResultsState::running;
    if (report()) return ResultsState::results;
    if (runError()) return ResultsState::error;
    return ResultsState::idle;
}

std::optional<double> BenchmarkSheet::scoreIndex() const {
    const auto shown = report();
    if (!shown || !comparisonReference_) return std::nullopt;
    const auto summary = BenchmarkScoreSummary::from(*shown);
    if (!summary) return std::nullopt;
    return comparisonReference_->scoreIndex(*summary, comparisonCheckpoints_);
}

// --- actions ---

void BenchmarkSheet::startBenchmark() {
    if (!canRun()) return;
    if (session_.hasVideo()) {
        showsCloseVideoConfirmation_ = true;
        // Title and message both in the body, as for the website alert.
        QMessageBox* box = new QMessageBox(QMessageBox::NoIcon, loc("Lumavane"),
                                           loc("動画を閉じてベンチマークを実行しますか？"), QMessageBox::NoButton, this);
        box->setInformativeText(loc("開いている動画を閉じてから測定を開始します。"));
        box->setObjectName("closeVideoConfirmation");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        QPushButton* confirm = box->addButton(loc("動画を閉じて測定"), QMessageBox::AcceptRole);
        confirm->setObjectName("closeVideoAndMeasure");
        box->addButton(loc("キャンセル"), QMessageBox::RejectRole)->setObjectName("cancelConfirmation");
        connect(box, &QMessageBox::buttonClicked, this, [this, confirm](QAbstractButton* clicked) {
            showsCloseVideoConfirmation_ = false;
            if (clicked == confirm) closeVideoAndStartBenchmark();
        });
        box->open();
        return;
    }
    startRun();
}

void BenchmarkSheet::closeVideoAndStartBenchmark() {
    if (!canRun()) return;
    session_.stopPlayback();
    startRun();
}

void BenchmarkSheet::startRun() {
    if (series_)
        session_.runModelBenchmark(*series_, session_.benchmarkVariant(*series_));
    else
        session_.runBenchmark();
}

void BenchmarkSheet::copyBenchmark() {
    QString copiedText;
    const auto shown = report();
    if (series_ && shown) {
        QStringList lines{text(series_->manifest.name), text(session_.benchmarkVariant(*series_).name)};
        for (const auto& m : shown->measurements)
            lines << conditionTitle(m.profile, m.scale) + ": " + fixed1(m.sustainedFPS) + " fps · P95 " + fixed1(m.p95MS) +
                         " ms";
        copiedText = lines.join('\n');
    } else {
        const auto information = session_.benchmarkInformation();
        if (!information) return;
        copiedText = text(*information);
        if (const auto index = scoreIndex()) {
            copiedText += QString::asprintf("\nWeb score index (cohort median = 100): %.1f", *index);
            copiedText += "\nReference snapshot: " + text(comparisonReference_->snapshotAt);
            copiedText += QString("\nReference: ") + (comparisonUsesSavedReference_ ? "saved" : "online");
        }
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(copiedText);
    copied_ = true;
    // Restarted on each copy, so the mark stays two seconds after the last one.
    copiedMarkTimer_.start();
    refresh();
}

void BenchmarkSheet::openResultsWebsite() {
    if (const auto value = services_.resultsURL()) {
        const QUrl url(text(*value), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && (scheme == "http" || scheme == "https")) {
            services_.openURL(url.toString());
            return;
        }
    }
    showsWebsiteUnavailable_ = true;
    // The alert's title goes in its body: without a window manager a window title is never seen.
    auto* box = new QMessageBox(QMessageBox::NoIcon, loc("Lumavane"), loc("ベンチマークサイトは準備中です。"),
                                QMessageBox::Cancel, this);
    box->setObjectName("websiteUnavailable");
    box->button(QMessageBox::Cancel)->setText("OK");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QDialog::finished, this, [this] { showsWebsiteUnavailable_ = false; });
    box->open();
}

void BenchmarkSheet::showWebPost() {
    auto* sheet = new BenchmarkWebPostSheet(session_, services_, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
}

void BenchmarkSheet::reject() {
    if (!running()) QDialog::reject();
}

// --- web comparison ---

void BenchmarkSheet::updateComparisonReference() {
    if (running() || series_ || standaloneURL_ || refresh_) return;
    try {
        comparisonCheckpoints_ = session_.benchmarkComparisonCheckpoints();
    } catch (...) {
        comparisonUsesSavedReference_ = comparisonUnavailable_ = true;
        refresh();
        return;
    }
    comparisonReference_ = BenchmarkComparisonReference::saved(comparisonCheckpoints_, *services_.preferences);
    comparisonUsesSavedReference_ = true;
    comparisonUnavailable_ = false;
    const auto endpoint = comparisonReference_ ? services_.comparisonEndpoint() : std::nullopt;
    if (!endpoint) {
        comparisonUnavailable_ = true;
        refresh();
        return;
    }
    auto task = std::make_shared<Refresh>();
    refresh_ = task;
    const BenchmarkWebScoreClient client(*endpoint, *services_.http);
    webQueue_.async([this, task, client, held = *comparisonReference_, checkpoints = comparisonCheckpoints_] {
        std::optional<BenchmarkComparisonReference> result;
        std::exception_ptr error;
        try {
            result = client.reference(held, checkpoints, task->cancellation);
        } catch (...) {
            error = std::current_exception();
        }
        if (task->cancellation.isCancelled()) return;
        mainExecutor_.post([this, task, result = std::move(result), error] { finishRefresh(task, result, error); });
    });
    refresh();
}

void BenchmarkSheet::finishRefresh(const std::shared_ptr<Refresh>& task, std::optional<BenchmarkComparisonReference> result,
                                   std::exception_ptr error) {
    if (task != refresh_) return; // cancelled when the sheet's key changed
    refresh_.reset();
    if (task->cancellation.isCancelled() || running()) return;
    if (result) {
        comparisonReference_ = std::move(result);
        comparisonUsesSavedReference_ = false;
        comparisonReference_->save(*services_.preferences);
    } else if (error) {
        comparisonUsesSavedReference_ = comparisonUnavailable_ = true;
    }
    refresh();
}

void BenchmarkSheet::comparisonKeyChanged() {
    std::optional<double> key;
    if (!running() && !series_ && !standaloneURL_ && report())
        if (const auto at = measuredAt()) key = at->secondsSinceReferenceDate;
    if (comparisonTaskID_ && *comparisonTaskID_ == key) return;
    comparisonTaskID_ = key;
    if (refresh_) {
        refresh_->cancellation.cancel();
        refresh_.reset();
    }
    if (key) updateComparisonReference();
}

// --- the view ---

void BenchmarkSheet::refresh() {
    comparisonKeyChanged();
    if (content_) {
        // Out of the tree at once; deleted later, since a button of it may be emitting now.
        content_->hide();
        content_->setParent(nullptr);
        content_->deleteLater();
    }
    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(18);
    column->addWidget(buildHeader());
    // Between the header and the footer: scrolls where the screen is too low for the sheet.
    auto* middle = new QWidget;
    auto* sections = new QVBoxLayout(middle);
    sections->setContentsMargins(0, 0, 0, 0);
    sections->setSpacing(18);
    sections->addWidget(divider());
    sections->addWidget(buildDetails());
    sections->addWidget(buildResults(), 1);
    sections->addWidget(divider());
    column->addWidget(scrollingSheetBody(middle), 1);
    column->addWidget(buildFooter());
    body_->addWidget(content_);
}

QWidget* BenchmarkSheet::buildHeader() {
    QString subtitle = loc("標準モデル");
    if (standaloneURL_)
        subtitle = text(standaloneURL_->stem().string());
    else if (series_)
        subtitle = text(series_->manifest.name + " · " + session_.benchmarkVariant(*series_).name);
    std::vector<QLabel*> lines{label(subtitle, 1.1, nullptr, QFont::DemiBold, "subtitle")};
    if (const auto at = measuredAt()) lines.push_back(label(shownDate(*at), 0.85, &secondary, QFont::Normal, "measuredAt"));
    auto* header = new QWidget;
    QHBoxLayout* row = headerRow("gauge.with.dots.needle.67percent", loc("モデル詳細"), lines);
    header->setLayout(row);
    if (series_ || standaloneURL_) {
        auto* remove = iconButton("trash", "一覧から削除（モデルファイルは残ります）", "deleteButton");
        const bool holdsModel = series_ ? series_->contains(session_.customModelURL())
                                        : session_.customModelURL() == standaloneURL_;
        remove->setEnabled(!running() && !session_.loadingModel() && !(holdsModel && !session_.hasBundledModels()));
        connect(remove, &QToolButton::clicked, this, [this] {
            if (series_)
                session_.removeModelSeries(*series_);
            else
                session_.removeImportedModel(*standaloneURL_);
            close();
        });
        row->addWidget(remove);
    }
    auto* closeButton = iconButton("xmark", "閉じる", "closeButton");
    closeButton->setEnabled(!running());
    connect(closeButton, &QToolButton::clicked, this, &QDialog::close);
    row->addWidget(closeButton);
    return header;
}

QString BenchmarkSheet::categoryLabel(const std::string& category) {
    if (category == "anime") return loc("アニメ");
    if (category == "live-action") return loc("実写");
    return loc("汎用");
}

QString BenchmarkSheet::variantLine(const ModelSeriesManifest::Variant& variant) {
    QStringList scales;
    for (std::int64_t scale : variant.outputScales) scales << QString::number(scale) + "×";
    // The manifest's format names are for files, not for people.
    const QString format = variant.format == "compact-metal" ? loc("コンパクト")
                           : variant.format == "coreml"      ? QStringLiteral("Core ML")
                                                             : text(variant.format);
    return text(variant.name) + " · " + format + " · " + scales.join(" / ");
}

QWidget* BenchmarkSheet::buildDetails() {
    auto* inner = new QWidget;
    auto* column = new QVBoxLayout(inner);
    column->setContentsMargins(0, 0, 8, 0);
    column->setSpacing(12);
    if (standaloneURL_) {
        column->addWidget(label(text(standaloneURL_->string()), 0.85));
        if (const auto info = session_.modelInfo()) {
            column->addWidget(label(text(info->name)));
            column->addWidget(label(text(info->source), 0.85));
        }
        auto* reload = pushButton(loc("再読み込み"), "reloadButton");
        reload->setEnabled(!session_.loadingModel());
        connect(reload, &QPushButton::clicked, this, [this] { session_.reloadCurrentModel(); });
        column->addWidget(reload, 0, Qt::AlignLeft);
    } else {
        const auto manifest = series_ ? std::optional(series_->manifest) : session_.bundledModelManifest();
        if (manifest) {
            column->addWidget(label(text(manifest->author.name) + " · " + categoryLabel(manifest->category), 1.0,
                                    &secondary));
            if (!manifest->description.empty()) column->addWidget(label(text(manifest->description)));
            column->addWidget(label(loc("バージョン") + ": " + text(manifest->version) + " · " + loc("ライセンス") + ": " +
                                        text(manifest->license),
                                    0.85, &secondary));
            for (const auto& variant : manifest->variants) column->addWidget(label(variantLine(variant), 0.85));
        }
    }
    column->addWidget(divider());
    column->addWidget(label(loc("このコンピューターでの性能"), 1.1, nullptr, QFont::DemiBold));
    for (QLabel* l : inner->findChildren<QLabel*>()) l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* scroll = new QScrollArea;
    scroll->setObjectName("details");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(inner);
    scroll->setMaximumHeight(180);
    scroll->setMinimumHeight(std::min(180, inner->sizeHint().height()));
    return scroll;
}

QString BenchmarkSheet::recommendedFPSLabel(const PerformanceBenchmarkMeasurement& measurement) {
    if (measurement.recommendedFPS) return QString::number(*measurement.recommendedFPS) + " fps";
    return loc("24 fps未満");
}

QWidget* BenchmarkSheet::buildResultCard(const PerformanceBenchmarkReport& report, const Configuration& configuration) {
    const auto [profile, scale] = configuration;
    auto* rows = new QVBoxLayout;
    rows->setSpacing(12);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(label(conditionTitle(profile, scale), 1.1, nullptr, QFont::DemiBold));
    const int w = lumavane::width(profile), h = lumavane::height(profile), f = factor(scale);
    titles->addWidget(label(QStringLiteral("%1×%2 → %3×%4").arg(w).arg(h).arg(w * f).arg(h * f), 0.85, &secondary));
    rows->addLayout(titles);
    auto metric = [&](const QString& name, const PerformanceBenchmarkMeasurement& m) {
        auto* row = new QHBoxLayout;
        row->addWidget(label(name, 0.85, &secondary));
        // The values take the rest of the row: a wrapping label left at its own preferred width
        // breaks a note that would fit on one line into narrow ones.
        auto* values = new QVBoxLayout;
        values->setSpacing(2);
        QLabel* fps = label(loc("最大") + " " + fixed1(m.sustainedFPS) + " fps", 0.85, nullptr, QFont::Medium, "sustained");
        QLabel* detail = label("P95 " + fixed1(m.p95MS) + " ms · " + loc("推奨") + " " + recommendedFPSLabel(m), 0.75,
                               &tertiary, QFont::Normal, "p95");
        fps->setAlignment(Qt::AlignRight);
        detail->setAlignment(Qt::AlignRight);
        values->addWidget(fps);
        values->addWidget(detail);
        row->addLayout(values, 1);
        rows->addLayout(row);
    };
    if (const auto q = report.measurement(PerformanceBenchmarkModel::quality, profile, scale))
        metric(series_ ? text(session_.benchmarkVariant(*series_).name) : loc("高画質"), *q);
    if (const auto f = report.measurement(PerformanceBenchmarkModel::fast, profile, scale)) metric(loc("高速"), *f);
    rows->addStretch(1);
    return card(rows, "resultCard", "rgba(255, 255, 255, 11)", "1px solid rgba(255, 255, 255, 18)");
}

QWidget* BenchmarkSheet::buildScoreCard(const BenchmarkScoreSummary& summary) {
    auto* rows = new QVBoxLayout;
    rows->setSpacing(8);
    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    auto scoreValue = [&](const char* title, double value) {
        auto* column = new QVBoxLayout;
        column->setSpacing(3);
        column->addWidget(label(loc(title), 0.85, &secondary));
        column->addWidget(label(fixed1(value), 1.5, nullptr, QFont::DemiBold));
        top->addLayout(column);
    };
    scoreValue("総合FPS", summary.performance);
    scoreValue("高速FPS", summary.fastFPS);
    scoreValue("高画質FPS", summary.qualityFPS);
    top->addStretch(1);
    auto* indexColumn = new QVBoxLayout;
    indexColumn->setSpacing(3);
    const auto index = scoreIndex();
    for (QLabel* l : {label(loc("Web指数"), 0.85, &secondary),
                      label(index ? fixed1(*index) : QString("—"), 1.5, nullptr, index ? QFont::DemiBold : QFont::Normal,
                            "scoreIndex"),
                      label(loc("同条件の中央値を100"), 0.75, &secondary)}) {
        l->setAlignment(Qt::AlignRight);
        indexColumn->addWidget(l);
    }
    top->addLayout(indexColumn);
    rows->addLayout(top);
    rows->addWidget(label(loc("総合は8条件の幾何平均・高速／高画質は1080p 2×"), 0.75, &secondary));
    if (comparisonReference_) {
        if (const auto snapshot = parseISO8601(comparisonReference_->snapshotAt)) {
            auto* reference = new QHBoxLayout;
            reference->addWidget(label(loc(comparisonUsesSavedReference_ ? "保存済み基準" : "Web基準") + " · " +
                                           loc("基準更新") + ": " + shownDate(*snapshot),
                                       0.75, &secondary, QFont::Normal, "referenceRow"),
                                 1);
            auto* update = new QPushButton(loc("比較基準を更新"));
            update->setObjectName("updateReference");
            update->setFlat(true);
            update->setFont(scaled(0.75));
            update->setStyleSheet(colour(blue) + "border: none;");
            connect(update, &QPushButton::clicked, this, [this] { updateComparisonReference(); });
            reference->addWidget(update);
            rows->addLayout(reference);
        }
    }
    if (comparisonUnavailable_)
        rows->addWidget(label(loc(comparisonReference_ ? "Webの基準を取得できませんでした。" : "同条件の比較基準がありません。"),
                              0.75, &secondary, QFont::Normal, "comparisonNote"));
    return card(rows, "scoreCard", "rgba(10, 132, 255, 23)", "none");
}

QWidget* BenchmarkSheet::buildResults() {
    auto* area = new QWidget;
    area->setObjectName("resultsArea");
    auto* column = new QVBoxLayout(area);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(18);
    auto centred = [&](QWidget* w) {
        auto* l = qobject_cast<QLabel*>(w);
        if (l) l->setAlignment(Qt::AlignCenter);
        // A wrapping text takes the whole width and centres its lines: laid out centred at its
        // own narrower width it would get the height of the lines at the whole width, and its
        // second line would be cut.
        if (l && l->wordWrap()) column->addWidget(w);
        else column->addWidget(w, 0, Qt::AlignHCenter);
    };
    switch (resultsState()) {
    case ResultsState::requirement:
    case ResultsState::error: {
        const bool requirement = resultsState() == ResultsState::requirement;
        column->addStretch(1);
        centred(symbolLabel(requirement ? "shippingbox" : "exclamationmark.triangle", 44));
        centred(label(loc(requirement ? "単体モデル" : "ベンチマークを実行できませんでした。"), 1.3, nullptr, QFont::DemiBold));
        centred(label(requirement ? loc("ベンチマークにはモデルパッケージが必要です。") : text(*runError()), 1.0, &secondary,
                      QFont::Normal, "stateDescription"));
        column->addStretch(1);
        break;
    }
    case ResultsState::running: {
        column->addStretch(1);
        auto* progress = new QProgressBar;
        progress->setRange(0, 0);
        progress->setFixedWidth(240);
        centred(progress);
        QLabel* measuring = label(loc(series_ ? "測定中…" : "高速・高画質モデルを測定中…"), 1.1, nullptr, QFont::DemiBold);
        measuring->setProperty(elidesByDesignProperty, true); // its "…" is the text's own
        centred(measuring);
        centred(label(loc("720pと1080pを、2×・4×の各条件で測定しています。"), 0.85, &secondary));
        auto* cancel = pushButton(loc("キャンセル"), "cancelRun");
        connect(cancel, &QPushButton::clicked, this, [this] { session_.cancelBenchmark(); });
        centred(cancel);
        column->addStretch(1);
        break;
    }
    case ResultsState::results: {
        auto* inner = new QWidget;
        auto* stack = new QVBoxLayout(inner);
        stack->setContentsMargins(1, 1, 1, 1);
        stack->setSpacing(12);
        const auto shown = *report();
        if (!series_)
            if (const auto summary = BenchmarkScoreSummary::from(shown)) stack->addWidget(buildScoreCard(*summary));
        auto* grid = new QGridLayout;
        grid->setSpacing(12);
        const auto conditions = configurations();
        for (std::size_t i = 0; i < conditions.size(); ++i)
            grid->addWidget(buildResultCard(shown, conditions[i]), int(i / 2), int(i % 2));
        grid->setColumnStretch(0, 1);
        grid->setColumnStretch(1, 1);
        stack->addLayout(grid);
        stack->addStretch(1);
        auto* scroll = new QScrollArea;
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setWidget(inner);
        column->addWidget(scroll);
        break;
    }
    case ResultsState::idle: {
        column->addStretch(1);
        centred(symbolLabel("gauge.with.dots.needle.67percent", 44));
        centred(label(loc("このコンピューターの高画質化性能を測定します。"), 1.1, nullptr, QFont::DemiBold));
        centred(label(loc("720pと1080pを、2×・4×の各条件で測定します。"), 0.85, &secondary));
        auto* run = pushButton(loc("ベンチマークを実行"), "runButton", "play.fill", true);
        run->setMinimumHeight(32);
        run->setEnabled(canRun());
        connect(run, &QPushButton::clicked, this, [this] { startBenchmark(); });
        centred(run);
        if (const QString why = cannotRunReason(); !why.isEmpty())
            centred(label(why, 0.85, &orange, QFont::Normal, "cannotRunReason"));
        column->addStretch(1);
        break;
    }
    }
    return area;
}

QWidget* BenchmarkSheet::buildFooter() {
    auto* footer = new QWidget;
    auto* column = new QVBoxLayout(footer);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    const auto error = runError();
    const auto shown = report();
    if (error && !running()) {
        QLabel* line = label(text(*error), 0.85, &red, QFont::Normal, "errorLine");
        line->setAlignment(Qt::AlignCenter);
        column->addWidget(line);
        if (!shown) {
            auto* again = pushButton(loc("再測定"), "errorRemeasure");
            again->setEnabled(canRun());
            connect(again, &QPushButton::clicked, this, [this] { startBenchmark(); });
            column->addWidget(again, 0, Qt::AlignHCenter);
        }
    }
    auto* bar = new QHBoxLayout;
    bar->setSpacing(8);
    bar->addStretch(1);
    if (!running() && !series_ && !standaloneURL_) {
        auto* site = pushButton(loc("みんなの結果を見る"), "resultsWebsite", "safari");
        connect(site, &QPushButton::clicked, this, [this] { openResultsWebsite(); });
        bar->addWidget(site);
    }
    if (shown && !running()) {
        auto* again = pushButton(loc("再測定"), "remeasure");
        again->setEnabled(canRun());
        connect(again, &QPushButton::clicked, this, [this] { startBenchmark(); });
        bar->addWidget(again);
        auto* copy = pushButton(loc(copied_ ? "コピー済み" : "コピー"), "copyButton", copied_ ? "checkmark" : "doc.on.doc");
        connect(copy, &QPushButton::clicked, this, [this] { copyBenchmark(); });
        bar->addWidget(copy);
        if (!series_) {
            auto* post = pushButton(loc("Webに投稿"), "postButton", "globe", true);
            connect(post, &QPushButton::clicked, this, [this] { showWebPost(); });
            bar->addWidget(post);
        }
    }
    bar->addStretch(1);
    column->addLayout(bar);
    QLabel* scope = label(loc("動画のデコード・表示・音声処理は測定に含まれません。"), 0.85, &secondary);
    scope->setAlignment(Qt::AlignCenter);
    column->addWidget(scope);
    return footer;
}

} // namespace lumavane
