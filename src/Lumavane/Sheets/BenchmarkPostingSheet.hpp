#pragma once

#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"
#include "Lumavane/Sheets/BenchmarkSheet.hpp"

#include <QDialog>

#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class QWidget;

namespace lumavane {

// The public comment's rules: NFC, no control characters, a newline becomes one space (never
// two in a row, none at the start), at most 200 Unicode scalars.
struct BenchmarkPublicationComment {
    static constexpr int maxLength = 200;
    static QString canonicalizingInput(const QString& text);
    // Canonical, trimmed; absent when nothing is left.
    static std::optional<std::string> normalized(const QString& text);
    // Unicode scalars of the NFC text.
    static int length(const QString& text);
};

// Previews the standard result's web document, takes a public comment and posts it. The
// document is frozen by the first post, so a retry resends it unchanged with the same ID.
class BenchmarkWebPostSheet final : public QDialog {
    Q_OBJECT
public:
    enum class State { editing, sending, failed, posted };

    BenchmarkWebPostSheet(BenchmarkSheetSession& session, BenchmarkWebServices services, QWidget* parent = nullptr);
    ~BenchmarkWebPostSheet() override;

    State state() const;
    const std::string& submissionID() const noexcept { return submissionID_; }
    const QString& comment() const noexcept { return comment_; }
    void setComment(const QString& comment);
    QString previewText() const;
    std::optional<std::string> endpoint() const { return services_.postingEndpoint(); }
    const std::optional<std::string>& postError() const noexcept { return postError_; }
    const std::optional<BenchmarkPostResponse>& response() const noexcept { return response_; }

    // The main button: posts (or resends the frozen document); "結果を見る" once posted.
    void post();
    // "内容を編集": back to editing with a new submission ID.
    void edit();

    void refresh();
    void reject() override;

private:
    void finish(std::optional<BenchmarkPostResponse> response, std::optional<std::string> error);
    std::optional<BenchmarkSubmission> build(std::string* error) const;

    BenchmarkSheetSession& session_;
    BenchmarkWebServices services_;
    std::unique_ptr<HttpClient> ownHttp_;
    QString comment_;
    std::string submissionID_;
    std::optional<BenchmarkSubmission> pendingSubmission_;
    bool posting_ = false;
    std::optional<std::string> postError_;
    std::optional<BenchmarkPostResponse> response_;
    CancellationToken cancellation_;

    QPlainTextEdit* preview_ = nullptr;
    QLineEdit* commentField_ = nullptr;
    QLabel* counter_ = nullptr;
    QWidget* status_ = nullptr;
    QLabel* statusText_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* mainButton_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    QtMainExecutor mainExecutor_{this};
    SerialQueue postQueue_{"Lumavane.benchmarkPost"};
};

} // namespace lumavane
