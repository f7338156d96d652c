#pragma once

#include "Aliases.h"
#include "KlvDatabase.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

namespace klv {

// Where a piece of database work runs.
class DatabaseWork
{
public:
    virtual ~DatabaseWork() = default;
    // Runs `work` with a database and returns when it is done; what it throws comes out here.
    virtual void run(const std::function<void(KlvDatabase &database)> &work) = 0;
};

// On the caller's own connection, at once.
class InlineWork : public DatabaseWork
{
public:
    explicit InlineWork(KlvDatabase &database) : FDatabase(database) {}
    void run(const std::function<void(KlvDatabase &)> &work) override { work(FDatabase); }

private:
    KlvDatabase &FDatabase;
};

// A connection of its own on a thread of its own, for work that may take long (a script
// statement): the caller waits in a nested event loop, so that the window keeps painting and
// answering meanwhile. The connection is opened at the first work, with the login it was given,
// and stays open until the worker goes; it is one more connection to the database, which whoever
// counts the users must know (isConnected()).
class DatabaseWorker : public DatabaseWork
{
public:
    DatabaseWorker(AliasTable aliases, QString alias, ParamList login);
    ~DatabaseWorker() override;
    DatabaseWorker(const DatabaseWorker &) = delete;
    DatabaseWorker &operator=(const DatabaseWorker &) = delete;

    void run(const std::function<void(KlvDatabase &)> &work) override;
    bool isConnected() const { return FConnected; }
    bool isBusy() const { return FBusy; }

private:
    AliasTable FAliases;
    QString FAlias;
    ParamList FLogin;
    QThread FThread;
    QObject *FContext = nullptr;            // lives on FThread; its queued calls run there
    std::unique_ptr<KlvDatabase> FDatabase; // made, used and freed on FThread
    bool FConnected = false;
    bool FBusy = false;
};

} // namespace klv
