// The visible queue rows, read from the state; one row per visible job.
#pragma once

#include "base/uuid.h"

#include <QAbstractListModel>
#include <QImage>
#include <map>
#include <vector>

namespace kv {
class ConversionViewModel;
struct ConversionJob;
} // namespace kv

namespace kv::ui {

class QueueModel final : public QAbstractListModel {
    Q_OBJECT
  public:
    explicit QueueModel(ConversionViewModel& state, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    /// The job shown in `row`, or null.
    const ConversionJob* jobAt(int row) const;
    /// The row of a job, or -1 when it is not visible.
    int rowOf(const Uuid& id) const;

  private:
    void reload();
    void rowChanged(const Uuid& id);

    ConversionViewModel& m_state;
    std::vector<Uuid> m_ids;       // visible jobs in queue order
    std::vector<std::size_t> m_at; // each visible job's position in the state's list
    std::map<Uuid, int> m_rows;
    // Pictures by job; a null image marks one asked for and not ready yet.
    mutable std::map<Uuid, QImage> m_thumbnails;
};

} // namespace kv::ui
