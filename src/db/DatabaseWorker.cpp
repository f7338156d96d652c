#include "DatabaseWorker.h"

#include "platform/Exceptions.h"

#include <QEventLoop>

#include <exception>

namespace klv {

DatabaseWorker::DatabaseWorker(AliasTable aliases, QString alias, ParamList login)
    : FAliases(std::move(aliases)), FAlias(std::move(alias)), FLogin(std::move(login))
{
    FThread.setObjectName(QStringLiteral("klv-database"));
    FContext = new QObject;
    FContext->moveToThread(&FThread);
    QObject::connect(&FThread, &QThread::finished, FContext, &QObject::deleteLater);
    FThread.start();
}

DatabaseWorker::~DatabaseWorker()
{
    // The connection is closed on the thread that opened it.
    QMetaObject::invokeMethod(
        FContext, [this] { FDatabase.reset(); }, Qt::BlockingQueuedConnection);
    FThread.quit();
    FThread.wait();
}

void DatabaseWorker::run(const std::function<void(KlvDatabase &)> &work)
{
    if (FBusy)
        throw EDBEngineError(QStringLiteral("The database is busy with other work"));
    FBusy = true;
    QEventLoop loop;
    std::exception_ptr failure;
    bool done = false;
    QMetaObject::invokeMethod(
        FContext,
        [&] {
            try {
                if (!FDatabase) {
                    FDatabase = std::make_unique<KlvDatabase>(FAliases, nullptr);
                    FDatabase->AliasName = FAlias;
                    FDatabase->OnLogin = [login = FLogin](KlvDatabase &, ParamList &params) {
                        for (const auto &[name, value] : login.items())
                            params.setValue(name, value);
                    };
                }
                if (!FDatabase->Connected()) {
                    FDatabase->Open();
                    FConnected = true;
                }
                work(*FDatabase);
            } catch (...) {
                failure = std::current_exception();
            }
            // Told by a queued call on the caller's thread: its loop may not have started yet. The
            // loop lives until it is told.
            QMetaObject::invokeMethod(
                &loop,
                [&] {
                    done = true;
                    loop.quit();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    // Whatever else the window gets meanwhile (paints, clicks, a close that is refused) is handled
    // here; the work itself cannot be broken off.
    while (!done)
        loop.exec();
    FBusy = false;
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace klv
