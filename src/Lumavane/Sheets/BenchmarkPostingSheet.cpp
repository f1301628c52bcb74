#include "Lumavane/Sheets/BenchmarkPostingSheet.hpp"

#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"
#include "Lumavane/Panels/SheetSizing.hpp"
#include "Lumavane/Sheets/BenchmarkSheetStyle.hpp"

#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QUuid>
#include <QVBoxLayout>

namespace lumavane {

using namespace sheetstyle;

namespace {

bool isNewline(char32_t c) {
    return c == U'\n' || c == U'\r' || c == 0x0B || c == 0x0C || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::string newSubmissionID() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString(); }

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

// The system locale's language (not the interface language), "en" when it has none.
std::string postingLanguage() {
    const QLocale::Language language = QLocale::system().language();
    if (language == QLocale::C || language == QLocale::AnyLanguage) return "en";
    return QLocale::languageToCode(language).toStdString();
}

} // namespace

QString BenchmarkPublicationComment::canonicalizingInput(const QString& input) {
    std::u32string out;
    for (char32_t c : input.normalized(QString::NormalizationForm_C).toStdU32String()) {
        if (isNewline(c)) {
            // One space for a run of line breaks, none at the start; also past the limit.
            if (!out.empty() && !QChar::isSpace(out.back())) out.push_back(U' ');
        } else if (const QChar::Category category = QChar::category(c);
                   category == QChar::Other_Control || category == QChar::Other_Format) {
            continue; // invisible marks (zero width, direction overrides, BOM) never reach the public text
        } else if (out.size() < std::size_t(maxLength)) {
            out.push_back(c);
        } else {
            break;
        }
    }
    return QString::fromStdU32String(out);
}

std::optional<std::string> BenchmarkPublicationComment::normalized(const QString& text) {
    const QString trimmed = canonicalizingInput(text).trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    return trimmed.toStdString();
}

int BenchmarkPublicationComment::length(const QString& text) {
    return int(text.normalized(QString::NormalizationForm_C).toStdU32String().size());
}

BenchmarkWebPostSheet::BenchmarkWebPostSheet(BenchmarkSheetSession& session, BenchmarkWebServices services,
                                             QWidget* parent)
    : QDialog(parent), session_(session), services_(services.completed()), submissionID_(newSubmissionID()) {
    if (!services_.http) {
        ownHttp_ = std::make_unique<CurlHttpClient>();
        services_.http = ownHttp_.get();
    }
    setObjectName("benchmarkWebPostSheet");
    fitSheetToScreen(*this, {600, 560});
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);

    QHBoxLayout* header = headerRow("globe", loc("ベンチマークをWebに投稿"),
                                    {label(loc("結果を公開して、ほかのコンピューターとの比較に役立てます。"), 1.0, &secondary)});
    closeButton_ = iconButton("xmark", "閉じる", "closeButton");
    connect(closeButton_, &QToolButton::clicked, this, &QDialog::close);
    header->addWidget(closeButton_, 0, Qt::AlignTop);
    column->addLayout(header);

    // Between the header and the action row: scrolls where the screen is too low for the sheet.
    auto* middle = new QWidget;
    auto* sections = new QVBoxLayout(middle);
    sections->setContentsMargins(0, 0, 0, 0);
    sections->setSpacing(18);

    auto* previewBox = new QGroupBox(loc("投稿内容のプレビュー"));
    auto* previewLayout = new QVBoxLayout(previewBox);
    preview_ = new QPlainTextEdit;
    preview_->setObjectName("preview");
    preview_->setReadOnly(true);
    preview_->setFixedHeight(165);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(scaled(0.85).pointSizeF());
    preview_->setFont(mono);
    previewLayout->addWidget(preview_);
    sections->addWidget(previewBox);

    auto* commentBox = new QGroupBox(loc("公開コメント（任意）"));
    auto* commentLayout = new QVBoxLayout(commentBox);
    commentLayout->setSpacing(8);
    commentField_ = new QLineEdit;
    commentField_->setObjectName("commentField");
    commentField_->setPlaceholderText(loc("測定時の状況など"));
    connect(commentField_, &QLineEdit::textChanged, this, [this](const QString& value) { setComment(value); });
    commentLayout->addWidget(commentField_);
    auto* note = new QHBoxLayout;
    note->setSpacing(8);
    note->addWidget(label(loc("コメントは結果と一緒に公開されます。個人情報は入力しないでください。"), 0.85, &secondary), 1);
    note->addSpacing(8);
    counter_ = label(QString(), 0.85, &tertiary, QFont::Normal, "counter");
    counter_->setWordWrap(false);
    note->addWidget(counter_, 0, Qt::AlignTop);
    commentLayout->addLayout(note);
    sections->addWidget(commentBox);

    auto* privacy = new QHBoxLayout;
    privacy->addWidget(symbolLabel("hand.raised.fill", 14));
    privacy->addWidget(label(loc("動画、ファイル名、ファイルパス、端末固有IDは送信されません。"), 0.85, &secondary), 1);
    sections->addLayout(privacy);
    sections->addStretch(1);
    column->addWidget(scrollingSheetBody(middle), 1);

    auto* actions = new QHBoxLayout;
    status_ = new QWidget;
    auto* statusRow = new QHBoxLayout(status_);
    statusRow->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new QProgressBar;
    spinner->setObjectName("spinner");
    spinner->setRange(0, 0);
    spinner->setFixedSize(60, 10);
    statusRow->addWidget(spinner);
    QLabel* posted = symbolLabel("checkmark.circle.fill", 14);
    posted->setObjectName("postedMark");
    statusRow->addWidget(posted);
    statusText_ = label(QString(), 0.85, nullptr, QFont::Normal, "status");
    statusText_->setMaximumHeight(QFontMetrics(statusText_->font()).lineSpacing() * 2 + 2);
    statusRow->addWidget(statusText_, 1);
    actions->addWidget(status_, 1);
    editButton_ = pushButton(loc("内容を編集"), "editButton");
    connect(editButton_, &QPushButton::clicked, this, [this] { edit(); });
    actions->addWidget(editButton_);
    mainButton_ = pushButton(QString(), "mainButton", nullptr, true);
    mainButton_->setDefault(true);
    connect(mainButton_, &QPushButton::clicked, this, [this] { post(); });
    actions->addWidget(mainButton_);
    column->addLayout(actions);
    refresh();
}

BenchmarkWebPostSheet::~BenchmarkWebPostSheet() { cancellation_.cancel(); }

BenchmarkWebPostSheet::State BenchmarkWebPostSheet::state() const {
    if (posting_) return State::sending;
    if (response_) return State::posted;
    if (pendingSubmission_) return State::failed;
    return State::editing;
}

void BenchmarkWebPostSheet::setComment(const QString& value) {
    const QString canonical = BenchmarkPublicationComment::canonicalizingInput(value);
    comment_ = canonical;
    if (commentField_->text() != canonical) commentField_->setText(canonical);
    refresh();
}

std::optional<BenchmarkSubmission> BenchmarkWebPostSheet::build(std::string* error) const {
    try {
        return session_.benchmarkSubmission(submissionID_, BenchmarkPublicationComment::normalized(comment_));
    } catch (...) {
        *error = errorText(std::current_exception());
        return std::nullopt;
    }
}

QString BenchmarkWebPostSheet::previewText() const {
    std::string error;
    const auto document = pendingSubmission_ ? pendingSubmission_ : build(&error);
    if (!document) return text(error);
    try {
        return QString::fromUtf8(document->encoded(true)); // invalid sequences become U+FFFD
    } catch (...) {
        return text(errorText(std::current_exception()));
    }
}

void BenchmarkWebPostSheet::post() {
    if (response_) {
        services_.openURL(text(response_->resultURL));
        return;
    }
    if (posting_) return;
    const auto address = endpoint();
    if (!address) return;
    if (!pendingSubmission_) {
        std::string error;
        pendingSubmission_ = build(&error);
        if (!pendingSubmission_) {
            postError_ = error;
            refresh();
            return;
        }
    }
    posting_ = true;
    postError_.reset();
    refresh();
    postQueue_.async([this, address = *address, document = *pendingSubmission_, language = postingLanguage(),
                      http = services_.http, cancellation = cancellation_] {
        std::optional<BenchmarkPostResponse> response;
        std::optional<std::string> error;
        try {
            response = BenchmarkPostingClient(address, *http).post(document, language, cancellation);
        } catch (...) {
            error = errorText(std::current_exception());
        }
        if (cancellation.isCancelled()) return;
        mainExecutor_.post([this, response, error] { finish(response, error); });
    });
}

void BenchmarkWebPostSheet::finish(std::optional<BenchmarkPostResponse> response, std::optional<std::string> error) {
    response_ = std::move(response);
    postError_ = std::move(error);
    posting_ = false;
    refresh();
}

void BenchmarkWebPostSheet::edit() {
    if (posting_ || response_) return;
    pendingSubmission_.reset();
    submissionID_ = newSubmissionID();
    postError_.reset();
    refresh();
}

void BenchmarkWebPostSheet::reject() {
    if (!posting_) QDialog::reject();
}

void BenchmarkWebPostSheet::refresh() {
    const QString shown = previewText();
    if (preview_->toPlainText() != shown) preview_->setPlainText(shown);
    commentField_->setEnabled(!pendingSubmission_ && !posting_ && !response_);
    counter_->setText(QStringLiteral("%1/%2").arg(BenchmarkPublicationComment::length(comment_)).arg(200));
    closeButton_->setEnabled(!posting_);

    status_->findChild<QProgressBar*>("spinner")->setVisible(posting_);
    status_->findChild<QLabel*>("postedMark")->setVisible(!posting_ && response_);
    QString message;
    const QColor* tint = &secondary;
    if (posting_) {
        message = loc("投稿中…");
    } else if (response_) {
        message = loc("投稿しました。");
        tint = &green;
    } else if (postError_) {
        message = text(*postError_);
        tint = &red;
    } else if (!endpoint()) {
        message = loc("投稿先APIは未設定です。");
        tint = &orange;
    }
    statusText_->setText(message);
    statusText_->setStyleSheet(colour(*tint));

    editButton_->setVisible(pendingSubmission_ && !response_ && !posting_);
    if (response_) {
        mainButton_->setText(loc("結果を見る"));
        mainButton_->setEnabled(true);
    } else {
        mainButton_->setText(loc(pendingSubmission_ ? "再試行" : "Webに投稿"));
        mainButton_->setEnabled(!posting_ && endpoint().has_value());
    }
}

} // namespace lumavane
