#pragma once

#include "platform/Shell.h"

#include <QList>
#include <QString>
#include <functional>

// Records every call instead of starting programs; the result of shellExecute is settable.
class RecordingShell : public klv::Shell
{
public:
    struct Execute
    {
        int32_t owner;
        QString verb, file, params, dir;
        int show;
    };
    struct Post
    {
        int32_t wnd;
        unsigned msg;
    };

    intptr_t shellExecute(int32_t owner, const QString &verb, const QString &file, const QString &params,
                          const QString &dir, int show) override
    {
        executes.append({owner, verb, file, params, dir, show});
        if (OnExecute)
            OnExecute(executes.last());
        return executeResult;
    }
    bool postMessage(int32_t wnd, unsigned msg, uintptr_t, intptr_t) override
    {
        posts.append({wnd, msg});
        return wnd != 0;
    }
    bool isWindow(int32_t wnd) override { return wnd != 0; }

    QList<Execute> executes;
    QList<Post> posts;
    intptr_t executeResult = 42;
    std::function<void(const Execute &)> OnExecute;
};
