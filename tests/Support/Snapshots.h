// Offscreen pictures of widgets for people reviewing the look, written as PNG files under
// <build>/snapshots/<view>-<state>.png. Tests assert geometry and texts, never these pixels.
#pragma once

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QString>
#include <QWidget>

#ifndef TANDREL_SNAPSHOT_DIR
#error "TANDREL_SNAPSHOT_DIR names the folder the snapshots go to"
#endif

// The file a snapshot named `name` ("router-scale150") is written to.
inline QString snapshotPath(const QString& name) {
    QDir().mkpath(QStringLiteral(TANDREL_SNAPSHOT_DIR));
    return QStringLiteral(TANDREL_SNAPSHOT_DIR "/") + name + QStringLiteral(".png");
}

// Lays `widget` out, lets pending events run and writes its picture. Returns false when the file could
// not be written.
inline bool writeSnapshot(QWidget& widget, const QString& name) {
    widget.ensurePolished();
    widget.adjustSize();
    QApplication::processEvents();
    return widget.grab().save(snapshotPath(name));
}
