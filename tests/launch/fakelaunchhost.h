// SPDX-License-Identifier: GPL-3.0-or-later
// A window side for launch tests: records every call and answers the open panel and alerts
// from what the test set up.
#pragma once

#include "launch/launchhost.h"

#include <QStringList>

#include <functional>

namespace corvale::test {

class FakeLaunchHost : public LaunchHost {
public:
    WindowSnapshot windowSnapshot() override { return windows; }
    void hideAllWindows() override {
        calls << QStringLiteral("hideAll");
        windowsShown = false;
    }
    QList<QUrl> chooseFilesToSync(const QString& message, const QString& folder) override {
        calls << QStringLiteral("panel");
        panelMessages << message;
        panelFolders << folder;
        return panelAnswer ? panelAnswer() : QList<QUrl>{};
    }
    void setWindowsHiddenForHeadless(bool hidden) override {
        calls << (hidden ? QStringLiteral("transparent") : QStringLiteral("opaque"));
        transparent = hidden;
    }
    void showProgressFloater(AppViewModel&) override {
        calls << QStringLiteral("floater");
        floaterShown = true;
    }
    void closeProgressFloater() override {
        calls << QStringLiteral("closeFloater");
        floaterShown = false;
    }
    void raiseProgressFloater() override { calls << QStringLiteral("raiseFloater"); }
    void showMainWindow() override {
        calls << QStringLiteral("showMain");
        windowsShown = true;
    }
    void showMessage(const QString& text, const QString& informative) override {
        calls << QStringLiteral("message");
        messages << text + QStringLiteral(": ") + informative;
    }
    void showNotice(const QString& text) override {
        calls << QStringLiteral("notice");
        notices << text;
    }
    bool hasModalWindow() override { return modal; }
    bool askQuestion(const QString& text, const QString& informative, const QString& first,
                     const QString& second) override {
        calls << QStringLiteral("question");
        questions << QStringList{text, informative, first, second};
        return answerFirst;
    }
    void showExtensionManagement() override { calls << QStringLiteral("management"); }
    void quitApplication() override {
        calls << QStringLiteral("quit");
        ++quits;
    }

    WindowSnapshot windows;
    std::function<QList<QUrl>()> panelAnswer;
    bool modal = false;
    bool answerFirst = false;

    QStringList calls;
    QStringList panelMessages;
    QStringList panelFolders;
    QStringList messages;
    QStringList notices;
    QList<QStringList> questions;
    bool windowsShown = true;
    bool transparent = false;
    bool floaterShown = false;
    int quits = 0;
};

} // namespace corvale::test
