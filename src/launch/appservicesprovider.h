// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/appviewmodel.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

namespace corvale {

class LaunchHost;

// Carries out requests from outside the main window (the file-manager entry, "Open With", a
// "corvale" URL): the file becomes the reference once the user has chosen the files to sync,
// and the run goes on without the main window, with only the progress floater in view.
class AppServicesProvider : public QObject {
    Q_OBJECT
public:
    // host must outlive the provider.
    explicit AppServicesProvider(LaunchHost& host, QObject* parent = nullptr);

    [[nodiscard]] AppViewModel* viewModel() const { return m_viewModel; }
    // Set each time the main window is shown; the session is not owned.
    void setViewModel(AppViewModel* session);
    [[nodiscard]] std::optional<QString> pendingReference() const { return m_pendingReference; }
    // The open panel of a request is showing.
    [[nodiscard]] bool isAskingForFiles() const { return m_askingForFiles; }

    // path must be acceptable (see acceptableReferencePath), else the request is dropped. Before
    // the session is attached the request is parked, replacing any parked one. While a run or
    // another request is under way the session is left alone and what is under way is shown.
    void handleReference(const QString& path);
    // Carries out the parked request, if any.
    void processPendingReference();
    void showNotice(const QString& text);
    // A second start without arguments: brings back what the user should see.
    void reopen();

private:
    struct Context {
        bool wasHidden = false;
        bool hadMainWindow = false;
        bool sessionWasEmpty = false;
    };

    void startHeadless(const QString& reference, const QList<QUrl>& files, const Context& context);
    // A request that ends without a run: quits only when nothing was on screen and the session
    // held nothing, so no one loses their work or is left without a window.
    void endWithoutRun(const Context& context);
    void restoreWindows(const Context& context);
    void leaveHeadless();

    LaunchHost& m_host;
    QPointer<AppViewModel> m_viewModel;
    std::optional<RunOutcome> m_lastOutcome; // how the last run ended
    std::optional<QString> m_pendingReference;
    bool m_askingForFiles = false;
};

} // namespace corvale
