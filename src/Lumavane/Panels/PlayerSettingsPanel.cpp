#include "Lumavane/Panels/PlayerSettingsPanel.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Style/LumavaneBrandAssets.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/LanguagePackStore.hpp"
#include "Lumavane/Localization/StringsFile.hpp"
#include "Lumavane/Panels/FileDialogs.hpp"
#include "Lumavane/Panels/PlayerLicensesView.hpp"
#include "Lumavane/Panels/SheetSizing.hpp"
#include "Lumavane/Panels/SubtitleAppearance.hpp"
#include "Platform/Foundation/AppInfo.hpp"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

constexpr int sliderSteps = 1000;

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

struct TabInfo {
    PlayerSettingsPanel::Tab tab;
    const char* name;
    const char* symbol;
    std::string (*label)();
};

const TabInfo tabInfo[] = {
    {PlayerSettingsPanel::Tab::general, "general", "gearshape", [] { return AppLocalization::string("一般"); }},
    {PlayerSettingsPanel::Tab::subtitles, "subtitles", "captions.bubble",
     [] { return AppLocalization::string("字幕"); }},
    {PlayerSettingsPanel::Tab::capture, "capture", "camera", [] { return AppLocalization::string("キャプチャ"); }},
    {PlayerSettingsPanel::Tab::about, "about", "info.circle", [] { return AppLocalization::string("情報"); }},
    {PlayerSettingsPanel::Tab::licenses, "licenses", "doc.text",
     [] { return AppLocalization::string("ライセンス"); }},
};

QLabel* caption(QWidget* parent = nullptr) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* headline() {
    auto* label = new QLabel;
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

// Refills a picker with (text, value) entries in the new language; the caller selects again.
void fillChoices(QComboBox& combo, const std::vector<std::pair<std::string, QVariant>>& entries) {
    const QSignalBlocker block(&combo);
    combo.clear();
    for (const auto& [label, value] : entries) combo.addItem(text(label), value);
}

void setComboData(QComboBox& combo, const QVariant& data) {
    const QSignalBlocker block(&combo);
    combo.setCurrentIndex(combo.findData(data));
}

} // namespace

const std::vector<PlayerSettingsPanel::Tab>& PlayerSettingsPanel::allTabs() {
    static const std::vector<Tab> tabs = {Tab::general, Tab::subtitles, Tab::capture, Tab::about, Tab::licenses};
    return tabs;
}

PlayerSettingsPanel::PlayerSettingsPanel(Dependencies dependencies, QWidget* parent)
    : QDialog(parent), defaults_(std::move(dependencies.defaults)),
      languages_(dependencies.languages ? *dependencies.languages : AppLanguageStore::shared()),
      packs_(dependencies.packs ? *dependencies.packs : LanguagePackStore::shared()),
      fileDialogs_(dependencies.fileDialogs ? *dependencies.fileDialogs : FileDialogs::qt()),
      diagnostics_(std::move(dependencies.diagnostics)), licenseResources_(std::move(dependencies.licenseResources)) {
    setObjectName("settingsPanel");
    fitSheetToScreen(*this, {680, 520});
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(divider());

    pages_ = new QStackedWidget;
    pages_->addWidget(scrolled(buildGeneral()));
    pages_->addWidget(scrolled(buildSubtitles()));
    pages_->addWidget(buildCapture());
    pages_->addWidget(buildAbout());
    licenses_ = licenseResources_ ? new PlayerLicensesView(PlayerLicenseDocument::available(*licenseResources_))
                                  : new PlayerLicensesView;
    pages_->addWidget(licenses_);
    column->addWidget(scrollingSheetBody(pages_), 1);

    copiedMarkTimer_.setSingleShot(true);
    copiedMarkTimer_.setInterval(copiedMarkMilliseconds);
    connect(&copiedMarkTimer_, &QTimer::timeout, this, [this] {
        diagnosticsCopied_ = false;
        refreshCopyButton();
    });

    connections_.push_back(languages_.changed().connect([this] { relabel(); }));
    connections_.push_back(defaults_.observe(AppLocalization::languageKey, [this] { relabel(); }));
    connections_.push_back(packs_.changed().connect([this] { rebuildLanguageMenu(); }));
    relabel();
    selectTab(Tab::general);
}

PlayerSettingsPanel::~PlayerSettingsPanel() = default;

QWidget* PlayerSettingsPanel::buildHeader() {
    auto* header = new QWidget;
    header->setObjectName("settingsHeader");
    header->setAutoFillBackground(true);
    QPalette bar = header->palette();
    bar.setColor(QPalette::Window, bar.color(QPalette::Window).lighter(125));
    header->setPalette(bar);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(6);
    const QColor accent = accentColor();
    for (const TabInfo& info : tabInfo) {
        auto* button = new QToolButton;
        button->setObjectName(QString("tab.") + info.name);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setIconSize(QSize(19, 19));
        button->setAutoRaise(true);
        button->setCheckable(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        setSymbol(*button, info.symbol);
        button->setStyleSheet(QString("QToolButton { padding: 7px 2px; border-radius: 8px; color: palette(placeholder-text); }"
                                      "QToolButton:hover { background: rgba(255,255,255,26); }"
                                      "QToolButton:checked { color: %1; background: rgba(%2,%3,%4,31); }")
                                  .arg(accent.name())
                                  .arg(accent.red())
                                  .arg(accent.green())
                                  .arg(accent.blue()));
        const Tab tab = info.tab;
        connect(button, &QToolButton::clicked, this, [this, tab] { selectTab(tab); });
        labelled([button, label = info.label] { button->setText(text(label())); });
        tabButtons_.push_back(button);
        row->addWidget(button, 1);
    }
    row->addStretch(0);
    auto* close = new QToolButton;
    close->setObjectName("closeSettings");
    close->setAutoRaise(true);
    close->setFixedSize(28, 28);
    setSymbol(*close, "xmark");
    connect(close, &QToolButton::clicked, this, &QDialog::reject);
    labelled([close] {
        const QString label = text(AppLocalization::string("設定を閉じる"));
        close->setToolTip(label);
        close->setAccessibleName(label);
    });
    row->addWidget(close);
    // QDialog already closes on Escape; the shortcut keeps it when focus is in a child that eats keys.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QDialog::reject);
    return header;
}

QWidget* PlayerSettingsPanel::scrolled(QWidget* content) {
    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return scroll;
}

void PlayerSettingsPanel::follow(const std::string& key, std::function<void()> apply) {
    apply();
    connections_.push_back(defaults_.observe(key, apply));
}

void PlayerSettingsPanel::labelled(std::function<void()> relabel) { relabels_.push_back(std::move(relabel)); }

void PlayerSettingsPanel::relabel() {
    for (const auto& relabel : relabels_) relabel();
    rebuildLanguageMenu();
    if (licenses_) licenses_->relabel();
}

void PlayerSettingsPanel::selectTab(Tab tab) {
    selectedTab_ = tab;
    for (std::size_t i = 0; i < tabButtons_.size(); ++i) {
        const bool selected = allTabs()[i] == tab;
        tabButtons_[i]->setChecked(selected);
        tabButtons_[i]->setAccessibleDescription(selected ? "selected" : "");
    }
    // The licence viewer starts on its first document each time it is shown.
    if (tab == Tab::licenses) licenses_->select(licenses_->documents().empty() ? -1 : 0);
    pages_->setCurrentIndex(int(tab));
}

QAbstractButton* PlayerSettingsPanel::tabButton(Tab tab) const { return tabButtons_[std::size_t(tab)]; }

void PlayerSettingsPanel::showAlert(const std::string& title, const std::string& message) {
    if (alert_) alert_->deleteLater();
    alert_ = new QMessageBox(QMessageBox::Warning, text(title), text(message), QMessageBox::Ok, this);
    alert_->setObjectName("settingsAlert");
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    alert_->open();
}

QString PlayerSettingsPanel::percentText(double value) {
    return QString::number(static_cast<long long>(std::llround(value * 100))) + "%";
}

QString PlayerSettingsPanel::pointText(double value) {
    return QString::number(static_cast<long long>(std::trunc(value))) + " pt";
}

// --- General tab.

QWidget* PlayerSettingsPanel::transparencyControl(Text title, const char* key, double fallback) {
    auto* control = new QWidget;
    auto* column = new QVBoxLayout(control);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    auto* top = new QHBoxLayout;
    auto* name = new QLabel;
    auto* readout = new QLabel;
    readout->setObjectName(QString(key) + ".readout");
    readout->setForegroundRole(QPalette::PlaceholderText);
    readout->setFont(QFont("monospace", readout->font().pointSize()));
    top->addWidget(name);
    top->addStretch(1);
    top->addWidget(readout);
    column->addLayout(top);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(key);
    slider->setRange(0, sliderSteps);
    column->addWidget(slider);
    auto* ends = new QHBoxLayout;
    auto* opaque = caption();
    auto* clear = caption();
    ends->addWidget(opaque);
    ends->addStretch(1);
    ends->addWidget(clear);
    column->addLayout(ends);

    labelled([=] {
        name->setText(text(title()));
        slider->setAccessibleName(name->text());
        opaque->setText(text(AppLocalization::string("不透明")));
        clear->setText(text(AppLocalization::string("透明")));
    });
    const std::string stored = key;
    connect(slider, &QSlider::valueChanged, this,
            [this, stored](int value) { defaults_.set(stored, double(value) / sliderSteps); });
    follow(stored, [this, stored, fallback, slider, readout] {
        const double value = defaults_.real(stored).value_or(fallback);
        const QSignalBlocker block(slider);
        slider->setValue(int(std::lround(value * sliderSteps)));
        readout->setText(percentText(value));
    });
    return control;
}

QWidget* PlayerSettingsPanel::buildGeneral() {
    auto* page = new QWidget;
    page->setObjectName("generalSettings");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(22);
    column->addWidget(transparencyControl([] { return AppLocalization::string("透明度"); },
                                          "player.sidebarTransparency", 1.0));
    column->addWidget(transparencyControl([] { return AppLocalization::string("OSDメニューの透明度"); },
                                          "player.osdTransparency", 0.15));
    auto* note = caption();
    column->addWidget(note);
    column->addWidget(divider());

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->setContentsMargins(0, 4, 0, 4);
    auto* title = new QLabel;
    auto* menu = new QComboBox;
    menu->setObjectName("languageMenu");
    menu->setMinimumWidth(180);
    menu->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* add = new QPushButton;
    add->setObjectName("addLanguagePack");
    auto* show = new QPushButton;
    show->setObjectName("showLanguagePacks");
    auto* remove = new QToolButton;
    remove->setObjectName("removeLanguagePack");
    setSymbol(*remove, "minus.circle");
    row->addWidget(title);
    row->addWidget(menu, 1);
    row->addWidget(add);
    row->addWidget(show);
    row->addWidget(remove);
    column->addLayout(row);
    column->addStretch(1);

    labelled([=] {
        note->setText(text(AppLocalization::string("OSD以外の画面背景に適用されます。映像や文字の濃さは変わりません。")));
        title->setText(text(AppLocalization::string("言語")));
        menu->setAccessibleName(title->text());
        add->setText(text(AppLocalization::string("language_pack.add_button")));
        show->setText(text(AppLocalization::string("language_pack.show_folder")));
        const QString removeHelp = text(AppLocalization::string("language_pack.remove_help"));
        remove->setToolTip(removeHelp);
        remove->setAccessibleName(removeHelp);
    });
    connect(menu, &QComboBox::activated, this, [this, menu](int index) {
        languages_.select(menu->itemData(index).toString().toStdString());
    });
    connect(add, &QPushButton::clicked, this, [this] { chooseLanguagePack(); });
    connect(show, &QPushButton::clicked, this, [this] { packs_.revealPacksDirectory(); });
    connect(remove, &QToolButton::clicked, this, [this] {
        for (const AppLanguage& language : packs_.installedLanguages())
            if (language.id == languages_.selectedLanguageID()) return removeLanguage(language);
    });
    refreshLanguageRow_ = [this, menu, remove] {
        const QSignalBlocker block(menu);
        menu->clear();
        std::vector<AppLanguage> entries = {{"system", "システム設定", true}, {"ja", "日本語", true}, {"en", "English", true}};
        const auto& packs = packs_.installedLanguages();
        entries.insert(entries.end(), packs.begin(), packs.end());
        for (const AppLanguage& entry : entries)
            menu->addItem(text(AppLocalization::string(entry.displayName)), text(entry.id));
        menu->setCurrentIndex(menu->findData(text(languages_.selectedLanguageID())));
        const bool packSelected = std::any_of(packs.begin(), packs.end(), [this](const AppLanguage& language) {
            return language.id == languages_.selectedLanguageID();
        });
        remove->setVisible(packSelected);
    };
    return page;
}

void PlayerSettingsPanel::rebuildLanguageMenu() {
    if (refreshLanguageRow_) refreshLanguageRow_();
}

void PlayerSettingsPanel::chooseLanguagePack() {
    FileDialogs::FileRequest request{AppLocalization::string("language_pack.panel.title"),
                                     AppLocalization::string("language_pack.panel.message"),
                                     AppLocalization::string("追加"), "Strings (*.strings)"};
    QPointer<PlayerSettingsPanel> self(this);
    fileDialogs_.chooseFile(this, request, [self](std::optional<fs::path> file) {
        if (!self || !file) return;
        try {
            const AppLanguage language = self->packs_.install(*file);
            self->languages_.select(language.id);
            self->rebuildLanguageMenu();
        } catch (const LanguagePackStore::PackError& error) {
            self->showAlert(AppLocalization::string("language_pack.add_error_title"), error.localizedDescription());
        } catch (const StringsFileError&) {
            self->showAlert(AppLocalization::string("language_pack.add_error_title"),
                            AppLocalization::string("language_pack.error.invalid_file"));
        } catch (const std::exception& error) {
            // Not the store's own refusal: its words stay out of the alert.
            std::fprintf(stderr, "Lumavane: language pack not added (%s)\n", error.what());
            self->showAlert(AppLocalization::string("language_pack.add_error_title"),
                            AppLocalization::string("language_pack.error.install_failed"));
        }
    });
}

void PlayerSettingsPanel::removeLanguage(const AppLanguage& language) {
    // Leave the pack before its files go.
    if (languages_.selectedLanguageID() == language.id) languages_.select("system");
    try {
        packs_.remove(language);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Lumavane: language pack not removed (%s)\n", error.what());
        showAlert(AppLocalization::string("language_pack.add_error_title"),
                  AppLocalization::string("言語パックを削除できませんでした。"));
    }
    rebuildLanguageMenu();
}

// --- Subtitles tab.

QWidget* PlayerSettingsPanel::buildSubtitles() {
    auto* page = new QWidget;
    page->setObjectName("subtitleSettings");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);

    auto* top = new QHBoxLayout;
    auto* title = headline();
    auto* reset = new QPushButton;
    reset->setObjectName("resetSubtitles");
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(reset);
    column->addLayout(top);
    connect(reset, &QPushButton::clicked, this, [this] { resetSubtitleSettings(); });

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(14);
    grid->setColumnMinimumWidth(0, 168);
    grid->setColumnStretch(1, 1);
    std::vector<QLabel*> rowLabels;
    const auto addRow = [&](QWidget* control) {
        auto* label = new QLabel;
        label->setFixedWidth(168);
        label->setForegroundRole(QPalette::PlaceholderText);
        const int row = grid->rowCount();
        grid->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignVCenter);
        grid->addWidget(control, row, 1);
        rowLabels.push_back(label);
    };
    const auto valueRow = [](QSlider* slider, QLabel* value) {
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(12);
        value->setFixedWidth(48);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        layout->addWidget(slider, 1);
        layout->addWidget(value);
        return row;
    };

    auto* font = new QComboBox;
    font->setObjectName("player.subtitleFontName");
    addRow(font);
    auto* size = new QSlider(Qt::Horizontal);
    size->setObjectName("player.subtitleFontSize");
    size->setRange(14, 48);
    auto* sizeValue = new QLabel;
    sizeValue->setObjectName("player.subtitleFontSize.readout");
    addRow(valueRow(size, sizeValue));
    auto* style = new QComboBox;
    style->setObjectName("player.subtitleStyle");
    addRow(style);
    auto* fade = new QComboBox;
    fade->setObjectName("player.subtitleFade");
    addRow(fade);
    auto* transparency = new QSlider(Qt::Horizontal);
    transparency->setObjectName("player.subtitleBackgroundTransparency");
    transparency->setRange(0, sliderSteps);
    auto* transparencyValue = new QLabel;
    transparencyValue->setObjectName("player.subtitleBackgroundTransparency.readout");
    addRow(valueRow(transparency, transparencyValue));
    column->addLayout(grid);
    column->addWidget(divider());
    auto* preview = new SubtitlePreview;
    preview->setObjectName("subtitlePreview");
    column->addWidget(preview);
    auto* note = caption();
    column->addWidget(note);
    column->addStretch(1);

    labelled([=, this] {
        title->setText(text(AppLocalization::string("字幕表示")));
        reset->setText(text(AppLocalization::string("デフォルトに戻す")));
        const std::string keys[] = {AppLocalization::string("フォント"), AppLocalization::string("フォントサイズ"),
                                    AppLocalization::string("表示スタイル"), AppLocalization::string("字幕の切り替え"),
                                    AppLocalization::string("背景の透明度")};
        for (std::size_t i = 0; i < rowLabels.size(); ++i) rowLabels[i]->setText(text(keys[i]));
        font->setAccessibleName(rowLabels[0]->text());
        style->setAccessibleName(rowLabels[2]->text());
        fade->setAccessibleName(rowLabels[3]->text());
        note->setText(text(AppLocalization::string("変更は再生画面へすぐに反映されます。")));
        {
            const QSignalBlocker block(font);
            font->clear();
            font->addItem(text(AppLocalization::string("システムフォント")), QString("system"));
            font->insertSeparator(1);
            for (const QString& family : availableSubtitleFonts()) font->addItem(family, family);
        }
        fillChoices(*style, {{AppLocalization::string("背景付き"), QString("background")},
                             {AppLocalization::string("縁取り"), QString("outline")},
                             {AppLocalization::string("影のみ"), QString("shadow")}});
        fillChoices(*fade, {{AppLocalization::string("即時（アニメーションなし）"), false},
                            {AppLocalization::string("短いフェード"), true}});
        for (const auto& refresh : refreshes_) refresh();
        // The sample line is a text of its own, in the new language too.
        refreshSubtitlePreview();
    });

    connect(font, &QComboBox::activated, this, [this, font](int index) {
        defaults_.set("player.subtitleFontName", font->itemData(index).toString().toStdString());
    });
    connect(style, &QComboBox::activated, this, [this, style](int index) {
        defaults_.set("player.subtitleStyle", style->itemData(index).toString().toStdString());
    });
    connect(fade, &QComboBox::activated, this,
            [this, fade](int index) { defaults_.set("player.subtitleFade", fade->itemData(index).toBool()); });
    // Only whole point sizes are stored.
    connect(size, &QSlider::valueChanged, this,
            [this](int value) { defaults_.set("player.subtitleFontSize", std::round(double(value))); });
    connect(transparency, &QSlider::valueChanged, this, [this](int value) {
        defaults_.set("player.subtitleBackgroundTransparency", double(value) / sliderSteps);
    });

    refreshPreview_ = [this, preview] {
        preview->show(text(AppLocalization::string("字幕のプレビュー")),
                      subtitlePreviewFont(defaults_.string("player.subtitleFontName").value_or("system"),
                                          defaults_.real("player.subtitleFontSize").value_or(40)),
                      SubtitleAppearance{defaults_.string("player.subtitleStyle").value_or("background"),
                                         defaults_.real("player.subtitleBackgroundTransparency").value_or(0.5)});
    };
    const auto track = [this](const std::string& key, std::function<void()> apply) {
        refreshes_.push_back(apply);
        follow(key, [this, apply] {
            apply();
            refreshSubtitlePreview();
        });
    };
    track("player.subtitleFontName", [this, font] {
        // A family no longer installed stays stored; the menu then shows no entry.
        setComboData(*font, text(defaults_.string("player.subtitleFontName").value_or("system")));
    });
    track("player.subtitleFontSize", [this, size, sizeValue] {
        const double value = defaults_.real("player.subtitleFontSize").value_or(40);
        const QSignalBlocker block(size);
        size->setValue(int(std::lround(value)));
        sizeValue->setText(pointText(value));
    });
    track("player.subtitleStyle", [this, style, transparency, transparencyValue] {
        const std::string value = defaults_.string("player.subtitleStyle").value_or("background");
        setComboData(*style, text(value));
        transparency->setEnabled(value == "background");
        transparencyValue->setEnabled(value == "background");
    });
    track("player.subtitleFade",
          [this, fade] { setComboData(*fade, defaults_.boolean("player.subtitleFade").value_or(false)); });
    track("player.subtitleBackgroundTransparency", [this, transparency, transparencyValue] {
        const double value = defaults_.real("player.subtitleBackgroundTransparency").value_or(0.5);
        const QSignalBlocker block(transparency);
        transparency->setValue(int(std::lround(value * sliderSteps)));
        transparencyValue->setText(percentText(value));
    });
    return page;
}

void PlayerSettingsPanel::refreshSubtitlePreview() {
    if (refreshPreview_) refreshPreview_();
}

void PlayerSettingsPanel::resetSubtitleSettings() {
    defaults_.set("player.subtitleFontName", "system");
    defaults_.set("player.subtitleFontSize", 40.0);
    defaults_.set("player.subtitleBackgroundTransparency", 0.5);
    defaults_.set("player.subtitleStyle", "background");
    defaults_.set("player.subtitleFade", false);
}

// --- Capture tab.

QWidget* PlayerSettingsPanel::buildCapture() {
    auto* page = new QWidget;
    page->setObjectName("captureSettings");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(22);
    auto* title = headline();
    column->addWidget(title);

    struct Toggle {
        const char* key;
        std::string (*label)();
    };
    const Toggle toggles[] = {
        {"player.captureSubtitles", [] { return AppLocalization::string("字幕"); }},
        {"player.captureOSD", [] { return AppLocalization::string("OSD（画面上の表示・操作メニュー）"); }},
        {"player.captureComparisonGuides",
         [] { return AppLocalization::string("比較ガイド（ルーラー・境界線・ラベル）"); }},
    };
    auto* checks = new QVBoxLayout;
    checks->setSpacing(8);
    for (const Toggle& toggle : toggles) {
        auto* box = new QCheckBox;
        box->setObjectName(toggle.key);
        const std::string key = toggle.key;
        connect(box, &QCheckBox::toggled, this, [this, key](bool on) { defaults_.set(key, on); });
        follow(key, [this, key, box] {
            const QSignalBlocker block(box);
            box->setChecked(defaults_.boolean(key).value_or(false));
        });
        labelled([box, label = toggle.label] { box->setText(text(label())); });
        checks->addWidget(box);
    }
    column->addLayout(checks);
    column->addWidget(divider());

    const auto pickerRow = [&](QLabel* name, QComboBox* picker) {
        auto* row = new QHBoxLayout;
        picker->setFixedWidth(290);
        row->addWidget(name);
        row->addStretch(1);
        row->addWidget(picker);
        column->addLayout(row);
    };
    auto* sizeName = new QLabel;
    auto* size = new QComboBox;
    size->setObjectName("player.captureSize");
    pickerRow(sizeName, size);
    auto* explanation = caption();
    column->addWidget(explanation);
    column->addWidget(divider());
    auto* saveName = new QLabel;
    auto* save = new QComboBox;
    save->setObjectName("player.captureSaveMode");
    pickerRow(saveName, save);

    auto* folderRow = new QWidget;
    folderRow->setObjectName("captureFolderRow");
    auto* folderLayout = new QHBoxLayout(folderRow);
    folderLayout->setContentsMargins(0, 0, 0, 0);
    auto* folder = caption();
    folder->setObjectName("player.captureDirectory");
    folder->setWordWrap(false);
    folder->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* choose = new QPushButton;
    choose->setObjectName("chooseCaptureDirectory");
    folderLayout->addWidget(folder, 1);
    folderLayout->addWidget(choose);
    column->addWidget(folderRow);
    column->addStretch(1);
    connect(choose, &QPushButton::clicked, this, [this] { chooseCaptureDirectory(); });

    const auto showFolder = [this, folder, folderRow] {
        folderRow->setVisible(defaults_.string("player.captureSaveMode").value_or("ask") == "folder");
        const QString path = text(defaults_.string("player.captureDirectory").value_or(""));
        const QString shown = path.isEmpty() ? text(AppLocalization::string("保存フォルダを選択してください")) : path;
        folder->setText(folder->fontMetrics().elidedText(shown, Qt::ElideMiddle, 430));
        folder->setToolTip(path);
    };
    const auto showChoice = [this](QComboBox* picker, const char* key, const char* fallback) {
        return [this, picker, key, fallback] { setComboData(*picker, text(defaults_.string(key).value_or(fallback))); };
    };
    std::function<void()> showSize = showChoice(size, "player.captureSize", "screen");
    std::function<void()> showSave = showChoice(save, "player.captureSaveMode", "ask");

    labelled([=] {
        title->setText(text(AppLocalization::string("キャプチャに含めるもの")));
        sizeName->setText(text(AppLocalization::string("保存サイズ")));
        size->setAccessibleName(sizeName->text());
        saveName->setText(text(AppLocalization::string("保存先")));
        save->setAccessibleName(saveName->text());
        explanation->setText(text(AppLocalization::string(
            "画面サイズは映像表示領域のピクセル数、出力サイズは現在の処理結果のサイズです。OSDは表示中のものを保存します。")));
        choose->setText(text(AppLocalization::string("フォルダを選択…")));
        fillChoices(*size, {{AppLocalization::string("オリジナルと同じサイズ"), QString("original")},
                            {AppLocalization::string("画面サイズ"), QString("screen")},
                            {AppLocalization::string("出力サイズ"), QString("output")}});
        fillChoices(*save, {{AppLocalization::string("毎回確認"), QString("ask")},
                            {AppLocalization::string("指定フォルダへ自動保存"), QString("folder")}});
        showSize();
        showSave();
        showFolder();
    });
    connect(size, &QComboBox::activated, this, [this, size](int index) {
        defaults_.set("player.captureSize", size->itemData(index).toString().toStdString());
    });
    connect(save, &QComboBox::activated, this, [this, save](int index) {
        defaults_.set("player.captureSaveMode", save->itemData(index).toString().toStdString());
    });
    follow("player.captureSize", showSize);
    follow("player.captureSaveMode", [showSave, showFolder] {
        showSave();
        showFolder();
    });
    follow("player.captureDirectory", showFolder);
    return page;
}

std::optional<std::string> PlayerSettingsPanel::captureFolderProblem(const fs::path& folder) {
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (folder.empty() || !folder.is_absolute() || !fs::exists(status))
        return AppLocalization::string("選択したフォルダが見つかりません。");
    if (!fs::is_directory(status)) return AppLocalization::string("選択した項目はフォルダではありません。");
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return AppLocalization::string("選択したフォルダに書き込めません。");
    return std::nullopt;
}

void PlayerSettingsPanel::chooseCaptureDirectory() {
    std::optional<fs::path> start;
    if (auto stored = defaults_.string("player.captureDirectory"); stored && !stored->empty()) start = fs::path(*stored);
    QPointer<PlayerSettingsPanel> self(this);
    fileDialogs_.chooseFolder(this, start, [self](std::optional<fs::path> folder) {
        if (!self || !folder) return;
        // Linux needs no access bookmark: the path is the access, once it is a writable folder.
        if (auto problem = captureFolderProblem(*folder)) return self->showAlert("Lumavane", *problem);
        self->defaults_.set("player.captureDirectory", folder->string());
    });
}

// --- About tab.

std::string PlayerSettingsPanel::appVersion() {
    return appInfoString("CFBundleShortVersionString").value_or("0.9.1");
}

QWidget* PlayerSettingsPanel::buildAbout() {
    auto* page = new QWidget;
    page->setObjectName("about");
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->setSpacing(0);
    outer->addStretch(1);
    auto* row = new QHBoxLayout;
    row->setSpacing(32);

    auto* icon = new QLabel;
    icon->setObjectName("aboutIcon");
    const QImage image = LumavaneBrandAssets::aboutIcon();
    if (!image.isNull()) {
        QPixmap pixmap = QPixmap::fromImage(image.scaled(400, 400, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        pixmap.setDevicePixelRatio(2);
        icon->setPixmap(pixmap);
    }
    icon->setFixedSize(260, 200);
    icon->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(icon);

    auto* info = new QWidget;
    info->setFixedWidth(260);
    auto* column = new QVBoxLayout(info);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    auto* name = new QLabel("Lumavane");
    QFont big = name->font();
    big.setPixelSize(26);
    big.setBold(true);
    name->setFont(big);
    auto* version = new QLabel;
    version->setObjectName("aboutVersion");
    version->setForegroundRole(QPalette::PlaceholderText);
    auto* tagline = headline();
    tagline->setContentsMargins(0, 8, 0, 0);
    column->addWidget(name);
    column->addWidget(version);
    column->addWidget(tagline);
    column->addSpacing(16);
    auto* copy = new QPushButton;
    copy->setObjectName("copyDiagnostics");
    copy->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    auto* privacy = caption();
    privacy->setObjectName("privacyNote");
    column->addWidget(copy);
    column->addSpacing(6);
    column->addWidget(privacy);
    row->addWidget(info);
    row->addStretch(1);
    outer->addLayout(row);
    outer->addStretch(1);
    connect(copy, &QPushButton::clicked, this, [this] { copyDiagnostics(); });

    refreshCopy_ = [this, copy] {
        copy->setText(text(diagnosticsCopied_ ? AppLocalization::string("診断情報をコピーしました")
                                              : AppLocalization::string("診断情報をコピー")));
        setSymbol(*copy, diagnosticsCopied_ ? "checkmark.circle.fill" : "doc.on.doc");
    };
    labelled([=, this] {
        version->setText(text(AppLocalization::format("バージョン %@", appVersion())));
        tagline->setText(text(AppLocalization::string("動画を、もっと鮮明に。")));
        privacy->setText(text(AppLocalization::string("動画、ファイル名、ファイルパスは含まれません。")));
        refreshCopyButton();
    });
    return page;
}

void PlayerSettingsPanel::refreshCopyButton() {
    if (refreshCopy_) refreshCopy_();
}

void PlayerSettingsPanel::copyDiagnostics() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text(diagnostics_ ? diagnostics_() : std::string()));
    diagnosticsCopied_ = true;
    refreshCopyButton();
    // Restarted on each copy, so the mark stays two seconds after the last one.
    copiedMarkTimer_.start();
}

} // namespace lumavane
