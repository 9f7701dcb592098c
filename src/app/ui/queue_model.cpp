// The visible queue rows, read from the state; one row per visible job.
#include "app/ui/queue_model.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/queue_roles.h"
#include "base/size_text.h"

namespace kv::ui {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QImage toImage(const Thumbnail& thumbnail) {
    QImage image(thumbnail.rgba.data(), thumbnail.width, thumbnail.height, thumbnail.width * 4,
                 QImage::Format_RGBA8888);
    return image.copy(); // own the pixels
}

} // namespace

QueueModel::QueueModel(ConversionViewModel& state, QObject* parent)
    : QAbstractListModel(parent), m_state(state) {
    connect(&m_state, &ConversionViewModel::jobsChanged, this, &QueueModel::reload);
    connect(&m_state, &ConversionViewModel::filterChanged, this, &QueueModel::reload);
    connect(&m_state, &ConversionViewModel::jobUpdated, this, &QueueModel::rowChanged);
    connect(&m_state, &ConversionViewModel::thumbnailReady, this, [this](const Uuid& id) {
        m_thumbnails.erase(id);
        rowChanged(id);
    });
    connect(&m_state, &ConversionViewModel::selectionChanged, this, [this] {
        if (!m_ids.empty())
            emit dataChanged(index(0), index(static_cast<int>(m_ids.size()) - 1));
    });
    reload();
}

void QueueModel::reload() {
    beginResetModel();
    m_ids.clear();
    m_at.clear();
    m_rows.clear();
    const auto& jobs = m_state.jobs();
    std::map<Uuid, std::size_t> position;
    for (std::size_t i = 0; i < jobs.size(); ++i)
        position.emplace(jobs[i].id, i);
    for (const auto& job : m_state.visibleJobs()) {
        m_rows.emplace(job.id, static_cast<int>(m_ids.size()));
        m_ids.push_back(job.id);
        m_at.push_back(position.at(job.id));
    }
    endResetModel();
}

void QueueModel::rowChanged(const Uuid& id) {
    const int row = rowOf(id);
    if (row >= 0)
        emit dataChanged(index(row), index(row));
}

int QueueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_ids.size());
}

int QueueModel::rowOf(const Uuid& id) const {
    const auto found = m_rows.find(id);
    return found == m_rows.end() ? -1 : found->second;
}

const ConversionJob* QueueModel::jobAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_ids.size())
        return nullptr;
    const auto& jobs = m_state.jobs();
    const std::size_t at = m_at[static_cast<std::size_t>(row)];
    if (at < jobs.size() && jobs[at].id == m_ids[static_cast<std::size_t>(row)])
        return &jobs[at];
    return m_state.job(m_ids[static_cast<std::size_t>(row)]);
}

Qt::ItemFlags QueueModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QVariant QueueModel::data(const QModelIndex& index, int role) const {
    const ConversionJob* job = jobAt(index.row());
    if (job == nullptr)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case NameRole: return QString::fromStdString(job->fileName);
    case DetailRole:
        return qs(displayName(job->detectedFormat)) + QString::fromUtf8(" \u00b7 ") +
               QString::fromStdString(formatByteCount(job->fileSize));
    case CategoryRole: return qs(rawValue(categoryOf(job->detectedFormat)));
    case TargetRole: return job->targetFormat ? qs(displayName(*job->targetFormat)) : QString();
    case HasTargetsRole: return !possibleConversions(job->detectedFormat).empty();
    case StatusRole: return static_cast<int>(job->status);
    case StatusTextRole: return qs(rawValue(job->status));
    case ProgressRole: return job->progress;
    case DeltaRole: {
        const auto delta = job->sizeDeltaFormatted();
        return delta ? QString::fromStdString(*delta) : QString();
    }
    case ErrorRole:
        return job->errorMessage ? QString::fromStdString(*job->errorMessage) : QString();
    case ThumbnailRole: {
        const auto category = categoryOf(job->detectedFormat);
        if (category != FileCategory::image && category != FileCategory::video)
            return {};
        // Asked once per job: the state answers later with thumbnailReady.
        auto cached = m_thumbnails.find(job->id);
        if (cached == m_thumbnails.end()) {
            const auto thumbnail = m_state.thumbnail(job->id);
            cached =
                m_thumbnails.emplace(job->id, thumbnail ? toImage(*thumbnail) : QImage()).first;
        }
        return cached->second.isNull() ? QVariant() : QVariant::fromValue(cached->second);
    }
    case JobIdRole: return QString::fromStdString(job->id.toString());
    case Qt::AccessibleTextRole: {
        QString text = QString::fromStdString(job->fileName) + ", " +
                       qs(displayName(job->detectedFormat)) + ", " +
                       QString::fromStdString(formatByteCount(job->fileSize));
        if (job->targetFormat)
            text += ", " + tr("to %1").arg(qs(displayName(*job->targetFormat)));
        text += ", " + qs(rawValue(job->status));
        if (job->status == ConversionStatus::converting)
            text += " " + QString::number(static_cast<int>(job->progress * 100)) + "%";
        if (job->errorMessage)
            text += ": " + QString::fromStdString(*job->errorMessage);
        return text;
    }
    default: return {};
    }
}

} // namespace kv::ui
