// SPDX-License-Identifier: GPL-3.0-or-later
#include "appservicesprovider.h"

#include "launchhost.h"
#include "referencepath.h"
#include "session/appviewmodel.h"

#include <QFileInfo>

#include <algorithm>

namespace corvale {

namespace {

QString startRefusedText() {
    return QStringLiteral("Couldn’t start the sync");
}

// A run ended cleanly when every file was written and none needs review.
bool endedCleanly(const AppViewModel& session, std::optional<RunOutcome> outcome) {
    return outcome == RunOutcome::succeeded && !session.individualFiles().isEmpty() &&
           session.reviewCount() == 0;
}

} // namespace

AppServicesProvider::AppServicesProvider(LaunchHost& host, QObject* parent)
    : QObject(parent), m_host(host) {}

void AppServicesProvider::setViewModel(AppViewModel* session) {
    if (m_viewModel)
        disconnect(m_viewModel, &AppViewModel::runEnded, this, nullptr);
    m_viewModel = session;
    if (session) {
        connect(session, &AppViewModel::runEnded, this,
                [this](RunOutcome outcome) { m_lastOutcome = outcome; });
    }
}

void AppServicesProvider::processPendingReference() {
    if (!m_pendingReference)
        return;
    const QString reference = *m_pendingReference;
    m_pendingReference.reset();
    handleReference(reference);
}

void AppServicesProvider::showNotice(const QString& text) {
    m_host.showNotice(text);
}

void AppServicesProvider::reopen() {
    if (m_askingForFiles)
        return;
    if (m_viewModel && m_viewModel->headlessMode())
        m_host.raiseProgressFloater();
    else
        m_host.showMainWindow();
}

void AppServicesProvider::handleReference(const QString& path) {
    const std::optional<QString> reference = acceptableReferencePath(path);
    if (!reference)
        return;
    if (!m_viewModel) {
        m_pendingReference = *reference;
        return;
    }
    // A second request must never take over the session of a run or of an open panel: the
    // running run would lose its reference and files and end having synced nothing.
    if (m_askingForFiles || m_viewModel->runUnderWay() || m_viewModel->headlessMode()) {
        m_host.showNotice(QStringLiteral("“%1” was not opened: Corvale is busy with another sync.")
                              .arg(QFileInfo(*reference).fileName()));
        reopen();
        return;
    }

    const LaunchHost::WindowSnapshot windows = m_host.windowSnapshot();
    Context context;
    context.wasHidden = !windows.anyVisible;
    context.hadMainWindow = windows.hasMainWindow;
    context.sessionWasEmpty =
        m_viewModel->referenceFile().isEmpty() && m_viewModel->individualFiles().isEmpty();

    m_host.hideAllWindows();
    const QFileInfo info(*reference);
    const QString message = QStringLiteral("Choose files to sync to \"%1\"").arg(info.fileName());
    m_askingForFiles = true;
    const QList<QUrl> chosen = m_host.chooseFilesToSync(message, info.absolutePath());
    m_askingForFiles = false;

    // The panel's event loop may have let the session go or a run start meanwhile.
    if (!m_viewModel || m_viewModel->runUnderWay() || m_viewModel->headlessMode()) {
        reopen();
        return;
    }
    if (chosen.isEmpty()) {
        endWithoutRun(context);
        return;
    }
    startHeadless(*reference, chosen, context);
}

void AppServicesProvider::startHeadless(const QString& reference, const QList<QUrl>& files,
                                        const Context& context) {
    AppViewModel& session = *m_viewModel;
    const QUrl referenceUrl = QUrl::fromLocalFile(reference);
    // Refusals are found before anything is hidden or changed, so they end visibly.
    std::optional<QString> refusal;
    if (!session.ffmpegPath())
        refusal = session.validationMessage();
    else if (std::none_of(files.begin(), files.end(),
                          [&](const QUrl& url) { return url != referenceUrl; }))
        refusal = QStringLiteral("Add at least one file to sync.");
    if (!refusal) {
        session.addReferenceFile(referenceUrl);
        session.clearIndividualFiles();
        session.addIndividualFiles(files);
        if (!session.canSync())
            refusal = session.validationMessage().value_or(startRefusedText());
    }
    if (refusal) {
        m_host.showMessage(startRefusedText(), *refusal);
        endWithoutRun(context);
        return;
    }

    session.setHeadlessMode(true);
    session.setRestoreAfterHeadless([self = QPointer<AppServicesProvider>(this), context] {
        if (self)
            self->restoreWindows(context);
    });
    m_host.setWindowsHiddenForHeadless(true);
    m_host.showProgressFloater(session);
    session.startProcessing();
    if (!session.runUnderWay()) {
        leaveHeadless();
        m_host.showMessage(startRefusedText(),
                           session.validationMessage().value_or(session.statusMessage()));
        endWithoutRun(context);
    }
}

void AppServicesProvider::leaveHeadless() {
    if (m_viewModel) {
        m_viewModel->setRestoreAfterHeadless(nullptr);
        m_viewModel->setHeadlessMode(false);
    }
    m_host.closeProgressFloater();
    m_host.setWindowsHiddenForHeadless(false);
}

void AppServicesProvider::endWithoutRun(const Context& context) {
    if (context.wasHidden) {
        if (context.sessionWasEmpty)
            m_host.quitApplication();
        else
            m_host.showMainWindow();
    } else if (context.hadMainWindow) {
        m_host.showMainWindow();
    }
}

void AppServicesProvider::restoreWindows(const Context& context) {
    m_host.closeProgressFloater();
    m_host.setWindowsHiddenForHeadless(false);
    if (context.wasHidden) {
        // With no window to return to, quit only when there is nothing left to look at: a
        // failed file or one that needs review must stay in front of the user.
        const bool cancelled = m_lastOutcome == RunOutcome::cancelled;
        if (!m_viewModel || cancelled || endedCleanly(*m_viewModel, m_lastOutcome))
            m_host.quitApplication();
        else
            m_host.showMainWindow();
    } else if (context.hadMainWindow) {
        m_host.showMainWindow();
    }
}

} // namespace corvale
