// The compress sheet: each level's size, saving and quality, measured before anything is written.
#include "app/ui/compress_sheet.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/icons.h"
#include "app/ui/theme.h"
#include "base/size_text.h"
#include "compress/compressor.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <thread>

namespace kv::ui {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* label(const QString& text, QWidget* parent, const QColor& color, bool strong = false) {
    auto* l = new QLabel(text, parent);
    l->setStyleSheet(
        QStringLiteral("color: %1; %2").arg(color.name(), strong ? "font-weight: 600;" : ""));
    return l;
}

} // namespace

struct CompressSheet::Measurement {
    std::jthread worker;
};

CompressSheet::CompressSheet(ConversionViewModel& state, const Uuid& id, QWidget* parent)
    : QDialog(parent), m_state(state), m_id(id), m_measurement(std::make_shared<Measurement>()) {
    const Theme& t = currentTheme();
    setObjectName("compressSheet");
    setWindowTitle(tr("Compress"));
    setAccessibleName(tr("Compress"));
    setModal(true);
    setMinimumWidth(620);

    const ConversionJob* job = m_state.job(id);
    const QString name = job ? QString::fromStdString(job->fileName) : QString();
    const auto format = job ? job->detectedFormat : SupportedFormat::png;

    auto* title = new QLabel(tr("Compress %1").arg(name), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() + 3);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    const auto target = Compressor::compressionTarget(format);
    QString subtitle = job ? qs(displayName(format)) + QString::fromUtf8(" \u00b7 ") +
                                 QString::fromStdString(formatByteCount(job->fileSize))
                           : QString();
    if (target)
        subtitle +=
            QString::fromUtf8("  \u2192  ") + tr("a smaller %1").arg(qs(displayName(*target)));
    auto* sub = label(subtitle, this, t.secondaryText);

    // The page shown while measuring: a busy bar and the message.
    auto* measuring = new QWidget(this);
    auto* measuringLayout = new QVBoxLayout(measuring);
    measuringLayout->setContentsMargins(0, 24, 0, 24);
    measuringLayout->setSpacing(12);
    auto* busy = new QProgressBar(measuring);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setFixedHeight(6);
    busy->setAccessibleName(tr("Measuring"));
    busy->setStyleSheet(
        QStringLiteral("QProgressBar { background: %1; border: none; border-radius: 3px; } "
                       "QProgressBar::chunk { background: %2; border-radius: 3px; }")
            .arg(t.surfaceAlt.name(), t.accent.name()));
    m_message = label(QString::fromUtf8("Measuring each level\u2026"), measuring, t.secondaryText);
    m_message->setAlignment(Qt::AlignCenter);
    measuringLayout->addWidget(m_message);
    measuringLayout->addWidget(busy);

    m_levels = new QWidget(this);
    m_levelLayout = new QVBoxLayout(m_levels);
    m_levelLayout->setContentsMargins(0, 0, 0, 0);
    m_levelLayout->setSpacing(8);

    m_stack = new QStackedWidget(this);
    m_stack->addWidget(measuring);
    m_stack->addWidget(m_levels);

    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setAutoDefault(false);
    cancel->setAccessibleName(tr("Close without compressing"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 20);
    layout->setSpacing(6);
    layout->addWidget(title);
    layout->addWidget(sub);
    layout->addSpacing(14);
    layout->addWidget(m_stack);
    layout->addSpacing(10);
    layout->addLayout(buttons);

    m_state.setCompressingJob(id);
    connect(this, &QDialog::finished, this, [this] {
        if (m_state.compressingJob() && m_state.compressingJob()->id == m_id)
            m_state.setCompressingJob(std::nullopt);
    });

    if (!job || !target) {
        showEstimates({});
        return;
    }
    const auto source = job->sourceURL;
    QPointer<CompressSheet> self(this);
    m_measurement->worker = std::jthread([self, source, format](std::stop_token stop) {
        auto estimates = Compressor::estimates(source, format, stop);
        if (stop.stop_requested())
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, estimates = std::move(estimates)] {
                if (self)
                    self->showEstimates(estimates);
            },
            Qt::QueuedConnection);
    });
}

CompressSheet::~CompressSheet() {
    if (m_measurement->worker.joinable()) {
        m_measurement->worker.request_stop();
        m_measurement->worker.join();
    }
}

bool CompressSheet::isMeasuring() const {
    return m_stack->currentIndex() == 0;
}

void CompressSheet::showEstimates(const std::vector<CompressionEstimate>& estimates) {
    const Theme& t = currentTheme();
    m_levelCount = static_cast<int>(estimates.size());
    if (estimates.empty()) {
        auto* none = label(tr("This file is already as small as it gets.\nNo level would save "
                              "enough to be worth a copy."),
                           m_levels, t.secondaryText);
        none->setAlignment(Qt::AlignCenter);
        m_levelLayout->addSpacing(12);
        m_levelLayout->addWidget(none);
        m_levelLayout->addSpacing(12);
    }
    bool first = true;
    for (const auto& estimate : estimates) {
        auto* row = new QWidget(m_levels);
        row->setObjectName("levelRow");
        row->setAttribute(Qt::WA_StyledBackground);
        row->setStyleSheet(QStringLiteral("#levelRow { background: %1; border: 1px solid %2; "
                                          "border-radius: 10px; }")
                               .arg(t.surface.name(), t.border.name()));
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(14, 10, 12, 10);
        rowLayout->setSpacing(14);

        auto* names = new QVBoxLayout;
        names->setSpacing(1);
        names->addWidget(label(qs(title(estimate.level)), row, t.text, true));
        names->addWidget(label(qs(hint(estimate.level)), row, t.secondaryText));
        rowLayout->addLayout(names, 1);
        rowLayout->addSpacing(8);

        auto* size = label(QString::fromStdString(sizeText(estimate)), row, t.text, true);
        size->setMinimumWidth(70);
        size->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        rowLayout->addWidget(size);
        auto* saved =
            label(QString::fromUtf8("\u2212") + QString::fromStdString(savedText(estimate)), row,
                  t.success, true);
        saved->setMinimumWidth(48);
        saved->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        rowLayout->addWidget(saved);
        auto* quality = label(QString::fromStdString(qualityText(estimate)), row, t.secondaryText);
        quality->setMinimumWidth(96);
        rowLayout->addWidget(quality);

        auto* go = new QPushButton(tr("Compress"), row);
        go->setAccessibleName(tr("Compress at %1, %2, saves %3")
                                  .arg(qs(title(estimate.level)),
                                       QString::fromStdString(sizeText(estimate)),
                                       QString::fromStdString(savedText(estimate))));
        go->setObjectName(first ? "primary" : "");
        go->setCursor(Qt::PointingHandCursor);
        go->setAutoDefault(false);
        go->setMinimumWidth(104);
        const CompressionLevel level = estimate.level;
        connect(go, &QPushButton::clicked, this, [this, level] {
            m_state.compress(m_id, level);
            accept();
        });
        rowLayout->addWidget(go);
        m_levelLayout->addWidget(row);
        first = false;
    }
    m_stack->setCurrentIndex(1);
    adjustSize();
    emit measured();
}

} // namespace kv::ui
