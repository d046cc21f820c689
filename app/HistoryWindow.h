#pragma once

#include "HistoryModel.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace pixavella {

class UploadStatusModel;

// The history window's content: statistics header, upload status while uploads run or wait,
// then the days with their foldable batches, or the empty state. Fixed at 420 × 520.
class HistoryView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 420;
    static constexpr int kHeight = 520;

    // Takes ownership of `model`; `status` may be null.
    HistoryView(HistoryModel* model, UploadStatusModel* status, QWidget* parent = nullptr);

    HistoryModel* model() const { return m_model; }
    QString headerText() const;
    QString statusText() const; // empty when hidden

private:
    void updateHeader();
    void updateStatus();
    void rebuildList();
    QWidget* batchRow(const UploadJournal::Batch& batch);
    QWidget* eventRow(const UploadJournal::Event& event);

    HistoryModel* m_model;
    QPointer<UploadStatusModel> m_status;
    QLabel* m_header;
    QLabel* m_statusLine;
    QWidget* m_statusDivider;
    QWidget* m_empty;
    QScrollArea* m_scroll;
};

// The one history window of the run, created on first show and kept when closed; it goes
// with the controller. Its model reads `journal` and the stored server; `status` may be null.
class HistoryWindowController : public QObject {
    Q_OBJECT

public:
    HistoryWindowController(UploadJournal& journal, HistoryModel::RetryAction retry,
                            UploadStatusModel* status, QObject* parent = nullptr);
    ~HistoryWindowController() override;

    void show();
    QWidget* window() const { return m_window; }

private:
    UploadJournal& m_journal;
    HistoryModel::RetryAction m_retry;
    QPointer<UploadStatusModel> m_status;
    QPointer<QWidget> m_window;
};

} // namespace pixavella
