// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/sessionhost.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace corvale {

class SoundBank;

// The session's seams on the desktop: file dialogs for choosing inputs, Corvale's own
// completion sounds, and the application's way out.
class DesktopSessionHost : public SessionHost {
public:
    DesktopSessionHost();
    ~DesktopSessionHost() override;

    // The window the dialogs belong to while it is shown.
    void setDialogParent(QWidget* parent) { m_parent = parent; }
    void setQuitHandler(std::function<void()> quit) { m_quit = std::move(quit); }
    // The session's reference, whose folder the file dialogs start in.
    void setReferenceSource(std::function<QUrl()> reference) { m_reference = std::move(reference); }
    // Where a file dialog starts: the reference's folder, else the folder last chosen from,
    // else the dialog's own default.
    [[nodiscard]] QString startFolder() const;
    void rememberFolder(const QList<QUrl>& chosen);

    std::optional<QUrl> chooseReferenceFile(const QString& message) override;
    QList<QUrl> chooseIndividualFiles(const QString& message) override;
    void playSound(const QString& name) override;
    void quitApplication() override;

    // "Audio and video files (*.wav *.mp3 …)" and "All files (*)", from the MIME database.
    [[nodiscard]] static QStringList nameFilters();

private:
    QWidget* dialogParent() const;

    QPointer<QWidget> m_parent;
    std::function<void()> m_quit;
    std::function<QUrl()> m_reference;
    QString m_lastFolder;
    std::unique_ptr<SoundBank> m_sounds;
};

} // namespace corvale
