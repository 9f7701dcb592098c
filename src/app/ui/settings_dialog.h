// Settings: conversion defaults, originals, appearance and accent, default targets, folder access.
#pragma once

#include <QDialog>

class QListWidget;

namespace kv {
class ConversionViewModel;
class FolderAccess;
} // namespace kv

namespace kv::ui {

class SettingsDialog final : public QDialog {
    Q_OBJECT
  public:
    /// Every control writes straight through to the state (or to `grants` for folder access).
    SettingsDialog(ConversionViewModel& state, FolderAccess& grants, QWidget* parent = nullptr);

  private:
    QWidget* conversionPage();
    QWidget* appearancePage();
    QWidget* targetsPage();
    QWidget* foldersPage();
    void refreshGrants();

    ConversionViewModel& m_state;
    FolderAccess& m_grants;
    QListWidget* m_grantList = nullptr;
};

} // namespace kv::ui
