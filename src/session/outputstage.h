// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "outputnaming.h"
#include "processingstatus.h"
#include "runreport.h"
#include "runsettings.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <stop_token>
#include <vector>

namespace corvale {

class RunWork;
struct WrittenOutput;

// What became of one input at the output stage.
using ItemOutcome = std::variant<ItemCancelled, SyncResult, ItemFailure>;

// The end of a run: names, writes (normalising on the way) and labels every output group, and
// reports what became of each member. Groups are written concurrently on the pool; names are
// reserved up front and a name taken meanwhile gives way to the next free one.
class OutputStage : public QObject {
    Q_OBJECT
public:
    struct Context {
        QString outputFolder;
        RunSettings settings;
        std::stop_token stop;
        std::shared_ptr<OutputNameReserver> names;
        // Called on the stage's thread: a member moved on to a step, a member is done.
        std::function<void(qsizetype index, ProcessingStatus::Kind step)> onStep;
        std::function<void(qsizetype index, ItemOutcome outcome)> onItem;
    };

    OutputStage(Context context, RunWork* work, QObject* parent = nullptr);

    // Writes a group; onItem for each member and groupDone(members) follow. Groups may be
    // handed over one at a time, as soon as each is known.
    void write(const OutputGroup& group);
    // No more groups will come: finished() follows once every group handed over is done.
    void close();
    // Writes every group, then closes.
    void writeAll(const QList<OutputGroup>& groups);

signals:
    void groupDone(int members);
    void finished();

private:
    using Written = std::vector<WrittenOutput>;
    void writeGroup(const OutputGroup& group);
    void completeGroup(const OutputGroup& group, const Written& written);
    void endGroup(const OutputGroup& group, const ItemOutcome& outcome);
    void groupEnded(const OutputGroup& group);
    void maybeFinish();

    Context m_context;
    RunWork* m_work;
    qsizetype m_pending = 0;
    bool m_closed = false;
    bool m_finished = false;
};

} // namespace corvale
