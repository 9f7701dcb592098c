// Settings: conversion defaults, originals, appearance and accent, default targets, folder access.
#include "app/ui/settings_dialog.h"

#include "app/state/conversion_view_model.h"
#include "app/ui/icons.h"
#include "app/ui/theme.h"
#include "frontends/in_place/folder_access.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace kv::ui {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* note(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setStyleSheet(
        QStringLiteral("color: %1; font-size: 9pt;").arg(currentTheme().secondaryText.name()));
    return label;
}

QFormLayout* form(QWidget* page) {
    auto* layout = new QFormLayout(page);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setHorizontalSpacing(18);
    layout->setVerticalSpacing(12);
    layout->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    return layout;
}

// Every target that some format of `category` can be converted to, in catalogue order.
std::vector<SupportedFormat> targetsOf(FileCategory category) {
    std::vector<bool> seen(allFormats().size(), false);
    for (const SupportedFormat source : allFormats())
        if (categoryOf(source) == category)
            for (const SupportedFormat target : possibleConversions(source))
                seen[static_cast<std::size_t>(target)] = true;
    std::vector<SupportedFormat> targets;
    for (const SupportedFormat format : allFormats())
        if (seen[static_cast<std::size_t>(format)])
            targets.push_back(format);
    return targets;
}

} // namespace

SettingsDialog::SettingsDialog(ConversionViewModel& state, FolderAccess& grants, QWidget* parent)
    : QDialog(parent), m_state(state), m_grants(grants) {
    setObjectName("settings");
    setWindowTitle(tr("Settings"));
    setAccessibleName(tr("Settings"));
    setMinimumSize(560, 460);

    auto* tabs = new QTabWidget(this);
    tabs->setDocumentMode(true);
    tabs->addTab(conversionPage(), tr("Conversion"));
    tabs->addTab(appearancePage(), tr("Appearance"));
    tabs->addTab(targetsPage(), tr("Default Targets"));
    tabs->addTab(foldersPage(), tr("Folder Access"));

    auto* done = new QPushButton(tr("Done"), this);
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(done);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 14);
    layout->addWidget(tabs, 1);
    layout->addLayout(buttons);
}

QWidget* SettingsDialog::conversionPage() {
    auto* page = new QWidget(this);
    auto* layout = form(page);

    auto* quality = new QSlider(Qt::Horizontal, page);
    quality->setRange(10, 100);
    quality->setValue(static_cast<int>(m_state.imageQuality() * 100 + 0.5));
    quality->setAccessibleName(tr("Image quality"));
    auto* qualityValue = new QLabel(QString::number(quality->value()) + "%", page);
    qualityValue->setMinimumWidth(40);
    connect(quality, &QSlider::valueChanged, this, [this, qualityValue](int value) {
        qualityValue->setText(QString::number(value) + "%");
        m_state.setImageQuality(value / 100.0);
    });
    auto* qualityRow = new QHBoxLayout;
    qualityRow->addWidget(quality, 1);
    qualityRow->addWidget(qualityValue);
    layout->addRow(tr("Image quality"), qualityRow);

    auto* maxEdge = new QSpinBox(page);
    maxEdge->setRange(0, 32768);
    maxEdge->setSingleStep(256);
    maxEdge->setSuffix(tr(" px"));
    maxEdge->setSpecialValueText(tr("Original size"));
    maxEdge->setValue(m_state.imageMaxEdge());
    maxEdge->setAccessibleName(tr("Longest edge"));
    connect(maxEdge, &QSpinBox::valueChanged, this,
            [this](int value) { m_state.setImageMaxEdge(value); });
    layout->addRow(tr("Longest edge"), maxEdge);

    auto* strip = new QCheckBox(tr("Remove location and camera details from images"), page);
    strip->setChecked(m_state.stripMetadata());
    connect(strip, &QCheckBox::toggled, this, [this](bool on) { m_state.setStripMetadata(on); });
    layout->addRow(tr("Metadata"), strip);

    auto* bitrate = new QComboBox(page);
    bitrate->setAccessibleName(tr("Audio bit rate"));
    for (const int kbps : {96, 128, 160, 192, 256, 320})
        bitrate->addItem(tr("%1 kbit/s").arg(kbps), kbps * 1000);
    bitrate->setCurrentIndex(std::max(0, bitrate->findData(m_state.audioBitrate())));
    connect(bitrate, &QComboBox::currentIndexChanged, this,
            [this, bitrate](int) { m_state.setAudioBitrate(bitrate->currentData().toInt()); });
    layout->addRow(tr("Audio bit rate"), bitrate);

    auto* keep = new QCheckBox(tr("Keep original files after converting"), page);
    keep->setChecked(m_state.keepOriginals());
    connect(keep, &QCheckBox::toggled, this, [this](bool on) { m_state.setKeepOriginals(on); });
    layout->addRow(tr("Originals"), keep);
    layout->addRow(QString(), note(tr("When off, a source moves to the Trash only after every "
                                      "conversion of it has succeeded and been checked."),
                                   page));
    return page;
}

QWidget* SettingsDialog::appearancePage() {
    auto* page = new QWidget(this);
    auto* layout = form(page);

    auto* mode = new QComboBox(page);
    mode->setAccessibleName(tr("Appearance"));
    mode->addItem(tr("Dark"), static_cast<int>(AppearanceMode::dark));
    mode->addItem(tr("Light"), static_cast<int>(AppearanceMode::light));
    mode->setCurrentIndex(m_state.appearanceMode() == AppearanceMode::dark ? 0 : 1);
    connect(mode, &QComboBox::currentIndexChanged, this, [this, mode](int) {
        m_state.setAppearanceMode(static_cast<AppearanceMode>(mode->currentData().toInt()));
    });
    layout->addRow(tr("Appearance"), mode);

    auto* swatches = new QHBoxLayout;
    swatches->setSpacing(6);
    auto* group = new QButtonGroup(page);
    const QColor custom = QColor::fromRgb(m_state.customAccent());
    for (const AccentChoice choice : allAccentChoices()) {
        const QString name = qs(rawValue(choice));
        const QColor color = accentColor(name, custom);
        auto* swatch = new QToolButton(page);
        swatch->setCheckable(true);
        swatch->setChecked(choice == m_state.accent());
        swatch->setFixedSize(24, 24);
        swatch->setToolTip(name.left(1).toUpper() + name.mid(1));
        swatch->setAccessibleName(tr("Accent %1").arg(name));
        swatch->setCursor(Qt::PointingHandCursor);
        swatch->setStyleSheet(
            QStringLiteral("QToolButton { background: %1; border: 2px solid %2; border-radius: "
                           "12px; } QToolButton:checked { border: 2px solid %3; }")
                .arg(color.name(), color.darker(115).name(), currentTheme().text.name()));
        if (choice == AccentChoice::custom)
            swatch->setText("+");
        group->addButton(swatch);
        connect(swatch, &QToolButton::clicked, this, [this, choice] {
            if (choice == AccentChoice::custom) {
                const QColor picked = QColorDialog::getColor(
                    QColor::fromRgb(m_state.customAccent()), this, tr("Custom Accent"));
                if (!picked.isValid())
                    return;
                m_state.setCustomAccent(picked.rgb() & 0xFFFFFFu);
            }
            m_state.setAccent(choice);
        });
        swatches->addWidget(swatch);
    }
    swatches->addStretch(1);
    layout->addRow(tr("Accent"), swatches);

    auto* tint = new QCheckBox(tr("Tint the window with the accent"), page);
    tint->setChecked(m_state.backgroundTint());
    connect(tint, &QCheckBox::toggled, this, [this](bool on) { m_state.setBackgroundTint(on); });
    layout->addRow(tr("Background"), tint);
    auto* strength = new QSlider(Qt::Horizontal, page);
    strength->setRange(0, 100);
    strength->setValue(static_cast<int>(m_state.backgroundTintStrength() * 100 + 0.5));
    strength->setAccessibleName(tr("Tint strength"));
    strength->setEnabled(m_state.backgroundTint());
    connect(tint, &QCheckBox::toggled, strength, &QSlider::setEnabled);
    connect(strength, &QSlider::valueChanged, this,
            [this](int value) { m_state.setBackgroundTintStrength(value / 100.0); });
    layout->addRow(tr("Tint strength"), strength);
    return page;
}

QWidget* SettingsDialog::targetsPage() {
    auto* page = new QWidget(this);
    auto* layout = form(page);
    for (const FileCategory category : allFileCategories()) {
        if (category == FileCategory::unknown)
            continue;
        auto* combo = new QComboBox(page);
        const QString name = qs(rawValue(category));
        combo->setAccessibleName(tr("Default target for %1").arg(name));
        combo->addItem(tr("First suggestion"), -1);
        for (const SupportedFormat format : targetsOf(category))
            combo->addItem(qs(displayName(format)), static_cast<int>(format));
        const auto& current = m_state.defaultTargets();
        if (const auto found = current.find(category); found != current.end())
            combo->setCurrentIndex(std::max(0, combo->findData(static_cast<int>(found->second))));
        connect(combo, &QComboBox::currentIndexChanged, this, [this, combo, category](int) {
            const int value = combo->currentData().toInt();
            if (value >= 0)
                m_state.setDefaultTarget(static_cast<SupportedFormat>(value), category);
        });
        layout->addRow(name + "s", combo);
    }
    layout->addRow(QString(), note(tr("New files of a kind start with this target when they can "
                                      "be converted to it."),
                                   page));
    return page;
}

QWidget* SettingsDialog::foldersPage() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(10);
    layout->addWidget(note(tr("Folders where Kelvane may write converted files next to their "
                              "originals (file manager actions and automation)."),
                           page));
    m_grantList = new QListWidget(page);
    m_grantList->setAccessibleName(tr("Granted folders"));
    m_grantList->setIconSize(QSize(16, 16));
    layout->addWidget(m_grantList, 1);
    auto* add = new QPushButton(tr("Add Folder…"), page);
    auto* remove = new QPushButton(tr("Remove"), page);
    remove->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(m_grantList, &QListWidget::currentRowChanged, remove,
            [remove](int row) { remove->setEnabled(row >= 0); });
    connect(add, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Grant Folder Access"));
        if (folder.isEmpty())
            return;
        m_grants.grant(folder.toStdString());
        refreshGrants();
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (QListWidgetItem* item = m_grantList->currentItem()) {
            m_grants.revoke(item->text().toStdString());
            refreshGrants();
        }
    });
    refreshGrants();
    return page;
}

void SettingsDialog::refreshGrants() {
    m_grantList->clear();
    for (const auto& path : m_grants.authorizedPaths())
        new QListWidgetItem(icon(Glyph::folder, currentTheme().secondaryText),
                            QString::fromStdString(path), m_grantList);
}

} // namespace kv::ui
