// The compress sheet: each level's size, saving and quality, measured before anything is written.
#pragma once

#include "base/uuid.h"
#include "compress/compression_level.h"

#include <QDialog>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QVBoxLayout;
class QStackedWidget;

namespace kv {
class ConversionViewModel;
}

namespace kv::ui {

class CompressSheet final : public QDialog {
    Q_OBJECT
  public:
    /// Starts measuring the levels of the job `id` in the background.
    CompressSheet(ConversionViewModel& state, const Uuid& id, QWidget* parent = nullptr);
    /// Stops a measurement still running and waits for it.
    ~CompressSheet() override;

    /// Shows these levels (also how the measurement ends).
    void showEstimates(const std::vector<CompressionEstimate>& estimates);
    /// Levels shown so far.
    int levelCount() const { return m_levelCount; }
    bool isMeasuring() const;

  signals:
    void measured();

  private:
    struct Measurement;

    ConversionViewModel& m_state;
    Uuid m_id;
    std::shared_ptr<Measurement> m_measurement;
    QStackedWidget* m_stack = nullptr;
    QWidget* m_levels = nullptr;
    QVBoxLayout* m_levelLayout = nullptr;
    QLabel* m_message = nullptr;
    int m_levelCount = 0;
};

} // namespace kv::ui
